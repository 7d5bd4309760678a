#!/usr/bin/env bash
# Fault-injection campaign against the simulated handheld: randomized complete
# updates with one or two faults each, a table of outcomes by fault kind.
#   scripts/campaign.sh [runs (500)] [seed (20240611)]
# The same seed replays the same runs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
runs=${1:-500}
seed=${2:-20240611}
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
cmake --build --preset mingw -j2 --target campaign_tests
tw_start_xvfb
tools/testbench/wine-run.sh "$build" "$build/tests/campaign/campaign_tests.exe" "$runs" "$seed" 2>&1 |
  tee "$build/campaign.log"
