#!/usr/bin/env bash
# The updater's main job: build it, then update the simulated handheld on a
# virtual null-modem cable with the carried firmware, on this display or on Xvfb.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j2 --target TidewellUpdater tidewell_sim tw_uidriver
exec python3 tools/run_update.py --build "$root/build/mingw" "$@"
