#!/usr/bin/env bash
# The serial side of the test bench: pty pairs (a virtual null-modem cable made
# with socat) mapped to COM ports of the Wine prefix in $WINEPREFIX.
#   bench.sh pair A B        COMA and COMB become the two ends of one cable
#   bench.sh unplug A B      the cable's ptys vanish (an unplugged adapter)
#   bench.sh busy N          COMN exists but cannot be opened (held elsewhere)
#   bench.sh unmap N         COMN is not mapped
#   bench.sh reset           no cables, no mappings
#   bench.sh block-auto-ports   block the ports Wine made for /dev/ttyS* etc.
#   bench.sh server-running  exit 0 when this prefix's wineserver runs
# With --done FILE last, the outcome ("ok" or "fail: why") is written to FILE
# once the command has finished: Wine gives a program no way to wait for a
# Unix process, so tests poll for that file.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
bench_dir="${TW_BENCH_DIR:-$WINEPREFIX/../testbench}"
dos="$WINEPREFIX/dosdevices"
mkdir -p "$bench_dir"

done_file=""
args=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--done" ]; then done_file="$2"; shift 2; else args+=("$1"); shift; fi
done
set -- "${args[@]}"

finish() {
  local rc=$1 msg=$2
  if [ -n "$done_file" ]; then
    printf '%s\n' "$msg" >"$done_file.tmp" && mv "$done_file.tmp" "$done_file"
  elif [ "$rc" -ne 0 ]; then
    echo "bench.sh: $msg" >&2
  fi
  exit "$rc"
}

port() { echo "$dos/com$1"; }

unmap() {
  rm -rf "$(port "$1")"
}

stop_pair() {
  local pidfile="$bench_dir/pair-$1-$2.pid"
  if [ -f "$pidfile" ]; then
    kill "$(cat "$pidfile")" 2>/dev/null
    rm -f "$pidfile"
  fi
}

cmd="${1:-}"
case "$cmd" in
  pair)
    a=$2 b=$3
    stop_pair "$a" "$b"
    unmap "$a"; unmap "$b"
    rm -f "$bench_dir/pty-$a" "$bench_dir/pty-$b"
    setsid socat pty,raw,echo=0,link="$bench_dir/pty-$a" pty,raw,echo=0,link="$bench_dir/pty-$b" \
      </dev/null >"$bench_dir/socat-$a-$b.log" 2>&1 &
    echo $! >"$bench_dir/pair-$a-$b.pid"
    for _ in $(seq 1 200); do
      [ -L "$bench_dir/pty-$a" ] && [ -L "$bench_dir/pty-$b" ] && break
      sleep 0.01
    done
    [ -L "$bench_dir/pty-$a" ] && [ -L "$bench_dir/pty-$b" ] || finish 1 "fail: socat made no ptys"
    ln -sfn "$(readlink -f "$bench_dir/pty-$a")" "$(port "$a")"
    ln -sfn "$(readlink -f "$bench_dir/pty-$b")" "$(port "$b")"
    finish 0 ok
    ;;
  unplug)
    stop_pair "$2" "$3"
    # Give socat time to go, so the ptys are gone when the caller goes on.
    for _ in $(seq 1 100); do
      [ -e "$(readlink -f "$(port "$2")")" ] || break
      sleep 0.01
    done
    finish 0 ok
    ;;
  busy)
    unmap "$2"
    mkdir -p "$(port "$2")"
    finish 0 ok
    ;;
  unmap)
    unmap "$2"
    finish 0 ok
    ;;
  reset)
    for pidfile in "$bench_dir"/pair-*.pid; do
      [ -f "$pidfile" ] || continue
      kill "$(cat "$pidfile")" 2>/dev/null
      rm -f "$pidfile"
    done
    rm -rf "$dos"/com*
    # Wine's own ports stay open-able after their link goes; block them again.
    [ -f "$bench_dir/auto-ports" ] && while read -r n; do mkdir -p "$(port "$n")"; done <"$bench_dir/auto-ports"
    finish 0 ok
    ;;
  block-auto-ports)
    for link in "$dos"/com*; do
      [ -L "$link" ] || continue
      case "$(readlink "$link")" in
        /dev/ttyS*|/dev/ttyUSB*|/dev/ttyACM*)
          rm -f "$link"; mkdir -p "$link"
          echo "${link##*/com}" >>"$bench_dir/auto-ports" ;;
      esac
    done
    finish 0 ok
    ;;
  server-running)
    # The server works in a folder named after the prefix's device and inode.
    want="server-$(printf '%x-%x' $(stat -L -c '%d %i' "$WINEPREFIX"))"
    for pid in $(pgrep -x wineserver; pgrep -x wineserver64); do
      [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$want" ] && exit 0
    done
    exit 1
    ;;
  *)
    finish 2 "fail: unknown command '$cmd'"
    ;;
esac
