#!/usr/bin/env python3
"""The updater's main job against the simulated handheld, reported in the terminal.

  run_update.py --build BUILD_DIR       update the simulated handheld
  run_update.py --check-flash FLASH.s19 compare a flash dump with the carried firmware

The simulated handheld (tidewell_sim.exe) and the real TidewellUpdater.exe run
under Wine in the build's own prefix, on the two ends of a virtual null-modem
cable (COM3 for the updater, COM10 for the handheld). The updater's window is
driven through tw_uidriver.exe, on this display or on a private Xvfb
(tools/testbench/xvfb.sh)."""
import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIRMWARE = os.path.join(ROOT, "firmware", "tidewell_handheld.s19")
# The ranges that the simulated handheld declares and checks, as the real one does.
CRC_RANGES = [(0x40080000, 846918), (0x4014EC48, 622579)]
SUCCESS_TEXT = "Target updated successfully"
# How long after the update the success text is checked again.
RESULT_KEPT_MS = 2000


def read_srec(path):
    """Data bytes of S1/S2/S3 records as {address: byte}; checks every checksum."""
    data = {}
    with open(path) as f:
        for n, line in enumerate(f, 1):
            line = line.strip()
            if not line or line[1] not in "123":
                continue
            raw = bytes.fromhex(line[2:])
            if (sum(raw[:-1]) + raw[-1]) & 0xFF != 0xFF:
                raise ValueError(f"{path}:{n}: bad checksum")
            width = int(line[1]) + 1
            address = int.from_bytes(raw[1:1 + width], "big")
            for i, b in enumerate(raw[1 + width:-1]):
                data[address + i] = b
    return data


def crc16(memory, ranges):
    """CRC-16, polynomial 0x1021, bytes shifted in directly, register from 0xFFFF;
    erased flash reads 0xFF."""
    table = []
    for i in range(256):
        r = i << 8
        for _ in range(8):
            r = ((r << 1) ^ 0x1021) if r & 0x8000 else (r << 1)
        table.append(r & 0xFFFF)
    reg = 0xFFFF
    for start, length in ranges:
        for a in range(start, start + length):
            reg = (((reg << 8) & 0xFFFF) | memory.get(a, 0xFF)) ^ table[reg >> 8]
    return reg


def check_flash(flash_path, firmware_path=FIRMWARE):
    """(ok, text): does the flash hold exactly the firmware's bytes, 0xFF elsewhere?"""
    firmware = read_srec(firmware_path)
    flash = read_srec(flash_path)
    wrong = [a for a, b in firmware.items() if flash.get(a, 0xFF) != b]
    extra = [a for a, b in flash.items() if a not in firmware and b != 0xFF]
    crc = crc16(flash, CRC_RANGES)
    if wrong or extra:
        first = min(wrong + extra)
        return False, (f"flash differs from the firmware: {len(wrong)} bytes wrong, "
                       f"{len(extra)} written outside it, first at 0x{first:08X}")
    return True, (f"flash equals the firmware: {len(firmware):,} bytes, "
                  f"CRC-16 0x{crc:04X}")


def winpath(path):
    return "Z:" + path.replace("/", "\\")


class Session:
    """The background programs of one run, ended on exit whatever happens."""

    def __init__(self, build):
        self.build = build
        self.work = os.path.join(build, "run")
        os.makedirs(self.work, exist_ok=True)
        self.env = dict(os.environ)
        self.env["WINEPREFIX"] = os.path.join(build, "wineprefix")
        self.env["TW_BENCH_DIR"] = os.path.join(build, "testbench")
        self.procs = []

    def private_display(self):
        """Whether the display is our own (tools/testbench/xvfb.sh started it)."""
        return self.env.get("TW_PRIVATE_DISPLAY") == "1"

    def display(self):
        kind = "private Xvfb on" if self.private_display() else "display"
        return f"{kind} {self.env['DISPLAY']}"

    def wine(self, *args, **kw):
        cmd = [os.path.join(ROOT, "tools", "testbench", "wine-run.sh"), self.build, *args]
        return subprocess.run(cmd, env=self.env, capture_output=True, text=True, **kw)

    def wine_bg(self, log, *args):
        cmd = [os.path.join(ROOT, "tools", "testbench", "wine-run.sh"), self.build, *args]
        proc = subprocess.Popen(cmd, env=self.env, stdin=subprocess.DEVNULL,
                                stdout=open(os.path.join(self.work, log), "w"),
                                stderr=subprocess.STDOUT, start_new_session=True)
        self.procs.append(proc)
        return proc

    def bench(self, *args):
        subprocess.run([os.path.join(ROOT, "tools", "testbench", "bench.sh"), *args],
                       env=self.env, check=True)

    def drive(self, *args, timeout=None):
        return self.wine(os.path.join(self.build, "tools", "uidriver", "tw_uidriver.exe"),
                         *args, timeout=timeout)

    def cleanup(self):
        for proc in self.procs:
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for proc in self.procs:
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
        subprocess.run([os.path.join(ROOT, "tools", "testbench", "bench.sh"), "reset"],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-k"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def say(text):
    print(text, flush=True)


def start_and_follow(session, timeout_s):
    """Presses Start and reports the run as the driver watches it; returns the
    final status text ("" when the status line is hidden)."""
    proc = subprocess.Popen(
        [os.path.join(ROOT, "tools", "testbench", "wine-run.sh"), session.build,
         os.path.join(session.build, "tools", "uidriver", "tw_uidriver.exe"),
         "click", "1001", "watch", str(timeout_s * 1000)],
        env=session.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        start_new_session=True)
    session.procs.append(proc)
    line_re = re.compile(r'\s*([\d.]+) status (\w+) "(.*)" button "(.*)" progress (-?\d+)/(-?\d+)')
    status = ""
    shown = "hidden"
    for line in proc.stdout:
        m = line_re.match(line)
        if not m:
            say("  " + line.rstrip())
            continue
        t, shown, status, button, pos, high = m.groups()
        pos, high = int(pos), int(high)
        percent = f"{100 * pos // high:3d}%" if high > 0 and pos >= 0 else "   -"
        text = status if shown == "shown" else "(status line hidden)"
        say(f"  {float(t):6.1f} s  {percent}  {pos:>6}/{high:<6} {text}  [{button}]")
    if proc.wait() != 0:
        raise RuntimeError("the update did not finish in time")
    return status if shown == "shown" else ""


def run(build, timeout_s, sim_args=()):
    build = os.path.abspath(build)
    s = Session(build)
    flash = os.path.join(s.work, "flash.s19")
    summary = os.path.join(s.work, "sim.txt")
    for f in (flash, summary):
        if os.path.exists(f):
            os.remove(f)
    try:
        say(f"Display: {s.display()}")
        say("Preparing the Wine prefix and the virtual cable COM3 <-> COM10 ...")
        s.drive("sleep", "0")  # makes the prefix and starts its server
        s.bench("reset")
        s.bench("pair", "3", "10")
        # Like a real handheld, it stops answering once its application starts.
        sim = s.wine_bg("sim.log", os.path.join(build, "tools", "sim", "tidewell_sim.exe"),
                        "--port", "COM10", "--silent-after-start", "--exit-on-start",
                        "--max-time", str(timeout_s * 1000),
                        "--summary", winpath(summary), "--flash", winpath(flash), *sim_args)
        updater = s.wine_bg("updater.log", os.path.join(build, "app", "TidewellUpdater.exe"))
        r = s.drive("wait-window", "60000", "text", "0",
                    "wait-prefix", "1002", "Connection to target established", "60000",
                    "text", "1002", "ports")
        if r.returncode != 0:
            raise RuntimeError("updater window: " + r.stderr.strip())
        caption, connection, *ports = r.stdout.strip().splitlines()
        say(f"Updater window: {caption}; ports: {', '.join(p.strip() for p in ports)}")
        say(f"Status: {connection}")
        say("Pressing Start ...")
        if s.private_display():
            # On our own display the mouse moves over the window, as a hand
            # would; each move wakes the updater's loop. Never on the user's.
            s.wine_bg("wiggle.log", os.path.join(build, "tools", "uidriver", "tw_uidriver.exe"),
                      "wiggle", str((timeout_s + 60) * 1000))
        final = start_and_follow(s, timeout_s)
        say(f"Final status: {final or '(status line hidden)'}")
        # The handheld has gone quiet; the result must stay until Ok.
        kept = s.drive("sleep", str(RESULT_KEPT_MS), "expect-visible", "1002", "1",
                       "expect-text", "1002", SUCCESS_TEXT).returncode == 0
        if final == SUCCESS_TEXT:
            say(f"Status {RESULT_KEPT_MS / 1000:.0f} s later: "
                + ("unchanged" if kept else "FAILED: the success text has gone"))
        try:
            sim.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
        with open(os.path.join(s.work, "sim.log")) as f:
            for line in f:
                if line.startswith(("requests", "bad frames", "bytes")):
                    say("Simulated handheld: " + line.strip())
        ok = final == SUCCESS_TEXT and kept
        if os.path.exists(flash):
            flash_ok, text = check_flash(flash)
            say(("OK: " if flash_ok else "FAILED: ") + text)
            ok = ok and flash_ok
        else:
            say("FAILED: the simulated handheld wrote no flash file")
            ok = False
        s.drive("click", "1010", "wait-gone", "20000")
        try:
            updater.wait(timeout=20)
        except subprocess.TimeoutExpired:
            say("FAILED: the updater did not end on Ok")
            ok = False
        say("Update succeeded." if ok else "Update FAILED.")
        return 0 if ok else 1
    except (RuntimeError, subprocess.CalledProcessError) as e:
        say(f"FAILED: {e}")
        return 1
    finally:
        s.cleanup()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="build folder holding the programs")
    parser.add_argument("--check-flash", metavar="FLASH", help="compare a flash dump only")
    parser.add_argument("--timeout", type=int, default=600, help="seconds for the update")
    parser.add_argument("--sim-arg", action="append", default=[], metavar="ARG",
                        help="one more argument for the simulated handheld, e.g. its line "
                             "noise: --sim-arg=--banner-at-reset --sim-arg=40")
    args = parser.parse_args()
    if args.check_flash:
        ok, text = check_flash(args.check_flash)
        print(text)
        return 0 if ok else 1
    if not args.build:
        parser.error("--build is needed")
    if not os.environ.get("DISPLAY"):
        # The test bench's one way to a private display; it ends with us.
        xvfb = os.path.join(ROOT, "tools", "testbench", "xvfb.sh")
        os.execv(xvfb, [xvfb, sys.executable, os.path.abspath(__file__), *sys.argv[1:]])
    # Ending by a signal still cleans up (the run's finally clause).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(129))
    return run(args.build, args.timeout, args.sim_arg)


if __name__ == "__main__":
    sys.exit(main())
