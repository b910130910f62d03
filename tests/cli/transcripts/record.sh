#!/usr/bin/env bash
# Records this folder's transcripts again (mirdal-cli install, sample configuration, simulated terminal); review the
# difference before committing it. Usage: tests/cli/transcripts/record.sh BUILD_DIR
set -euo pipefail
bin=$(cd "${1:?usage: record.sh BUILD_DIR}/bin" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/mirdal-transcripts.XXXXXX)
trap 'rm -rf "$work"' EXIT
record() { # NAME SIM-OPTIONS...: one session into NAME.jsonl
  local name=$1 device=
  shift
  "$bin/mirdal-sim" --quiet "$@" >"$work/sim.out" 2>"$work/sim.err" &
  for _ in $(seq 100); do device=$(head -n 1 "$work/sim.out"); [ -n "$device" ] && break; sleep 0.05; done
  "$bin/mirdal-cli" install --port "$device" --config-dir "$bin/configuration" --time-scale 0.001 \
    --trace "$here/$name.jsonl" >"$work/cli.out" 2>/dev/null || true
  kill -TERM $!
  wait $! || { cat "$work/sim.err" >&2; exit 1; }
  echo "$name.jsonl: $(wc -l <"$here/$name.jsonl") lines, $(head -n 1 "$work/cli.out")"
}
record two-batches # both batches
record resend-and-restart --resend-block 2:1 --fail-download 1 # block 2 asked again; a file taken again
record refused-authorization --refuse-authorization # the first file not allowed
