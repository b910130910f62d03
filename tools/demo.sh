#!/usr/bin/env bash
# Runs a whole update of a simulated terminal with the sample configuration:
# starts mirdal-sim on a pseudo-terminal, runs mirdal-cli install on it and
# shows the progress. Usage: tools/demo.sh [--time-scale F] [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scale=0.25
if [ "${1:-}" = "--time-scale" ]; then scale=$2; shift 2; fi
build=${1:-$root/build}

if [ ! -x "$build/bin/mirdal-cli" ] || [ ! -x "$build/bin/mirdal-sim" ] || [ ! -f "$build/bin/configuration/configuration.xml" ]; then
  echo "Building mirdal-cli, mirdal-sim and the sample configuration..." >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" --target mirdal-cli mirdal-sim sample_configuration >/dev/null
fi

work=$(mktemp -d /tmp/mirdal-demo.XXXXXX)
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

# The simulator plays the terminal at the pace of a real 9600-baud line and
# checks that every file it receives equals the plain package content.
"$build/bin/mirdal-sim" --baud 9600 --store "$work/received" \
  --verify "$build/bin/configuration" >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
device=$(head -n 1 "$work/sim.out")
[ -n "$device" ] || { echo "mirdal-sim did not start:" >&2; cat "$work/sim.log" >&2; exit 1; }
echo "Simulated terminal on $device (pauses x$scale)" >&2

start=$(date +%s)
status=0
"$build/bin/mirdal-cli" install --port "$device" --time-scale "$scale" \
  --config-dir "$build/bin/configuration" || status=$?
echo "Finished in $(( $(date +%s) - start )) s, exit status $status" >&2
kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || status=1; sim_pid=
echo "The simulated terminal: $(tail -n 1 "$work/sim.log")" >&2
ls -l "$work/received" >&2 || true
exit $status
