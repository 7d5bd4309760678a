#!/usr/bin/env python3
"""The built updater's version resource and manifest carry the project's
version, and its Comments the line that the firmware check prints for the
carried file.
  exe_identity_test.py UPDATER.exe VERSION NUMBERS FWCHECK FIRMWARE.s19
VERSION as the strings give it (three parts), NUMBERS as the fixed part and
the manifest do (four)."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import exe_identity  # noqa: E402


def main(exe, version, numbers, fwcheck, firmware):
    found = exe_identity.read_identity(exe)
    expected = {
        "FileVersion#": numbers,
        "ProductVersion#": numbers,
        "manifest": numbers,
        "FileVersion": version,
        "ProductVersion": version,
        "Comments": subprocess.run([fwcheck, firmware], check=True, capture_output=True,
                                   text=True).stdout.strip(),
    }
    faults = ["%s: %r, expected %r" % (k, found.get(k), v) for k, v in expected.items()
              if found.get(k) != v]
    for fault in faults:
        print(fault)
    print("%s: %d of %d as expected" % (exe, len(expected) - len(faults), len(expected)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
