# Sourced by the scripts here: the repository root, the build folder, what a
# fresh Debian machine lacks, a display, and tidying up on exit.
#   tw_prepare [TARGET...]   install, configure and build (all, or the targets)
#   tw_start_xvfb            a private Xvfb when there is no display
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/mingw"
cd "$root"

source "$root/tools/testbench/xvfb.sh"
tw_start_xvfb() {
  trap tw_cleanup EXIT
  tw_xvfb_start "$build/xvfb.log"
}

# Cables, the prefix's Wine server and the display go with the script.
tw_cleanup() {
  WINEPREFIX="$build/wineprefix" tools/testbench/bench.sh reset >/dev/null 2>&1 || true
  WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true
  tw_xvfb_stop
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
