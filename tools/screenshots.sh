#!/usr/bin/env bash
# Renders the screenshots of the desktop program into docs/:
#   docs/screenshot-main-window.png  the main window during an update of a
#                                    simulated terminal, both bars moving
#   docs/screenshot-about.png        the About dialog
# Runs on an X server of its own (Xvfb); needs ImageMagick (import) and
# xdotool. Usage: tools/screenshots.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
docs=$root/docs
bin=$build/bin

if [ ! -x "$bin/mirdal-window-demo" ] || [ ! -x "$bin/mirdal-sim" ] || [ ! -f "$bin/configuration/configuration.xml" ]; then
  echo "Building the window demonstration, mirdal-sim and the sample configuration..." >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" --target mirdal-window-demo mirdal-sim sample_configuration >/dev/null
fi
for tool in import xdotool; do
  command -v "$tool" >/dev/null || { echo "missing $tool (tools/setup-debian.sh)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/mirdal-shots.XXXXXX)
xvfb_work=$work
# shellcheck source=../tests/app/xvfb.sh
. "$root/tests/app/xvfb.sh"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  stop_xvfb
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
start_xvfb
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work/xdg}
mkdir -p "$XDG_RUNTIME_DIR"; chmod 0700 "$XDG_RUNTIME_DIR"

# Prints the id of the first mapped window titled exactly $1, waiting for it.
window_id() {
  for _ in $(seq 300); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  echo "no window titled $1" >&2
  return 1
}

# Waits until the demonstration reports both bars inside the given ranges.
wait_bars() { # report-file total-min total-max module-min module-max
  for _ in $(seq 1200); do
    if awk -v a="$2" -v b="$3" -v c="$4" -v d="$5" \
         '$1 == "total" && $2 >= a && $2 <= b && $4 >= c && $4 <= d { found = 1 } END { exit !found }' "$1"; then
      return 0
    fi
    sleep 0.1
  done
  echo "the bars never reached the awaited stage" >&2
  return 1
}

# --- The main window during an update ---------------------------------------
# The simulator keeps the pace of a real 9600-baud line, so the download
# stays on screen long enough to be photographed mid-file.
"$bin/mirdal-sim" --baud 9600 >"$work/sim.out" 2>"$work/sim.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
device=$(head -n 1 "$work/sim.out")
[ -n "$device" ] || { echo "mirdal-sim did not start:" >&2; cat "$work/sim.log" >&2; exit 1; }

"$bin/mirdal-window-demo" --port "$device" --config-dir "$bin/configuration" \
  --time-scale 0.05 --start --report >"$work/bars" 2>"$work/demo.log" &
pids+=($!)
main=$(window_id Mirdal)
wait_bars "$work/bars" 60 99 25 75
import -window "$main" "$docs/screenshot-main-window.png"
echo "wrote $docs/screenshot-main-window.png" >&2

# --- The About dialog --------------------------------------------------------
"$bin/mirdal-window-demo" --port "$device" --config-dir "$bin/configuration" --about \
  >/dev/null 2>"$work/about.log" &
pids+=($!)
about=$(window_id About)
sleep 0.5
import -window "$about" "$docs/screenshot-about.png"
echo "wrote $docs/screenshot-about.png" >&2
