#!/usr/bin/env bash
# The real `mirdal`, as a copy beside a copy of its configuration: with the sample, one 764x615 window "Mirdal";
# tampered, only the configuration error box, closed by Return with status 0. Usage: on-xvfb.sh $0 MIRDAL CONFIG
set -euo pipefail
work=$(mktemp -d /tmp/mirdal-program.XXXXXX)
app=
trap '[ -n "$app" ] && kill $app 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$work"/*.log >&2; exit 1; }
windows() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null || true; }
wait_window() { # prints the id of a mapped window titled $1, within 30 s
  for _ in $(seq 300); do
    [ -n "$(windows "$1")" ] && { windows "$1" | head -n 1; return 0; }
    kill -0 $app 2>/dev/null && sleep 0.1 || return 1
  done
  return 1
}
start_copy() { # $1: folder; $2: sed script applied to its configuration.xml
  mkdir "$work/$1" && cp "$binary" "$work/$1/mirdal" && cp -r "$configuration" "$work/$1/configuration"
  sed -i "$2" "$work/$1/configuration/configuration.xml"
  "$work/$1/mirdal" >"$work/$1.log" 2>&1 &
  app=$!
}
binary=$1
configuration=$2

start_copy good ''
id=$(wait_window Mirdal) || fail "no window titled Mirdal"
[ -z "$(windows "Erreur fichier de configuration")" ] || fail "error box with the sample"
size=$(xwininfo -id "$id" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
[ "$size" = 764x615 ] || fail "main window is $size, not 764x615"
kill $app; wait $app 2>/dev/null || true; app=

start_copy bad 's|<title>M|<title>X|' # one changed character of the signed text
box=$(wait_window "Erreur fichier de configuration") || fail "no configuration error box"
sleep 0.5
[ -z "$(windows Mirdal)" ] || fail "the main window appeared beside the error box"
xdotool windowfocus --sync "$box" key Return
for _ in $(seq 100); do kill -0 $app 2>/dev/null && sleep 0.1; done
kill -0 $app 2>/dev/null && fail "the program still runs after its error box was closed"
status=0; wait $app || status=$?; app=
[ $status -eq 0 ] || fail "exit status $status after the error box"
