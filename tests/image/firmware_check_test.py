#!/usr/bin/env python3
"""The build's firmware check on the carried file and on broken copies of it,
as a release's file can come: the good file passes with its identity, and each
broken copy fails with the copy's name and the loader's message and line, and
leaves no identity header behind.
  firmware_check_test.py FWCHECK FIRMWARE.s19 WORK_DIR"""
import os
import subprocess
import sys

# The carried file's figures, as the handheld counts them; its CRC as srec_cat
# gives it over the two areas.
FIGURES = " - 1469497 bytes in 2 areas 0x40080000+846918, 0x4014EC48+622579 - CRC-16 0x7F80"


def main(fwcheck, firmware, work):
    os.makedirs(work, exist_ok=True)
    header = os.path.join(work, "identity.h")
    with open(firmware, "rb") as f:
        lines = f.read().split(b"\r\n")
    faults = []

    def check(name, text, code, out, err):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(text)
        with open(header, "w") as f:
            f.write("left from an earlier file\n")
        run = subprocess.run([fwcheck, path, header], capture_output=True, text=True)
        got = (run.returncode != 0, run.stdout.strip(), run.stderr.strip().replace(path, "FILE"))
        if got != (code != 0, out, err):
            faults.append("%s: %r, expected %r" % (name, got, (code != 0, out, err)))
        if os.path.exists(header) != (code == 0):
            faults.append("%s: identity header %s" % (name, "missing" if code == 0 else "left"))
        elif code == 0 and out not in open(header).read():
            faults.append("%s: identity header without the line" % name)

    s0_text = bytes.fromhex(lines[0][8:-2].decode()).decode()
    check("good.s19", b"\r\n".join(lines), 0, "Firmware: " + s0_text + FIGURES, "")

    # The last digit of line 5000's checksum.
    bad = list(lines)
    bad[4999] = bad[4999][:-1] + (b"0" if bad[4999][-1:] != b"0" else b"1")
    check("checksum.s19", b"\r\n".join(bad), 1, "", "FILE: Error in line 5000: Checksum error !")

    # Line 2's record again as line 3.
    bad = lines[:2] + lines[1:]
    check("overlap.s19", b"\r\n".join(bad), 1, "", "FILE: Error in line 3: Areas overlap")

    # A blank line at the end, which some editors add.
    check("blank.s19", b"\r\n".join(lines) + b"\r\n", 1, "",
          "FILE: Error in line %d: Unexpected character" % len(lines))

    # Records that the loader accepts, but nothing for the handheld.
    check("empty.s19", lines[0] + b"\r\n", 1, "", "FILE: no data records")

    # Cut short where the loader stops without a word: an end mark before the
    # end, or no termination record. An end mark at the very end is fine.
    good = "Firmware: " + s0_text + FIGURES
    cut_short = [
        ("ctrl-z.s19", lines[:45923] + [b"\x1a" + lines[45923]] + lines[45924:],
         "FILE: Error in line 45924: Ctrl-Z before the end of the file"),
        ("nul.s19", lines[:100] + [b"\x00"] + lines[100:],
         "FILE: Error in line 101: NUL before the end of the file"),
        ("cut.s19", lines[:45923] + [b""],
         "FILE: Error in line 45923: Last record is S3, not a termination record (S7, S8 or S9)"),
        ("ctrl-z-end.s19", lines[:-1] + [b"\x1a", b"", b""], ""),
    ]
    for name, cut_lines, err in cut_short:
        check(name, b"\r\n".join(cut_lines), 1 if err else 0, "" if err else good, err)

    for fault in faults:
        print(fault)
    print("firmware check: %d faults" % len(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
