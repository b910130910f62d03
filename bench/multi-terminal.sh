#!/usr/bin/env bash
# Several terminals at once: the wall time of mirdal-cli install updating
# N simulated terminals (default 4), each on its own pseudo-terminal and
# paced like a 9600-baud line, against the time it takes for one, and the
# processor time the command line takes for them. The package is large
# enough for the transfer to dominate; the fixed pauses are scaled down.
# Runs alternate (one, N, one, N...) so that a change of the machine's load
# touches both; the medians are compared. Goal: N take at most 1.2 times as
# long as one (--goal changes it).
#
# Usage: bench/multi-terminal.sh [--terminals N] [--goal RATIO] [RUNS [SIZE [SCALE]]]
#   N      terminals updated at once (default 4)
#   RATIO  largest accepted ratio of N terminals' time to one's (default 1.2)
#   RUNS   runs of each kind (default 3)
#   SIZE   package bytes (default 32768: 269 blocks, about 45 s of line)
#   SCALE  factor of the fixed pauses (default 0.01: 0.6 s instead of 60 s)
# MIRDAL_BUILD_DIR picks the build to measure (default: build/).
set -euo pipefail

terminals=4
goal=1.2
while [[ ${1:-} == --* ]]; do
  case $1 in
    --terminals) terminals=${2:?--terminals takes a number} ;;
    --goal) goal=${2:?--goal takes a ratio} ;;
    *) echo "usage: bench/multi-terminal.sh [--terminals N] [--goal RATIO] [RUNS [SIZE [SCALE]]]" >&2; exit 2 ;;
  esac
  shift 2
done
[[ $terminals =~ ^[1-9][0-9]*$ ]] || { echo "--terminals takes a positive number, not '$terminals'" >&2; exit 2; }
runs=${1:-3}
size=${2:-32768}
scale=${3:-0.01}

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MIRDAL_BUILD_DIR:-$root/build}
bin=$build/bin
key=${MIRDAL_BENCH_KEY:-$root/keys/dev-signing-key.pem}

if [ ! -x "$bin/mirdal-cli" ] || [ ! -x "$bin/mirdal-sim" ] || [ ! -f "$bin/configuration/M10.HTM" ]; then
  echo "Building mirdal-cli, mirdal-sim and the sample configuration in $build..." >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" --target mirdal-cli mirdal-sim sample_configuration >/dev/null
fi

work=$(mktemp -d /tmp/mirdal-multi.XXXXXX)
sims=()
cleanup() {
  local pid
  for pid in "${sims[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# One batch of one package of SIZE random bytes, the sample's hardware file.
config=$work/config
mkdir -p "$config"
cp "$bin/configuration/M10.HTM" "$bin/configuration/terminal.png" "$config/"
head -c "$size" /dev/urandom >"$work/APP.BIN"
"$bin/mirdal-cli" pack "$work/APP.BIN" "$config/APP.BIN" >/dev/null
cat >"$config/configuration.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<configuration>
  <terminal><name>Terminal M10</name><code>M10</code><image>terminal.png</image><delayReboot>35000</delayReboot></terminal>
  <operation><title>Mesure</title><description>Plusieurs terminaux, un fichier de $size octets.</description></operation>
  <hterm>M10.HTM</hterm>
  <batch id="1"><file>APP.BIN</file></batch>
</configuration>
XML
"$bin/mirdal-cli" sign --key "$key" --config-dir "$config" >/dev/null

# start_sims N: N simulated terminals paced at 9600 baud, checking the file
# they receive. Each start has files of its own: a file of an earlier run,
# truncated by the new simulator just as its first line is read, would give
# an empty device.
starts=0
start_sims() {
  local i out _
  sims=()
  devices=()
  errs=()
  for i in $(seq "$1"); do
    starts=$((starts + 1))
    out=$work/sim$starts.out
    errs+=("$work/sim$starts.err")
    "$bin/mirdal-sim" --quiet --baud 9600 --verify "$config" >"$out" 2>"${errs[-1]}" &
    sims+=($!)
    for _ in $(seq 100); do
      [ -s "$out" ] && break
      sleep 0.05
    done
    devices+=("$(head -n 1 "$out")")
    if [ -z "${devices[-1]}" ]; then
      cat "${errs[-1]}" >&2
      echo "simulated terminal $i of $1 printed no device within 5 s" >&2
      exit 1
    fi
  done
}

# stop_sims: fails when a terminal did not receive the package whole.
stop_sims() {
  local i status=0
  for i in "${!sims[@]}"; do
    kill -TERM "${sims[$i]}"
    wait "${sims[$i]}" || status=1
    grep -q "1 file(s) received, 0 problem(s)" "${errs[$i]}" || status=1
  done
  sims=()
  if [ $status -ne 0 ]; then
    cat "${errs[@]}" >&2
    echo "a simulated terminal did not receive the package whole" >&2
    exit 1
  fi
}

# children_cpu FILE: the processor seconds (user and system) of the
# children waited for, from the output of `times` (which must run in this
# shell, not in a command substitution, to see them).
children_cpu() {
  awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.3f", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$1"
}

# timed_update N: sets `elapsed` to the seconds mirdal-cli takes to update
# N terminals and `cpu` to its processor seconds (no subshell: the
# terminals stay known to the clean-up).
timed_update() {
  start_sims "$1"
  local ports=() device start end
  for device in "${devices[@]}"; do ports+=(--port "$device"); done
  times >"$work/times.before"
  start=$(date +%s.%N)
  "$bin/mirdal-cli" install "${ports[@]}" --config-dir "$config" --time-scale "$scale" \
    >"$work/cli.out" 2>"$work/cli.err" || {
    local status=$?
    cat "$work/cli.out" >&2
    tail -n 20 "$work/cli.err" >&2
    echo "mirdal-cli install of $1 terminal(s) ended with status $status" >&2
    exit 1
  }
  end=$(date +%s.%N)
  times >"$work/times.after"
  cpu=$(awk -v a="$(children_cpu "$work/times.before")" -v b="$(children_cpu "$work/times.after")" \
    'BEGIN { printf "%.2f", b - a }')
  stop_sims
  elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

blocks=$(((size + 121) / 122))
line_s=$(awk -v b="$blocks" 'BEGIN { printf "%.1f", b * 160 * 10 / 9600 }')
echo "package: $size bytes, $blocks blocks, $line_s s of line per terminal; fixed pauses x $scale" >&2
: >"$work/one"
: >"$work/many"
: >"$work/cpu"
for run in $(seq "$runs"); do
  timed_update 1
  one=$elapsed
  echo "$one" >>"$work/one"
  timed_update "$terminals"
  many=$elapsed
  echo "$many" >>"$work/many"
  awk -v c="$cpu" -v e="$many" 'BEGIN { printf "%.1f\n", 100 * c / e }' >>"$work/cpu"
  echo "run $run/$runs: 1 terminal ${one} s, $terminals terminals ${many} s, mirdal-cli ${cpu} s of processor" \
    "(load $(cut -d ' ' -f 1 /proc/loadavg))" >&2
done

one_s=$(median <"$work/one")
many_s=$(median <"$work/many")
cpu_pc=$(median <"$work/cpu")
ratio=$(awk -v a="$many_s" -v b="$one_s" 'BEGIN { printf "%.3f", a / b }')
verdict=$(awk -v r="$ratio" -v g="$goal" 'BEGIN { print (r <= g) ? "met" : "missed" }')
machine="$(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) cores"

echo "Machine: $machine"
echo "Package: $size bytes ($blocks blocks), fixed pauses x $scale, median of $runs runs"
echo
echo "| Terminals | Runs (s) | Median (s) |"
echo "|---|---|---|"
echo "| 1 | $(paste -sd ' ' "$work/one") | $one_s |"
echo "| $terminals | $(paste -sd ' ' "$work/many") | $many_s |"
echo
echo "mirdal-cli's processor time while updating $terminals: $cpu_pc % of one core (median)"
echo "Ratio $terminals/1: $ratio (goal at most $goal): $verdict"
[ "$verdict" = met ]
