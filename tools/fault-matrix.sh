#!/usr/bin/env bash
# The fault matrix: every stage of the scenario against every way a terminal
# can misbehave (tests/reliability/FaultMatrixTest.cpp), four cells per core,
# then its table in Markdown on standard output.
# Usage: tools/fault-matrix.sh [build-dir]   (default: build-rel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-rel}
jobs=$(nproc)

export QT_FATAL_WARNINGS=1
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/mirdal-xdg.XXXXXX)}
chmod 0700 "$XDG_RUNTIME_DIR"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target reliability_fault_matrix mirdal-sim sample_configuration \
  >"$build/fault-matrix-build.log" 2>&1 || { tail -40 "$build/fault-matrix-build.log" >&2; exit 1; }

results=$(mktemp /tmp/mirdal-fault-matrix.XXXXXX)
trap 'rm -f "$results"' EXIT
start=$(date +%s)
status=0
MIRDAL_FAULT_RESULTS=$results ctest --test-dir "$build" -L fault-matrix --no-tests=error -j "$((jobs * 4))" --output-on-failure \
  >"$build/fault-matrix.log" 2>&1 || status=1
elapsed=$(( $(date +%s) - start ))
cells=$(ctest --test-dir "$build" -L fault-matrix -N | sed -n 's/^Total Tests: //p')

# One line per cell: fault | expected | observed | seconds | pass | why
python3 - "$results" "$cells" "$elapsed" <<'PY'
import sys
path, cells, elapsed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
stages = ["open", "varlenne", "hardware", "list", "advertise", "authorize", "start", "block", "final",
          "activate", "release"]
rows = [line.rstrip("\n").split(" | ") for line in open(path, encoding="utf-8") if line.strip()]
rows.sort(key=lambda r: (stages.index(r[0].split(":")[0]), r[0]))
passed = sum(1 for r in rows if r[4] == "pass")
failures = [float(r[3]) for r in rows if r[2] != "Installation réalisée avec succès"]
print(f"Cells tried: {cells}; recorded: {len(rows)}; passed: {passed}; "
      f"longest time to fail: {max(failures):.1f} s; wall time of the matrix: {elapsed} s.")
print()
print("| fault | expected | observed | s | cell | why |")
print("|---|---|---|---:|---|---|")
for fault, expected, observed, seconds, verdict, why in rows:
    print(f"| `{fault}` | {expected.replace('|', ' or ')} | {observed} | {seconds} | {verdict} | {why} |")
PY
if [[ $status -ne 0 ]]; then
  echo "fault matrix: some cells failed, see $build/fault-matrix.log" >&2
fi
exit $status
