#!/usr/bin/env bash
# End-to-end runs of the updater program against the simulated handheld, driven
# from outside through its dialog as a user would:
#   e2e.sh BUILD_DIR update|bad-crc|ports|arrival|cancel|no-port|broken-firmware
set -eu
build=$(cd "$1" && pwd)
scenario=$2
title="Tidewell Handheld v${TW_UPDATER_VERSION:?set by CTest to the updater version}"
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
    # A program started in the background through run() is the child of the
    # job's shell: end it too, or it lives on into the next test.
    pkill -P "$p" 2>/dev/null || true
    kill "$p" 2>/dev/null || true
  done
  bench reset >/dev/null 2>&1 || true # the cables' socat processes
  tw_xvfb_stop
}
trap cleanup EXIT

# One display for the updater and the driver: a Xvfb of our own unless given.
source "$src/tools/testbench/xvfb.sh"
tw_xvfb_start "$work/xvfb.log" || exit 1

run() { "$src/tools/testbench/wine-run.sh" "$build" "$@"; }
bench() { "$src/tools/testbench/bench.sh" "$@"; }
drive() { run "$driver" "$@"; }
fail() {
  echo "e2e $scenario: $*" >&2
  report >&2
  exit 1
}

# What each side saw last: the updater's window and its one-line account of the
# update (OutputDebugString, shown by WINEDEBUG=+debugstr), the handheld's
# summary and its last requests other than identify.
report() {
  [ -f "$work/watch.txt" ] && echo "updater's window, last seen: $(tail -1 "$work/watch.txt")"
  sed -n 's/.*OutputDebugStringA "\(.*\)\\n"$/updater: \1/p' "$work/updater.log" 2>/dev/null | tail -1
  [ -f "$work/sim.txt" ] && sed 's/^/handheld: /' "$work/sim.txt"
  [ -f "$work/requests.txt" ] && awk '$2 != 0' "$work/requests.txt" | tail -3 |
    awk '{ printf "handheld: request at %s ms: command %s, %s data bytes", $1, $2, $3
           if ($2 == 2) printf ", block 0x%s%s%s%s", $7, $6, $5, $4
           print "" }'
  return 0
}

start_updater() {
  # +debugstr: the updater's own account of an update, for report().
  WINEDEBUG=-all,+debugstr run "$updater" >"$work/updater.log" 2>&1 &
  updater_pid=$!
  pids+=("$updater_pid")
}

start_sim() {
  run "$sim" --port COM10 --summary "Z:${work//\//\\}\\sim.txt" \
    --log "Z:${work//\//\\}\\requests.txt" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
}

# Maps COM$1 to its end of a cable made earlier: the port then appears after
# the updater's scan (Wine resolves the port at every open).
map_later() { ln -sfn "$(readlink -f "$TW_BENCH_DIR/pty-$1")" "$WINEPREFIX/dosdevices/com$1"; }

# A picture of the main dialog, from the display the test runs on.
shot() {
  local x y w h
  read -r x y w h < <(drive rect | tr -d '\r')
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$work/shot-$1.png" ||
    fail "no screenshot $1"
}

# Status texts in the order the driver's watch saw them, one a line.
statuses() { sed -n 's/^ *[0-9.]* status shown "\([^"]*\)".*/\1/p' "$1" | uniq; }

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
  # COM3 and COM10 are the two ends of one cable; the updater opens COM3, the
  # first port scanned, and selects it, though COM10 comes first in the list.
  bench pair 3 10
  # Like a real handheld, the simulated one starts its application and stops
  # answering once it has acknowledged start application.
  start_sim --silent-after-start --exit-on-start --max-time 300000 \
    --flash "Z:${work//\//\\}\\flash.s19"
  start_updater
  drive wait-window 60000 expect-text 0 "$title" \
    expect-text 1005 "$title" expect-visible 1010 0 expect-enabled 1003 1 >/dev/null
  ports=$(drive ports | tr -d '\r')
  [ "$ports" = "$(printf 'COM10\nCOM3 *')" ] || fail "port list: $ports"
  drive about about-text 1009 "$title" 10000 about-close 10000
  drive wait-text 1002 "Connection to target established (Tidewell Handheld TW-200)" 30000
  shot idle
  # The mouse moves over the window throughout: each move wakes the job
  # runner's loop, as a technician's hand does.
  drive wiggle 900000 >"$work/wiggle.txt" 2>&1 &
  pids+=($!)
  drive click 1001 watch 600000 >"$work/watch.txt" 2>&1 &
  watch_pid=$!
  pids+=("$watch_pid")
  for _ in $(seq 600); do
    grep -q '"Programming target"' "$work/watch.txt" && break
    sleep 0.1
  done
  sleep 2
  shot programming
  wait "$watch_pid" || fail "watch: $(tail -3 "$work/watch.txt")"
  echo "statuses seen: $(statuses "$work/watch.txt" | paste -sd '|')"
  statuses "$work/watch.txt" | grep -qx "Programming target" || fail "no programming seen"
  # The bar moves forward while programming, from the start towards the end.
  sed -n 's/.*"Programming target".* progress \([0-9]*\)\/\([0-9]*\).*/\1 \2/p' "$work/watch.txt" |
    awk '$1 < last { bad = 1 } { last = $1; if (n++ == 0) first = $1 }
         END { exit !(n >= 3 && !bad && last > first && last * 2 > $2) }' ||
    fail "progress: $(grep -c Programming "$work/watch.txt") samples, not moving forward"
  tail -1 "$work/watch.txt" | grep -q 'status shown "Target updated successfully" button "Ok"' ||
    fail "end: $(tail -1 "$work/watch.txt")"
  # The handheld no longer answers; the result stays until Ok all the same.
  drive sleep 2000 expect-visible 1002 1 expect-text 1002 "Target updated successfully" \
    expect-text 1010 Ok expect-visible 1001 0 expect-enabled 1003 0
  shot finished
  wait_exit "$sim_pid" 30
  grep -q "make valid 1, blank check 0, get CRC [1-9][0-9]*, start application 1" "$work/sim.txt" ||
    fail "sim: $(cat "$work/sim.txt")"
  grep -q "refused blocks 0" "$work/sim.txt" || fail "sim: $(cat "$work/sim.txt")"
  python3 "$src/tools/run_update.py" --check-flash "$work/flash.s19" || fail "flash"
  # Ok ends the program.
  drive key enter wait-gone 20000
  wait_exit "$updater_pid" 20
  ;;
bad-crc)
  # One port only: the handheld's end of the cable appears after the scan, when
  # the handheld is switched on. Start is pressed before it answers.
  bench pair 3 10
  bench unmap 10
  start_updater
  drive wait-window 60000 expect-text 1002 Disconnected expect-enabled 1003 0 expect-focus 1001
  ports=$(drive ports | tr -d '\r')
  [ "$ports" = "COM3 *" ] || fail "port list: $ports"
  drive click 1001 wait-text 1002 "No connection - power cycle or reset target" 10000 \
    expect-visible 1001 1
  map_later 10
  start_sim --wrong-crc --idle-exit 3000 --max-time 300000
  # The answer starts the update by itself; the CRCs then differ, before
  # anything is made valid.
  drive watch 600000 >"$work/watch.txt" 2>&1 || fail "watch: $(tail -3 "$work/watch.txt")"
  echo "statuses seen: $(statuses "$work/watch.txt" | paste -sd '|')"
  statuses "$work/watch.txt" | grep -qx "Programming target" || fail "no programming seen"
  ! grep -q "Target updated successfully" "$work/watch.txt" || fail "success shown"
  failed="Update failed at CRC check - reset target, restart updater"
  tail -1 "$work/watch.txt" | grep -qF "status shown \"$failed\" button \"Ok\"" ||
    fail "end: $(tail -1 "$work/watch.txt")"
  # The handheld keeps answering; the failure stays until Ok all the same.
  drive sleep 2000 expect-visible 1002 1 expect-text 1002 "$failed" \
    expect-visible 1001 0 expect-enabled 1003 0 key enter wait-gone 20000
  wait_exit "$updater_pid" 20
  wait_exit "$sim_pid" 30
  grep -q "make valid 0, blank check 0, get CRC [1-9][0-9]*, start application 0" "$work/sim.txt" ||
    fail "sim: $(cat "$work/sim.txt")"
  ;;
ports)
  # COM3 and COM10, each cabled to a handheld whose end appears after the scan.
  bench pair 3 11
  bench pair 10 12
  bench unmap 11
  bench unmap 12
  start_updater
  drive wait-window 60000 expect-enabled 1003 1 expect-focus 1003 >/dev/null
  ports=$(drive ports | tr -d '\r')
  [ "$ports" = "$(printf 'COM10\nCOM3 *')" ] || fail "port list: $ports"
  map_later 11
  map_later 12
  start_sim --port COM11 --text2 "Handheld on COM3" --idle-exit 2000 --max-time 120000
  sim3_pid=$sim_pid
  drive wait-text 1002 "Connection to target established (Handheld on COM3)" 30000
  # Choosing the open port keeps it open: a reopen would now fail, the polls
  # stop, the handheld ends for want of traffic and the status line goes.
  bench unmap 3
  drive select 1 sleep 3000 expect-visible 1002 1 \
    expect-text 1002 "Connection to target established (Handheld on COM3)"
  kill -0 "$sim3_pid" 2>/dev/null || fail "the handheld on COM3 lost its polls"
  # Choosing COM10 moves the polls to the other cable: COM3's handheld falls
  # silent, and the one on COM10 is found.
  drive select 0
  wait_exit "$sim3_pid" 15
  mv "$work/sim.txt" "$work/sim3.txt"
  grep -q "identify [1-9]" "$work/sim3.txt" || fail "sim on COM11: $(cat "$work/sim3.txt")"
  start_sim --port COM12 --text2 "Handheld on COM10" --idle-exit 2000 --max-time 120000
  drive wait-text 1002 "Connection to target established (Handheld on COM10)" 30000 \
    expect-enabled 1003 1 key esc wait-gone 20000
  wait_exit "$updater_pid" 20
  wait_exit "$sim_pid" 30
  grep -q "identify [1-9]" "$work/sim.txt" || fail "sim on COM12: $(cat "$work/sim.txt")"
  ;;
arrival)
  # Ports that come and go after the scan, announced as the system would.
  # Only COM3 is mapped at the start; COM10, its handheld's end COM11 and
  # COM5 are mapped later. COM7 is absent and COM8 held elsewhere.
  bench pair 3 13
  bench pair 10 11
  bench pair 5 6
  for n in 13 10 11 5 6; do bench unmap $n; done
  bench busy 8
  start_updater
  drive wait-window 60000 wait-ports "COM3 *" 30000 expect-enabled 1003 0
  # Nobody has picked a port and no handheld has answered: the new port is
  # used. Ports that do not open are never listed (every list checked below
  # is exact, the last seconds after these tries have given up).
  map_later 10
  drive arrive 7 arrive 8 arrive 10 wait-ports "COM10 *|COM3" 10000 wait-enabled 1003 1 10000
  map_later 11
  start_sim --port COM11 --text2 "Handheld on COM10" --idle-exit 2000 --max-time 120000
  connected="Connection to target established (Handheld on COM10)"
  drive wait-text 1002 "$connected" 30000
  # A port that goes leaves the list; one port left disables it again.
  bench unmap 3
  drive remove 3 wait-ports "COM10 *" 10000 wait-enabled 1003 0 10000
  # After the handheld has answered a new port is only listed. The choice is
  # made as it is listed, so the list seen then is the last word.
  map_later 5
  drive arrive 5 wait-ports "COM10 *|COM5" 10000 wait-enabled 1003 1 10000 \
    devnodes expect-text 1002 "$connected"
  # The port in use stays listed when it goes, and is not listed twice when
  # it comes back. Each notice is handled by the time the driver's send
  # returns, so the list is looked at at once.
  bench unmap 10
  removed=$(date +%s%N)
  drive remove 10 wait-ports "COM10 *|COM5" 0
  map_later 10
  drive arrive 10 wait-ports "COM10 *|COM5" 0
  # The handheld ends 2 s after its last poll: still there 3 s after the
  # removal, it was polled on COM10 all along.
  hold=$((3000 - ($(date +%s%N) - removed) / 1000000))
  [ "$hold" -le 0 ] || sleep "$(printf '%d.%03d' $((hold / 1000)) $((hold % 1000)))"
  kill -0 "$sim_pid" 2>/dev/null || fail "the handheld on COM10 lost its polls"
  drive wait-ports "COM10 *|COM5" 0 expect-text 1002 "$connected" key esc wait-gone 20000
  wait_exit "$updater_pid" 20
  wait_exit "$sim_pid" 30
  grep -q "identify [1-9]" "$work/sim.txt" || fail "sim on COM11: $(cat "$work/sim.txt")"
  ;;
cancel)
  bench pair 3 10
  start_sim --idle-exit 3000 --max-time 300000
  start_updater
  drive wait-window 60000 \
    wait-text 1002 "Connection to target established (Tidewell Handheld TW-200)" 30000 \
    key enter wait-text 1002 "Programming target" 60000 sleep 1000 \
    key enter sleep 1000 expect-text 1002 "Programming target" expect-text 1010 Cancel \
    key esc wait-gone 20000
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
broken-firmware)
  # The real program with a firmware file that fails to load: the box, and no
  # dialog even though a port is there.
  bench pair 3 10
  run "$build/tests/e2e/TidewellUpdaterBrokenFirmware.exe" >"$work/updater.log" 2>&1 &
  updater_pid=$!
  pids+=("$updater_pid")
  drive box Error "Data file not found!" 60000 no-window "$title" 2000
  wait_exit "$updater_pid" 20
  ;;
*)
  fail "unknown scenario"
  ;;
esac
echo "e2e $scenario: ok"
