#!/usr/bin/env bash
# Fault-injection campaign against the simulated handheld: randomized complete
# updates with one or two faults each, a table of outcomes by fault kind.
#   scripts/campaign.sh [runs (500)] [seed (20240611)]
# The same seed replays the same runs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
runs=${1:-500}
seed=${2:-20240611}
tw_prepare campaign_tests
tw_start_xvfb
tools/testbench/wine-run.sh "$build" "$build/tests/campaign/campaign_tests.exe" "$runs" "$seed" 2>&1 |
  tee "$build/campaign.log"
