#!/usr/bin/env bash
# The real `mirdal` program on its own X server (Xvfb):
#  1. beside the sample configuration, it shows one window titled "Mirdal";
#  2. beside a tampered copy, it shows only the configuration error box, and
#     closing that box (Return key) ends the program with status 0.
# The program reads the "configuration" folder beside its executable, so each
# case runs a copy of the binary in a folder of its own.
# Usage: program-test.sh path/to/mirdal path/to/configuration
set -euo pipefail
binary=$1
configuration=$2
for tool in xdotool xwininfo; do
  command -v "$tool" >/dev/null || { echo "missing $tool (tools/setup-debian.sh)" >&2; exit 1; }
done
[ -f "$configuration/configuration.xml" ] || { echo "no sample configuration in $configuration" >&2; exit 1; }

work=$(mktemp -d /tmp/mirdal-program.XXXXXX)
xvfb_work=$work
# shellcheck source=xvfb.sh
. "$(dirname "$0")/xvfb.sh"
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  stop_xvfb
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# --- An X server of its own ------------------------------------------------
start_xvfb || fail "no X server"

# Copies the program into folder $1 beside a copy of the sample configuration.
install_copy() {
  mkdir -p "$1"
  cp "$binary" "$1/mirdal"
  cp -r "$configuration" "$1/configuration"
}

# Prints the ids of the mapped windows whose title is exactly $1.
visible_windows() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null || true; }

# Waits (up to 30 s) for a mapped window titled $1 and prints its id.
wait_window() {
  for _ in $(seq 300); do
    ids=$(visible_windows "$1")
    [ -n "$ids" ] && { echo "$ids" | head -n 1; return 0; }
    kill -0 "$app_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# --- 1. The sample configuration: the main window ---------------------------
install_copy "$work/good"
"$work/good/mirdal" >"$work/good.log" 2>&1 &
app_pid=$!
wait_window "Mirdal" >/dev/null || { cat "$work/good.log" >&2; fail "no window titled Mirdal"; }
xwininfo -root -tree | grep -q '"Mirdal"' || fail "xwininfo does not list the window"
[ -z "$(visible_windows "Erreur fichier de configuration")" ] || fail "error box with the sample configuration"
geometry=$(xwininfo -id "$(visible_windows Mirdal | head -n 1)" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
[ "$geometry" = "764x615" ] || fail "main window is $geometry, not 764x615"
kill "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=
echo "ok - the sample configuration shows the window Mirdal ($geometry)"

# --- 2. A tampered configuration: only the error box, closing it ends -------
install_copy "$work/bad"
# One changed character of the signed text breaks the signature.
python3 - "$work/bad/configuration/configuration.xml" <<'PY'
import sys, re
path = sys.argv[1]
data = open(path, 'rb').read()
match = re.search(rb'<title>([^<])', data) or re.search(rb'>([A-Za-z])', data)
if not match:
    sys.exit("nothing to change in " + path)
i = match.start(1)
data = data[:i] + (b'X' if data[i:i+1] != b'X' else b'Y') + data[i+1:]
open(path, 'wb').write(data)
PY
cmp -s "$configuration/configuration.xml" "$work/bad/configuration/configuration.xml" && fail "tampering changed nothing"
"$work/bad/mirdal" >"$work/bad.log" 2>&1 &
app_pid=$!
box=$(wait_window "Erreur fichier de configuration") || { cat "$work/bad.log" >&2; fail "no configuration error box"; }
sleep 0.5
[ -z "$(visible_windows Mirdal)" ] || fail "the main window appeared beside the error box"
xdotool windowfocus --sync "$box" key Return
status=
for _ in $(seq 100); do
  if ! kill -0 "$app_pid" 2>/dev/null; then
    wait "$app_pid" && status=0 || status=$?
    break
  fi
  sleep 0.1
done
[ -n "$status" ] || { cat "$work/bad.log" >&2; fail "the program still runs after its error box was closed"; }
app_pid=
[ "$status" -eq 0 ] || { cat "$work/bad.log" >&2; fail "exit status $status after the error box"; }
echo "ok - a tampered configuration shows only the error box; closing it ends the program"
