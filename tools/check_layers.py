#!/usr/bin/env python3
"""Fails when an include of the product runs up a layer.

The layers, lowest first: image and com (beside each other), target on both,
app on top; firmware is data that only app uses. A file may include its own
layer and the layers below it.
    check_layers.py SOURCE_ROOT
"""
import pathlib
import re
import sys

MAY_INCLUDE = {
    "image": {"image"},
    "com": {"com"},
    "firmware": {"firmware"},
    "target": {"target", "image", "com"},
    "app": {"app", "target", "image", "com", "firmware"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def main(root):
    root = pathlib.Path(root)
    faults = []
    for layer, allowed in MAY_INCLUDE.items():
        for path in sorted((root / layer).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".rc"):
                continue
            for folder in INCLUDE.findall(path.read_text(errors="replace")):
                if folder in MAY_INCLUDE and folder not in allowed:
                    faults.append(f"{path.relative_to(root)} includes {folder}/")
    for fault in faults:
        print("upward include:", fault)
    print(f"{len(faults)} upward includes")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
