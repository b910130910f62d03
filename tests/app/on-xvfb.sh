#!/usr/bin/env bash
# Runs a command (a desktop test) on an X server of its own, on a display
# that Xvfb picks as free (tests side by side never race for one). A shell
# without a session (CI, ssh) has no XDG_RUNTIME_DIR, which Qt warns about: a
# scratch folder stands in. Usage: on-xvfb.sh command [arguments...]
set -uo pipefail
work=$(mktemp -d /tmp/mirdal-xvfb.XXXXXX)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 200); do [ -s "$work/display" ] || sleep 0.05; done
number=$(tr -dc 0-9 <"$work/display")
[ -n "$number" ] || { echo "Xvfb did not start (tools/setup-debian.sh installs it):" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$number" QT_QPA_PLATFORM=xcb
[ -n "${XDG_RUNTIME_DIR:-}" ] || { mkdir -m 0700 "$work/runtime" && export XDG_RUNTIME_DIR=$work/runtime; }
"$@"
