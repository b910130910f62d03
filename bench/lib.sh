# Shared by the benchmark scripts: the build to measure, signed one-batch
# configurations, the simulated terminal, a timed whole update, medians.
# Sourced, not run. MIRDAL_BUILD_DIR picks the build (default: build/).
set -euo pipefail

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$bench_dir/.." && pwd)
build=${MIRDAL_BUILD_DIR:-$root/build}
bin=$build/bin
signing_key=${MIRDAL_BENCH_KEY:-$root/keys/dev-signing-key.pem}

# The line's limit: a 128-byte block and its 32-byte answer carry 122 bytes
# of payload, at 10 bits per byte.
readonly baud=9600
readonly line_limit_bps=732   # 122 * 9600 / 10 / 160

# Fixed waits of one batch, in ms at time scale 1: hardware record 4000,
# 50 after each application name, 200 before each advertisement,
# authorization and download start, 10 before activation and release,
# 20000 while the terminal installs, and the restart wait (35000 at least).
readonly app_names=VARLENNE,PAYMENT
batch_fixed_ms() {   # FILES
  echo $((4000 + 50 * 2 + 600 * $1 + 10 + 20000 + 10 + 35000))
}

ensure_built() {
  local missing=0 target
  for target in mirdal-cli mirdal-sim mirdal-runstat mirdal-linestamp "$@"; do
    [ -x "$bin/$target" ] || missing=1
  done
  [ -f "$bin/configuration/M10.HTM" ] || missing=1
  [ $missing -eq 0 ] && return 0
  echo "Building the programs to measure in $build..." >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" --target mirdal-cli mirdal-sim mirdal-runstat mirdal-linestamp \
    sample_configuration "$@" >/dev/null
}

machine() {
  local model
  model=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
  echo "$model, $(nproc) cores"
}

load1() { cut -d ' ' -f 1 /proc/loadavg; }

# make_config DIR NAME SIZE: a signed configuration with one batch of one
# package of SIZE random bytes, the sample's hardware file and picture.
make_config() {
  local dir=$1 name=$2 size=$3
  mkdir -p "$dir"
  cp "$bin/configuration/M10.HTM" "$bin/configuration/terminal.png" "$dir/"
  head -c "$size" /dev/urandom >"$dir/$name.plain"
  "$bin/mirdal-cli" pack "$dir/$name.plain" "$dir/$name" >/dev/null
  rm -f "$dir/$name.plain"
  cat >"$dir/configuration.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<configuration>
  <terminal>
    <name>Terminal M10</name>
    <code>M10</code>
    <image>terminal.png</image>
    <delayReboot>35000</delayReboot>
  </terminal>
  <operation>
    <title>Mesure</title>
    <description>Un lot, un fichier de $size octets.</description>
  </operation>
  <hterm>M10.HTM</hterm>
  <batch id="1">
    <file>$name</file>
  </batch>
</configuration>
XML
  "$bin/mirdal-cli" sign --key "$signing_key" --config-dir "$dir" >/dev/null
}

sim_pid=
sim_device=
# start_sim WORK [ARGS...]: the simulated terminal on a new pseudo-terminal.
start_sim() {
  local work=$1
  shift
  "$bin/mirdal-sim" --quiet --apps "$app_names" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  local _
  for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.05
  done
  sim_device=$(head -n 1 "$work/sim.out")
  [ -n "$sim_device" ] || { cat "$work/sim.err" >&2; return 1; }
}

# stop_sim WORK: fails when the terminal saw a problem (a received file that
# differs from the package, an unexpected frame).
stop_sim() {
  local status=0
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" || status=$?
  sim_pid=
  if [ $status -ne 0 ]; then
    echo "the simulated terminal reported problems:" >&2
    cat "$1/sim.err" >&2
    return 1
  fi
}

# run_update CONFIG SCALE RECORDS [SIM ARGS...]: one whole update of the
# simulated terminal by mirdal-cli, timed from the outside. Appends to
# RECORDS one line of key=value figures:
#   wall_s user_s sys_s maxrss_kib status  (mirdal-runstat, the whole process)
#   download_s payload_bytes blocks wire_bytes  (its transcript, --trace, read
#       through a FIFO and each line dated as it arrives; trace-figures.awk)
#   fixed_ms scale load1
# and to RECORDS.blocks the round trip and turnaround of every block.
# MIRDAL_BENCH_TRACE=0 runs without the transcript (its figures are then 0).
run_update() {
  local config=$1 scale=$2 records=$3
  shift 3
  local work
  work=$(mktemp -d /tmp/mirdal-bench.XXXXXX)
  start_sim "$work" --verify "$config" "$@"
  local trace=() stamp_pid= load status=0
  if [ "${MIRDAL_BENCH_TRACE:-1}" = 1 ]; then
    mkfifo "$work/trace.fifo"
    "$bin/mirdal-linestamp" <"$work/trace.fifo" >"$work/trace" &
    stamp_pid=$!
    trace=(--trace "$work/trace.fifo")
  else
    : >"$work/trace"
  fi
  load=$(load1)
  "$bin/mirdal-runstat" -o "$work/runstat" -- "$bin/mirdal-cli" install --port "$sim_device" \
    --time-scale "$scale" --config-dir "$config" "${trace[@]}" >"$work/cli.out" 2>"$work/cli.err" \
    || status=$?
  [ -z "$stamp_pid" ] || wait "$stamp_pid"
  stop_sim "$work" || status=1
  if [ $status -ne 0 ]; then
    echo "update failed (status $status):" >&2
    cat "$work/cli.out" "$work/cli.err" >&2
    rm -rf "$work"
    return 1
  fi
  local files fixed
  files=$(grep -c '<file>' "$config/configuration.xml")
  fixed=$(batch_fixed_ms "$files")
  {
    tr '\n' ' ' <"$work/runstat"
    awk -v blocks="$records.blocks" -f "$bench_dir/trace-figures.awk" "$work/trace" | tr '\n' ' '
    echo "fixed_ms=$fixed scale=$scale load1=$load"
  } >>"$records"
  rm -rf "$work"
}

# paced_records DEFAULT_SCALE [RECORDS]: sets `records` to RECORDS, or else
# runs MIRDAL_BENCH_RUNS (default 3) paced updates at time scale
# MIRDAL_BENCH_SCALE (default DEFAULT_SCALE) into a temporary file and prints
# the table header, for a figure script run on its own.
paced_records() {
  records=${2:-}
  [ -z "$records" ] || return 0
  records=$(mktemp /tmp/mirdal-bench-records.XXXXXX)
  trap 'rm -f "$records" "$records.blocks"' EXIT
  "$bench_dir/paced-updates.sh" "$records" "${MIRDAL_BENCH_RUNS:-3}" "${MIRDAL_BENCH_SCALE:-$1}"
  table_header
}

# field NAME RECORDS: the values of one figure, one a line.
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" "$2"; }

# median: of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# mean: of the numbers on standard input.
mean() { awk '{ s += $1 } END { if (NR == 0) exit 1; print s / NR }'; }

# calc EXPRESSION: floating-point arithmetic.
calc() { awk "BEGIN { printf \"%.6g\", $1 }"; }

# verdict OK-EXPRESSION
verdict() { awk "BEGIN { exit !($1) }" && echo "met" || echo "missed"; }

table_header() {
  echo "| Figure | Goal | Measured | Ratio | Verdict |"
  echo "|---|---|---|---|---|"
}
