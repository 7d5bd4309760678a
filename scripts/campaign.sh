#!/usr/bin/env bash
# Fault-injection campaign against the simulated handheld: randomized complete
# updates with one or two faults each, a table of outcomes by fault kind.
#   scripts/campaign.sh [runs (500)] [seed (20240611)]
# through the program's own dialog, in real time; or
#   scripts/campaign.sh --line [runs (500)] [seed (20240611)]
# the updater's target layer on a virtual-time line at a real boot loader's
# pace, a USB adapter's latency and over slow links: hundreds of runs in
# seconds (TW_LINE_ONLY=N replays run N of them alone).
# The same seed replays the same runs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
test=campaign_tests
if [ "${1:-}" = --line ]; then
  test=line_campaign_tests
  shift
fi
runs=${1:-500}
seed=${2:-20240611}
tw_prepare "$test"
tw_start_xvfb
tools/testbench/wine-run.sh "$build" "$build/tests/campaign/$test.exe" "$runs" "$seed" 2>&1 |
  tee "$build/${test%_tests}.log"
