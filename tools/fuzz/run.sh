#!/usr/bin/env bash
# Builds the libFuzzer targets natively with clang into build/fuzz (the fuzz
# preset) and runs each for the given number of seconds (default 30) on a
# working copy of the seed corpus (build/fuzz/corpus/<target>, which keeps what earlier runs found).
# An input that makes a target run longer than 5 s counts as a finding (a
# decoder that loops). Prints one summary line per target and exits non-zero
# on any crash, sanitizer report, failed check or time-out; the offending
# input is left in build/fuzz/artifacts/<target>/.
#
#   tools/fuzz/run.sh            smoke run, 30 s per target (part of scripts/test.sh)
#   tools/fuzz/run.sh 3600       the one-hour run per target
#   build/fuzz/fuzz_srec build/fuzz/artifacts/fuzz_srec/crash-...   replay one input
set -euo pipefail
seconds=${1:-30}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="$root/build/fuzz"
seeds="$root/tools/fuzz/corpus"

# A build folder configured from tools/fuzz itself, as before the preset,
# is configured afresh (its corpus and findings stay).
if grep -qs "^CMAKE_HOME_DIRECTORY:INTERNAL=$root/tools/fuzz\$" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
(cd "$root" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2 >/dev/null)

failed=0
for target in fuzz_srec fuzz_frame fuzz_replies; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  log="$build/$target.log"
  mkdir -p "$corpus" "$artifacts"
  cp "$seeds/$target"/* "$corpus/"
  status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/$target" -max_total_time="$seconds" -timeout=5 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  crashes=0
  if [ "$status" -ne 0 ] ||
    grep -qE 'ERROR: (libFuzzer|AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error:|check failed|stand-in:' "$log"; then
    crashes=1
    failed=1
  fi
  printf '%-13s executions: %-10s cov: %-5s ft: %-6s crashes: %s\n' \
    "$target" "${runs:-?}" "${cov:-?}" "${ft:-?}" "$crashes"
  if [ "$crashes" -ne 0 ]; then
    grep -E 'ERROR|runtime error|check failed|stand-in:|Test unit written' "$log" | head -5 | sed 's/^/    /'
    echo "    full output: $log"
  fi
done
exit "$failed"
