#!/usr/bin/env bash
# The one way the test bench gets a display when there is none: a private Xvfb
# that picks a free display number itself (-displayfd), so that builds and
# users side by side never race for one.
#   source xvfb.sh; tw_xvfb_start [LOG]   DISPLAY set (a private Xvfb when unset)
#                   tw_xvfb_stop          ends the private Xvfb, if any
#   xvfb.sh COMMAND [ARGS...]             COMMAND on this display, or a private one
# TW_PRIVATE_DISPLAY=1 tells programs run here that the display is their own.

tw_xvfb_pid=""
tw_xvfb_fd=""

tw_xvfb_start() {
  [ -n "${DISPLAY:-}" ] && return 0
  local log=${1:-/dev/null} number=""
  command -v Xvfb >/dev/null || { echo "xvfb.sh: no display and no Xvfb (install xvfb)" >&2; return 1; }
  # Xvfb writes the number and its newline separately; the pipe stays open
  # while it runs, since closing it early ends Xvfb.
  exec {tw_xvfb_fd}< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp </dev/null 2>"$log")
  tw_xvfb_pid=$!
  read -r -t 30 -u "$tw_xvfb_fd" number || true
  case "$number" in
    '' | *[!0-9]*)
      echo "xvfb.sh: no display, and Xvfb did not start${1:+ (see $log)}" >&2
      tw_xvfb_stop
      return 1
      ;;
  esac
  export DISPLAY=":$number" TW_PRIVATE_DISPLAY=1
}

tw_xvfb_stop() {
  if [ -n "$tw_xvfb_pid" ]; then
    kill "$tw_xvfb_pid" 2>/dev/null || true
    wait "$tw_xvfb_pid" 2>/dev/null || true
    unset DISPLAY TW_PRIVATE_DISPLAY
  fi
  [ -n "$tw_xvfb_fd" ] && exec {tw_xvfb_fd}<&-
  tw_xvfb_pid=""
  tw_xvfb_fd=""
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -u
  [ $# -gt 0 ] || { echo "usage: xvfb.sh COMMAND [ARGS...]" >&2; exit 2; }
  [ -n "${DISPLAY:-}" ] && exec "$@"
  tw_xvfb_start "" || exit 1
  trap tw_xvfb_stop EXIT
  # The command runs in the background so that a signal to this script reaches it.
  "$@" <&0 &
  child=$!
  trap 'kill -TERM "$child" 2>/dev/null' TERM INT HUP
  rc=0
  wait "$child" || rc=$?
  # A trapped signal ends the first wait early; the child's own end comes next.
  while kill -0 "$child" 2>/dev/null; do wait "$child" || rc=$?; done
  exit "$rc"
fi
