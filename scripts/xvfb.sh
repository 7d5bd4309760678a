# Sourced: starts a private Xvfb when there is no display and exports DISPLAY.
# The caller stops it with tw_stop_xvfb (the scripts do so on exit).
tw_xvfb_pid=""
tw_start_xvfb() {
  [ -n "${DISPLAY:-}" ] && return 0
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    tw_xvfb_pid=$!
    for _ in $(seq 1 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return 0; }
      kill -0 "$tw_xvfb_pid" 2>/dev/null || break
      sleep 0.05
    done
  done
  echo "cannot start Xvfb" >&2
  return 1
}
tw_stop_xvfb() {
  [ -n "$tw_xvfb_pid" ] && kill "$tw_xvfb_pid" 2>/dev/null
  tw_xvfb_pid=""
}
