# Sourced, with a scratch folder in $xvfb_work: start_xvfb starts Xvfb on a display it picks as free (scripts
# side by side never race for one), exports DISPLAY and QT_QPA_PLATFORM=xcb, and XDG_RUNTIME_DIR where a shell
# without a session (CI, ssh) has none (Qt warns about that); stop_xvfb ends it.
xvfb_pid=
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$xvfb_work/xvfb.display" >"$xvfb_work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 200); do [ -s "$xvfb_work/xvfb.display" ] || sleep 0.05; done
  local number
  number=$(tr -dc 0-9 <"$xvfb_work/xvfb.display")
  [ -n "$number" ] || { echo "Xvfb did not start (tools/setup-debian.sh):" >&2; cat "$xvfb_work/xvfb.log" >&2; return 1; }
  export DISPLAY=":$number" QT_QPA_PLATFORM=xcb
  [ -n "${XDG_RUNTIME_DIR:-}" ] || { mkdir -p -m 0700 "$xvfb_work/runtime" && export XDG_RUNTIME_DIR=$xvfb_work/runtime; }
}
stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  xvfb_pid=
}
