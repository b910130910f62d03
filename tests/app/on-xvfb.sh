#!/usr/bin/env bash
# Runs a command (a desktop test) on an X server of its own. Usage: on-xvfb.sh command [arguments...]
set -uo pipefail
xvfb_work=$(mktemp -d /tmp/mirdal-xvfb.XXXXXX)
. "$(dirname "$0")/xvfb.sh"
trap 'stop_xvfb; rm -rf "$xvfb_work"' EXIT
start_xvfb || exit 1
"$@"
