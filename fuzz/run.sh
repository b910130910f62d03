#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan + UBSan, libFuzzer) and runs them.
# Usage: fuzz/run.sh TARGET|all SECONDS [build-dir]
#   TARGET: configuration, container, package, answers or transcript.
#   FUZZ_JOBS=N runs N targets side by side (default 1).
# Each target starts from its committed seeds (fuzz/corpus/TARGET) plus what
# earlier runs in the same build folder found (BUILD/corpus/TARGET); new
# inputs go to the latter, findings and the log to BUILD/findings/TARGET/TIME.
# One line per target: executions, executions per second, coverage (edges),
# corpus size, findings. The exit status is 1 when any target found something.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
targets_all=(configuration container package answers transcript)
target=${1:?usage: fuzz/run.sh TARGET|all SECONDS [build-dir]}
seconds=${2:?usage: fuzz/run.sh TARGET|all SECONDS [build-dir]}
build=${3:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-1}

if [[ $target == all ]]; then
  targets=("${targets_all[@]}")
else
  targets=("$target")
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMIRDAL_BUILD_FUZZERS=ON -DMIRDAL_BUILD_GUI=OFF -DMIRDAL_BUILD_TESTS=OFF -DMIRDAL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}" >"$build/fuzz-build.log" 2>&1 \
  || { tail -40 "$build/fuzz-build.log" >&2; exit 1; }

# A configuration file and a transcript are larger than the other inputs.
max_len() { [[ $1 == configuration || $1 == transcript ]] && echo 16384 || echo 4096; }

# Runs one target and leaves its summary line in BUILD/findings/TARGET/TIME/summary.
run_target() {
  local name=$1 work="$build/corpus/$1" findings
  findings="$build/findings/$name/$(date +%Y%m%d-%H%M%S)"
  mkdir -p "$work" "$findings"
  local log="$findings/fuzz.log" dict=()
  [[ -f $root/fuzz/$name.dict ]] && dict=(-dict="$root/fuzz/$name.dict")
  # A unit slower than 10 s counts as a hang; more than 2 GB as a runaway.
  local rc=0
  "$build/bin/fuzz_$name" "$work" "$root/fuzz/corpus/$name" "${dict[@]}" \
    -max_total_time="$seconds" -max_len="$(max_len "$name")" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1 || rc=$?
  local execs speed cov corpus found
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$({ grep -oE 'cov: [0-9]+' "$log" || true; } | tail -1 | cut -d' ' -f2)
  corpus=$(find "$work" -type f | wc -l)
  found=$(find "$findings" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) | wc -l)
  printf '%-14s %12s %8s %6s %8s %9s %s\n' "$name" "${execs:-?}" "${speed:-?}" "${cov:-?}" "$corpus" "$found" \
    "$([[ $rc -ne 0 || $found -ne 0 ]] && echo "exit $rc, see $findings")" >"$findings/summary"
  echo "$findings/summary" >"$build/findings/$name.last"
}

# A target that dies before its summary must not be reported by the summary
# of an earlier run.
for name in "${targets[@]}"; do rm -f "$build/findings/$name.last"; done
running=0
for name in "${targets[@]}"; do
  run_target "$name" &
  running=$((running + 1))
  if [[ $running -ge $jobs ]]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

status=0
printf '%-14s %12s %8s %6s %8s %9s\n' target executions exec/s cov corpus findings
for name in "${targets[@]}"; do
  line=$(cat "$(cat "$build/findings/$name.last" 2>/dev/null)" 2>/dev/null) ||
    line=$(printf '%-14s exit ?, the run ended before its summary' "$name")
  echo "$line"
  [[ $line == *"exit "* ]] && status=1
done
exit $status
