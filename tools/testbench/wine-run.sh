#!/usr/bin/env bash
# Runs a Windows program of this build under Wine, in the build folder's own
# prefix (never ~/.wine), with the test bench's serial ports under control:
#   wine-run.sh BUILD_DIR PROGRAM.exe [ARGS...]
# The prefix is made on first use. Wine maps every /dev/ttyS* as a COM port when
# its server starts; those mappings are blocked here so that a test sees exactly
# the ports it maps itself (tools/testbench/bench.sh). Without a display the
# program runs on a private Xvfb of its own (tools/testbench/xvfb.sh).
set -eu
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bench_dir="$build/testbench"
mkdir -p "$bench_dir"

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES='mscoree,mshtml='
export TW_TESTBENCH="$here"
export TW_BENCH_DIR="$bench_dir"

# The parity pass-through for ptys (see tcsetattr_shim.c).
shim="$bench_dir/libtcsetattr_shim.so"
if [ ! -f "$shim" ] || [ "$here/tcsetattr_shim.c" -nt "$shim" ]; then
  cc -shared -fPIC -O2 -o "$shim.tmp" "$here/tcsetattr_shim.c" && mv "$shim.tmp" "$shim"
fi

(
  flock 9
  # Whatever Wine starts in the background here must not inherit the lock or
  # the caller's output, or the caller would wait for it to end.
  exec </dev/null >>"$bench_dir/wine-setup.log" 2>&1
  if [ ! -f "$WINEPREFIX/.tw-ready" ]; then
    wineboot -i 9>&-
    wineserver -w 9>&-
    touch "$WINEPREFIX/.tw-ready"
  fi
  # A persistent server keeps the mappings made below (and starts faster).
  if ! "$here/bench.sh" server-running; then
    wineserver -p 9>&-
    wine cmd /c exit 9>&- || true
    "$here/bench.sh" block-auto-ports
  fi
) 9>"$build/wineprefix.lock"

# Without a display the program gets a private one; the shim is for Wine only.
exec "$here/xvfb.sh" env LD_PRELOAD="$shim" wine "$@"
