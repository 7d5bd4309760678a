#!/usr/bin/env bash
# End-to-end runs of the updater program against the simulated handheld, driven
# from outside through its dialog as a user would:
#   e2e.sh BUILD_DIR update|cancel|no-port
set -eu
build=$(cd "$1" && pwd)
scenario=$2
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

export WINEPREFIX="$build/wineprefix"
export TW_BENCH_DIR="$build/testbench"
updater="$build/app/TidewellUpdater.exe"
driver="$build/tools/uidriver/tw_uidriver.exe"
sim="$build/tools/sim/tidewell_sim.exe"
work="$build/e2e/$scenario"
rm -rf "$work"
mkdir -p "$work"

pids=()
cleanup() {
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null || true
  done
}
trap cleanup EXIT

# One display for the updater and the driver: a Xvfb of our own unless given.
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 140 180); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.05
    done
    export DISPLAY=":$n"
    break
  done
fi

run() { "$src/tools/testbench/wine-run.sh" "$build" "$@"; }
bench() { "$src/tools/testbench/bench.sh" "$@"; }
drive() { run "$driver" "$@"; }
fail() {
  echo "e2e $scenario: $*" >&2
  exit 1
}

start_updater() {
  run "$updater" >"$work/updater.log" 2>&1 &
  updater_pid=$!
  pids+=("$updater_pid")
}

start_sim() {
  run "$sim" --port COM10 --summary "Z:${work//\//\\}\\sim.txt" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
}

# Waits up to $2 seconds for a background program to end.
wait_exit() {
  for _ in $(seq $(($2 * 10))); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  fail "process $1 did not end"
}

# The prefix and its server first: the bench maps ports in a running server.
drive sleep 0 >/dev/null 2>&1 || true
bench reset

case "$scenario" in
update)
  # COM3 and COM10 are the two ends of one cable; the updater opens COM3.
  bench pair 3 10
  start_updater
  drive wait-window 60000 expect-text 0 "Tidewell Handheld v4.0.0" \
    expect-text 1005 "Tidewell Handheld v4.0.0" expect-text 1002 Disconnected \
    expect-visible 1010 0 expect-enabled 1003 1 >/dev/null
  ports=$(drive ports | tr -d '\r')
  [ "$ports" = "$(printf 'COM10 *\nCOM3')" ] || fail "port list: $ports"
  drive about about-close 10000
  # Start with no target: the hint, then the update starts by itself.
  drive click 1001 wait-text 1002 "No connection - power cycle or reset target" 10000 \
    expect-visible 1001 1
  start_sim --exit-on-start --max-time 900000
  # The connection starts the update at once, so its text may be gone before
  # it can be seen; the end state and the simulated handheld tell the story.
  drive wait-text 1010 Ok 800000 expect-text 1002 "Target updated successfully" \
    expect-visible 1001 0 expect-enabled 1003 0
  wait_exit "$sim_pid" 30
  grep -q "make valid 1, blank check 0, get CRC [1-9][0-9]*, start application 1" "$work/sim.txt" ||
    fail "sim: $(cat "$work/sim.txt")"
  grep -q "refused blocks 0" "$work/sim.txt" || fail "sim: $(cat "$work/sim.txt")"
  # Ok ends the program.
  drive key enter wait-gone 20000
  wait_exit "$updater_pid" 20
  ;;
cancel)
  bench pair 3 10
  start_sim --idle-exit 3000 --max-time 300000
  start_updater
  drive wait-window 60000 \
    wait-text 1002 "Connection to target established (Tidewell Handheld TW-200)" 30000 \
    key enter wait-text 1002 "Programming target" 60000 sleep 1000 key esc wait-gone 20000
  wait_exit "$updater_pid" 20
  wait_exit "$sim_pid" 30
  grep -q "make valid 0, blank check 0, get CRC 0, start application 0" "$work/sim.txt" ||
    fail "sim: $(cat "$work/sim.txt")"
  ;;
no-port)
  # A port that another program holds counts as none.
  bench busy 4
  start_updater
  drive box Error "No COM port detected. Application can not be executed!" 60000
  wait_exit "$updater_pid" 20
  ;;
*)
  fail "unknown scenario"
  ;;
esac
echo "e2e $scenario: ok"
