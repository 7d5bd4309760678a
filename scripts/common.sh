# Sourced by the scripts here: the repository root, the build folder, what a
# fresh Debian machine lacks, a display, and tidying up on exit.
#   tw_prepare [TARGET...]   install, configure and build (all, or the targets)
#   tw_start_xvfb            a private Xvfb when there is no display
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/mingw"
cd "$root"

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

# Cables, the prefix's Wine server and the display go with the script.
tw_cleanup() {
  WINEPREFIX="$build/wineprefix" tools/testbench/bench.sh reset >/dev/null 2>&1 || true
  WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true
  [ -n "$tw_xvfb_pid" ] && kill "$tw_xvfb_pid" 2>/dev/null
  tw_xvfb_pid=""
}

tw_prepare() {
  scripts/deps.sh
  trap tw_cleanup EXIT
  cmake --preset mingw
  if [ $# -gt 0 ]; then
    cmake --build --preset mingw -j2 --target "$@"
  else
    cmake --build --preset mingw -j2
  fi
}
