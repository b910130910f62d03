#!/usr/bin/env bash
# Records the transcripts of this folder again: sessions of mirdal-cli install
# with the sample configuration and a simulated terminal. Run it after a
# change of the sample configuration or of the dialogue, then review the
# difference before committing it.
# Usage: tests/cli/transcripts/record.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: record.sh BUILD_DIR}
bin=$(cd "$build/bin" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/mirdal-transcripts.XXXXXX)
trap 'rm -rf "$work"' EXIT

# record NAME SIM-OPTIONS...: one session into NAME.jsonl.
record() {
  local name=$1
  shift
  "$bin/mirdal-sim" --quiet "$@" >"$work/sim.out" 2>"$work/sim.err" &
  local sim=$! device= _
  for _ in $(seq 100); do
    device=$(head -n 1 "$work/sim.out")
    [ -n "$device" ] && break
    sleep 0.05
  done
  [ -n "$device" ] || { cat "$work/sim.err" >&2; exit 1; }
  "$bin/mirdal-cli" install --port "$device" --config-dir "$bin/configuration" --time-scale 0.001 \
    --trace "$here/$name.jsonl" >"$work/cli.out" 2>/dev/null || true
  kill -TERM "$sim"
  wait "$sim" || { cat "$work/sim.err" >&2; exit 1; }
  echo "$name.jsonl: $(wc -l <"$here/$name.jsonl") lines, $(head -n 1 "$work/cli.out")"
}

# Both batches of the sample configuration installed.
record two-batches
# Block 2 of the session asked for again once, and the first download's final
# confirmation refused: that file is taken again from its advertisement.
record resend-and-restart --resend-block 2:1 --fail-download 1
# The terminal does not allow the first file.
record refused-authorization --refuse-authorization
