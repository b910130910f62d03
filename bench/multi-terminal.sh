#!/usr/bin/env bash
# Several terminals at once: the wall time of mirdal-cli install updating
# four simulated terminals, each on its own pseudo-terminal and paced like a
# 9600-baud line, against the time it takes for one. The package is large
# enough for the transfer to dominate; the fixed pauses are scaled down.
# Runs alternate (one, four, one, four...) so that a change of the machine's
# load touches both; the medians are compared. Goal: four take at most 1.2
# times as long as one.
#
# Usage: bench/multi-terminal.sh [RUNS [SIZE [SCALE]]]
#   RUNS   runs of each kind (default 3)
#   SIZE   package bytes (default 32768: 269 blocks, about 45 s of line)
#   SCALE  factor of the fixed pauses (default 0.01: 0.6 s instead of 60 s)
# MIRDAL_BUILD_DIR picks the build to measure (default: build/).
set -euo pipefail

runs=${1:-3}
size=${2:-32768}
scale=${3:-0.01}
terminals=4
goal=1.2

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

# start_sims N: N simulated terminals paced at 9600 baud, checking the file they receive.
start_sims() {
  local i out _
  sims=()
  devices=()
  for i in $(seq "$1"); do
    out=$work/sim$i.out
    "$bin/mirdal-sim" --quiet --baud 9600 --verify "$config" >"$out" 2>"$work/sim$i.err" &
    sims+=($!)
    for _ in $(seq 100); do
      [ -s "$out" ] && break
      sleep 0.05
    done
    devices+=("$(head -n 1 "$out")")
  done
}

# stop_sims: fails when a terminal did not receive the package whole.
stop_sims() {
  local i status=0
  for i in "${!sims[@]}"; do
    kill -TERM "${sims[$i]}"
    wait "${sims[$i]}" || status=1
    grep -q "1 file(s) received, 0 problem(s)" "$work/sim$((i + 1)).err" || status=1
  done
  sims=()
  if [ $status -ne 0 ]; then
    cat "$work"/sim*.err >&2
    echo "a simulated terminal did not receive the package whole" >&2
    exit 1
  fi
}

# timed_update N: sets `elapsed` to the seconds mirdal-cli takes to update
# N terminals (no subshell: the terminals stay known to the clean-up).
timed_update() {
  start_sims "$1"
  local ports=() device start end
  for device in "${devices[@]}"; do ports+=(--port "$device"); done
  start=$(date +%s.%N)
  "$bin/mirdal-cli" install "${ports[@]}" --config-dir "$config" --time-scale "$scale" >"$work/cli.out" 2>/dev/null || {
    cat "$work/cli.out" >&2
    exit 1
  }
  end=$(date +%s.%N)
  stop_sims
  elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

blocks=$(((size + 121) / 122))
line_s=$(awk -v b="$blocks" 'BEGIN { printf "%.1f", b * 160 * 10 / 9600 }')
echo "package: $size bytes, $blocks blocks, $line_s s of line per terminal; fixed pauses x $scale" >&2
: >"$work/one"
: >"$work/many"
for run in $(seq "$runs"); do
  timed_update 1
  one=$elapsed
  echo "$one" >>"$work/one"
  timed_update "$terminals"
  many=$elapsed
  echo "$many" >>"$work/many"
  echo "run $run/$runs: 1 terminal ${one} s, $terminals terminals ${many} s (load $(cut -d ' ' -f 1 /proc/loadavg))" >&2
done

one_s=$(median <"$work/one")
many_s=$(median <"$work/many")
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
echo "Ratio $terminals/1: $ratio (goal at most $goal): $verdict"
[ "$verdict" = met ]
