#!/usr/bin/env bash
# Builds the updater and all tests and runs them, installing what a fresh
# Debian machine lacks. Tests run under Wine in a prefix inside the build folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
tw_prepare
tools/fuzz/run.sh 30 # native libFuzzer smoke run of the parsers and decoders
tw_start_xvfb
ctest --preset mingw "$@"
