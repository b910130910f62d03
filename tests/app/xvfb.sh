# Sourced by the scripts that need an X server: start_xvfb starts Xvfb on a
# display that the server itself picks as free (-displayfd, so tests running
# side by side never race for one), exports DISPLAY and QT_QPA_PLATFORM=xcb,
# and stop_xvfb ends it. Needs a scratch folder in $xvfb_work. A shell
# without a session (CI, ssh, cron) has no XDG_RUNTIME_DIR, and Qt warns
# about that: the scratch folder then stands in for it.

xvfb_pid=

start_xvfb() {
  command -v Xvfb >/dev/null || { echo "missing Xvfb (tools/setup-debian.sh)" >&2; return 1; }
  local number_file=$xvfb_work/xvfb.display
  : >"$number_file"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number_file" >"$xvfb_work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 200); do
    [ -s "$number_file" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
  done
  local number
  number=$(tr -dc 0-9 <"$number_file")
  if [ -z "$number" ]; then
    echo "Xvfb did not start:" >&2; cat "$xvfb_work/xvfb.log" >&2
    return 1
  fi
  export DISPLAY=":$number" QT_QPA_PLATFORM=xcb
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    mkdir -p -m 0700 "$xvfb_work/runtime"
    export XDG_RUNTIME_DIR=$xvfb_work/runtime
  fi
}

stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  fi
}
