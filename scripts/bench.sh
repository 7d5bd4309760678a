#!/usr/bin/env bash
# Builds the updater and its benchmarks, runs each under Wine and prints every
# figure in one table beside its budget.
#   scripts/bench.sh            everything, the paced update and floor included (~5 min more)
#   scripts/bench.sh --no-paced without the update paced at 115200 baud
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
paced=1
[ "${1:-}" = "--no-paced" ] && paced=0
tw_prepare bench_image bench_frame bench_update bench_soak
log="$build/bench.log"
tw_start_xvfb
: >"$log"
run() {
  local exe=$1
  shift
  echo "== $exe $*" | tee -a "$log"
  tools/testbench/wine-run.sh "$build" "$build/tools/bench/$exe.exe" "$@" 2>&1 | tee -a "$log" ||
    echo "FIGURE ${exe}_exit failed - -" | tee -a "$log"
}
run bench_image
run bench_frame 6227 0
if [ "$paced" = 1 ]; then run bench_update --paced; else run bench_update; fi
run bench_soak 50

# One table: what, figure, budget.
echo
awk '
BEGIN {
  n = split("image_load|loading the embedded firmware (median of 5)|" \
            "image_crc|image CRC over both areas|" \
            "image_crc_full_ranges|image CRC over two ranges of 0xFFFFFFFF|" \
            "image_walk|programming walk over the image|" \
            "round_trip_median|program request round trip, median of 6,227|" \
            "round_trip_worst|program request round trip, worst of 6,227|" \
            "round_trip_all|6,227 program request round trips in all|" \
            "update_full_speed|full update at full speed, no progress calls|" \
            "update_with_progress_bar|full update with the progress bar|" \
            "progress_calls|its progress calls (with bar minus without)|" \
            "floor_programming|floor: 6,227 blocks, bare platform calls|" \
            "programming_full_speed|updater: the same blocks, no progress calls|" \
            "over_floor|updater over the floor|" \
            "floor_progress_calls|floor: the progress calls alone|" \
            "programming_with_bar|updater: the same blocks with the bar|" \
            "bar_over_floor_and_calls|updater with bar over floor + calls|" \
            "updater_own_per_block|updater'"'"'s own time per block (acks queued)|" \
            "floor_own_per_block|floor'"'"'s own time per block (acks queued)|" \
            "idle_floor|line idle after an ack, med/90%/mean: floor|" \
            "idle_without_bar|the same: updater, no progress calls|" \
            "idle_with_bar|the same: updater with the bar|" \
            "soak_updates_failed|soak: updates failed of 50|" \
            "soak_handles_start|soak: handles after update 1|" \
            "soak_handles_end|soak: handles after update 50|" \
            "soak_private_start|soak: private bytes after update 1|" \
            "soak_private_end|soak: private bytes after update 50|" \
            "soak_working_set_start|soak: working set after update 1|" \
            "soak_working_set_end|soak: working set after update 50|" \
            "paced_update|full update with the bar paced at 115200 8O1|" \
            "paced_wire_model|modelled wire time of the same bytes|" \
            "paced_over_wire|paced update over the wire time|" \
            "paced_floor_programming|paced floor: 6,227 blocks|" \
            "paced_programming|paced updater with the bar: the same blocks|" \
            "paced_over_floor|paced updater over the paced floor|" \
            "paced_idle_floor|paced: line idle after an ack, floor|" \
            "paced_idle_updater|paced: line idle after an ack, updater|" \
            "paced_idle_median_over_floor|paced: updater'"'"'s median idle over the floor'"'"'s", f, "|")
  for (i = 1; i < n; i += 2) { order[++keys] = f[i]; label[f[i]] = f[i + 1] }
}
{ sub(/\r$/, "") }
$1 == "FIGURE" { value[$2] = $3; unit[$2] = $4; budget[$2] = $5; if (!($2 in label)) { order[++keys] = $2; label[$2] = $2; sub(/^cost_/, "one call: ", label[$2]) } }
END {
  printf "%-52s %19s  %-10s\n", "figure", "measured", "budget"
  for (i = 1; i <= keys; i++) {
    k = order[i]
    if (!(k in value)) continue
    u = (unit[k] == "count") ? "" : unit[k]
    b = ""
    if (budget[k] != "-") b = budget[k] " " u
    if (budget[k] ~ /^\+/) b = budget[k] " " u " over start"
    printf "%-52s %16s %-3s %s\n", label[k], value[k], u, b
  }
}' "$log"
