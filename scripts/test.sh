#!/usr/bin/env bash
# Builds the updater and all tests and runs them, installing what a fresh
# Debian machine lacks. Tests run under Wine in a prefix inside the build folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/deps.sh
source scripts/xvfb.sh

build="$root/build/mingw"
cleanup() {
  WINEPREFIX="$build/wineprefix" tools/testbench/bench.sh reset >/dev/null 2>&1 || true
  WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true
  tw_stop_xvfb
}
trap cleanup EXIT

cmake --preset mingw
cmake --build --preset mingw -j2
tools/fuzz/run.sh 30 # native libFuzzer smoke run of the parsers and decoders
tw_start_xvfb
ctest --preset mingw "$@"
