#!/usr/bin/env python3
"""Prints what a built updater says about itself: its version resource (the
numbers and the strings, among them Comments with the carried firmware's
identity) and its manifest's version. Reads the file; runs nothing.

  exe_identity.py build/mingw/app/TidewellUpdater.exe"""
import re
import struct
import sys

RT_VERSION = 16
RT_MANIFEST = 24
RESOURCE_DIRECTORY = 2  # index among the optional header's data directories
SUBDIRECTORY = 0x80000000


class PeFile:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        self.resource_rva = struct.unpack_from("<I", data, directories + 8 * RESOURCE_DIRECTORY)[0]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address 0x%X outside the sections" % rva)

    def resources(self, kind):
        """The data of every resource of one type, in any name and language."""
        base = self.offset(self.resource_rva)

        def entries(at):
            named, numbered = struct.unpack_from("<12xHH", self.data, base + at)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)

        def leaves(at):
            for _, target in entries(at):
                if target & SUBDIRECTORY:
                    yield from leaves(target & ~SUBDIRECTORY)
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    yield self.data[self.offset(rva):self.offset(rva) + size]

        for ident, target in entries(0):
            if ident == kind and target & SUBDIRECTORY:
                yield from leaves(target & ~SUBDIRECTORY)


def version_blocks(data, at=0, end=None):
    """The VS_VERSIONINFO tree as (key, value bytes, is text, children)."""
    end = len(data) if end is None else end
    while at + 6 <= end:
        length, value_length, text = struct.unpack_from("<HHH", data, at)
        if length == 0:
            break
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if text else value_length
        children_at = (value_at + value_size + 3) & ~3
        yield key, data[value_at:value_at + value_size], text, list(
            version_blocks(data, children_at, at + length))
        at = (at + length + 3) & ~3


def read_identity(path):
    """{"FileVersion#": "a.b.c.d", "ProductVersion#": ..., the strings..., "manifest": ...}"""
    with open(path, "rb") as f:
        pe = PeFile(f.read())
    found = {}
    for resource in pe.resources(RT_VERSION):
        for _, value, _, children in version_blocks(resource):
            ms, ls, product_ms, product_ls = struct.unpack_from("<8xIIII", value)
            for name, high, low in (("FileVersion#", ms, ls), ("ProductVersion#", product_ms, product_ls)):
                found[name] = "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
            for key, _, _, tables in children:
                if key != "StringFileInfo":
                    continue
                for _, _, _, strings in tables:
                    for name, text, _, _ in strings:
                        found[name] = text.decode("utf-16-le").rstrip("\0")
    for manifest in pe.resources(RT_MANIFEST):
        match = re.search(rb'<assemblyIdentity[^>]*?version="([^"]*)"', manifest)
        if match:
            found["manifest"] = match.group(1).decode()
    return found


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    identity = read_identity(argv[1])
    print("File version:     %s (%s)" % (identity.get("FileVersion"), identity.get("FileVersion#")))
    print("Product version:  %s (%s)" % (identity.get("ProductVersion"), identity.get("ProductVersion#")))
    print("Manifest version: %s" % identity.get("manifest"))
    print("Comments:         %s" % identity.get("Comments"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
