# Sourced by the record tests: a scratch folder, simulated terminals, mirdal-cli and the record read with sqlite3.
# Needs $bin (the build's bin folder). Every process started here is ended on exit.
set -euo pipefail
work=$(mktemp -d /tmp/mirdal-record.XXXXXX)
chmod 755 "$work"
pids=()
cleanup_hooks=()
cleanup() {
  local hook pid
  for hook in "${cleanup_hooks[@]}"; do $hook || true; done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.err; do [ -s "$f" ] && { echo "== $f" >&2; tail -n 5 "$f" >&2; }; done; exit 1; }
# sims N: N simulated terminals answering at once; their devices in ${devices[@]}.
devices=()
sims() {
  local i
  for i in $(seq "$1"); do
    "$bin/mirdal-sim" --quiet --baud 0 --verify "$bin/configuration" >"$work/sim$i.out" 2>"$work/sim$i.err" &
    pids+=($!)
  done
  devices=()
  for i in $(seq "$1"); do
    for _ in $(seq 100); do [ -s "$work/sim$i.out" ] && break; sleep 0.05; done
    devices+=("$(head -n 1 "$work/sim$i.out")")
  done
}
# install DB PORT... : one mirdal-cli install of every port, recorded in DB; status in $status.
install() {
  local db=$1 args=() port
  shift
  for port in "$@"; do args+=(--port "$port"); done
  status=0
  "$bin/mirdal-cli" install --record-db "$db" --time-scale 0.001 --quiet "${args[@]}" >"$work/install.out" \
    2>"$work/install.err" || status=$?
}
sql() { sqlite3 -batch -noheader "$@"; }
