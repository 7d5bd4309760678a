#!/usr/bin/env python3
"""Make firmware/tidewell_handheld.s19, a stand-in for the handheld's release build.

The real release firmware comes out of the handheld's own firmware build and is
not part of this repository. This writes an S-record file of the same shape (one
S0 header, S3 records of up to 16 data bytes, one S7 with the start address, two
areas of the release's sizes, CR LF line ends) so that the updater has something
realistic to carry, load and program. The content only looks like ARM firmware:
a vector table, instruction-like halfwords, literal pools, version strings and
erased-flash padding. Output is the same on every run.

usage: gen_firmware.py [OUT.s19]   (default: firmware/tidewell_handheld.s19)
"""
import os
import sys

START = 0x40080000
AREAS = [(0x40080000, 846_918), (0x4014EC48, 622_579)]
RECORD_BYTES = 16
HEADER_TEXT = b"Tidewell Handheld 4.0.0"

# The first program request carries 2 (command), the base address 00 00 08 40
# and the first 236 image bytes; its checksum must match the release's.
FIRST_REQUEST_BYTES = 236
FIRST_REQUEST_CHECKSUM = 0xA6

STRINGS = [
    b"Tidewell Handheld 4.0.0",
    b"Tidewell Handheld 4.0.0 (build 2217)",
    b"Copyright Tidewell Instruments",
    b"Boot loader handshake",
    b"Flash: erase sector %u",
    b"Flash: program error at 0x%08X",
    b"Battery low",
    b"Sensor calibration required",
    b"Measurement range exceeded",
    b"Self test passed",
    b"Self test failed: %s",
    b"Memory full",
    b"Data saved",
    b"Press OK to continue",
    b"Settings",
    b"Language",
    b"Contrast",
    b"Backlight",
    b"Auto power off",
    b"Date / Time",
    b"Units",
    b"Zero adjust",
    b"Hold",
    b"Min / Max",
    b"USB connected",
    b"Serial link %u baud",
    b"assert failed: %s:%d",
    b"HardFault",
    b"Watchdog reset",
]


class Rng:
    """xorshift32: small, fast and identical on every Python version."""

    def __init__(self, seed: int) -> None:
        self.state = seed & 0xFFFFFFFF or 1

    def next(self) -> int:
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def below(self, n: int) -> int:
        return self.next() % n


def vector_table(base: int, size: int) -> bytearray:
    """Initial stack pointer, reset and exception handlers, then interrupt handlers."""
    words = [0x10008000, base + 0x201]  # stack top in RAM, reset (Thumb bit set)
    handler = base + 0x2C1
    for slot in range(2, 16):
        if slot in (7, 8, 9, 10, 13):  # reserved slots; 7 is the vector checksum word
            words.append(0)
        else:
            words.append(handler)
            handler += 0x10
    for _ in range(16, 64):  # peripheral interrupts, most sharing a default handler
        words.append(handler)
        handler += 0x08
    out = bytearray()
    for w in words:
        out += w.to_bytes(4, "little")
    assert len(out) <= size
    return out


THUMB_OPS = [
    (0xB500, 0x00FF),  # push {.., lr}
    (0xBD00, 0x00FF),  # pop {.., pc}
    (0x4770, 0x0000),  # bx lr
    (0x2000, 0x07FF),  # movs rN, #imm
    (0x2800, 0x07FF),  # cmp rN, #imm
    (0x3000, 0x07FF),  # adds rN, #imm
    (0x4800, 0x07FF),  # ldr rN, [pc, #imm]
    (0x6800, 0x07FF),  # ldr rN, [rM, #imm]
    (0x6000, 0x07FF),  # str rN, [rM, #imm]
    (0x7800, 0x07FF),  # ldrb
    (0x7000, 0x07FF),  # strb
    (0x1C00, 0x01FF),  # adds rd, rn, #imm3
    (0x4600, 0x00FF),  # mov
    (0xD000, 0x0DFF),  # b<cond>
    (0xE000, 0x07FF),  # b
    (0x4000, 0x03FF),  # alu ops
    (0x0000, 0x07FF),  # lsls
    (0x0800, 0x07FF),  # lsrs
    (0xB080, 0x007F),  # sub sp
    (0xB000, 0x007F),  # add sp
    (0x9800, 0x07FF),  # ldr rN, [sp, #imm]
    (0x9000, 0x07FF),  # str rN, [sp, #imm]
]


def code_block(rng: Rng, addr: int, base: int, size: int, length: int) -> bytearray:
    """One function: prologue, instruction-like halfwords with BL pairs, epilogue, literal pool."""
    out = bytearray()
    out += (0xB500 | (0xF0 >> rng.below(4) & 0xF0)).to_bytes(2, "little")
    body = max(2, length // 2 - 2)
    pool = rng.below(4) + 1
    i = 0
    while i < body - 2 * pool:
        r = rng.below(16)
        if r == 0 and i + 2 < body - 2 * pool:  # bl to somewhere in the image
            off = (rng.below(0x40000) - 0x20000) & 0x3FFFFF
            out += (0xF000 | (off >> 11 & 0x7FF)).to_bytes(2, "little")
            out += (0xF800 | (off & 0x7FF)).to_bytes(2, "little")
            i += 2
            continue
        op, mask = THUMB_OPS[rng.below(len(THUMB_OPS))]
        out += (op | (rng.next() & mask)).to_bytes(2, "little")
        i += 1
    out += (0xBD00 | (0xF0 >> rng.below(4) & 0xF0)).to_bytes(2, "little")
    if len(out) % 4:
        out += b"\x00\xbf"  # nop to align the pool
    for _ in range(pool):
        if rng.below(3):
            lit = base + (rng.below(size) & ~3)
        else:
            lit = 0x40000000 | (rng.below(0x40) << 14) | (rng.below(0x400) << 2)  # peripheral
        out += lit.to_bytes(4, "little")
    return out


def fill_area(rng: Rng, base: int, size: int, code_share: int) -> bytearray:
    """Functions, strings and erased padding until the area is full; code_share of 10 blocks is code."""
    out = bytearray()
    strings_left = list(STRINGS)
    while len(out) < size:
        addr = base + len(out)
        kind = rng.below(10)
        if kind < code_share:
            out += code_block(rng, addr, base, size, 16 + rng.below(600))
        elif kind < 9:
            s = strings_left.pop(0) if strings_left else STRINGS[rng.below(len(STRINGS))]
            out += s + b"\x00"
            while len(out) % 4:
                out += b"\x00"
        else:
            pad = 16 + rng.below(240)
            if rng.below(8) == 0:
                pad += 1024 + rng.below(3072)  # an erased gap between sections
            out += b"\xff" * pad
    return out[:size]


def build_image() -> list:
    area1_base, area1_size = AREAS[0]
    area1 = fill_area(Rng(0x7D3E11A5), area1_base, area1_size, 7)
    table = vector_table(area1_base, area1_size)
    area1[: len(table)] = table
    # Reset handler: load sp and the start-up routine from the literals behind it.
    area1[0x200:0x208] = bytes.fromhex("0148 8546 0148 0047")
    area1[0x208:0x20C] = (0x10008000).to_bytes(4, "little")
    area1[0x20C:0x210] = (area1_base + 0x1001).to_bytes(4, "little")
    area1[-8:] = b"\xff" * 8  # the image ends erased, as a linker pad would

    # Force the first program request's checksum through the low byte of the
    # reserved vector checksum word (slot 7), as a vendor tool would patch it.
    request_sum = 2 + 0x00 + 0x00 + 0x08 + 0x40
    slot = 7 * 4
    area1[slot] = 0
    partial = (request_sum + sum(area1[:FIRST_REQUEST_BYTES])) & 0xFF
    area1[slot] = (FIRST_REQUEST_CHECKSUM - partial) & 0xFF

    area2_base, area2_size = AREAS[1]
    area2 = fill_area(Rng(0x2C9B4F07), area2_base, area2_size, 4)
    return [(area1_base, bytes(area1)), (area2_base, bytes(area2))]


def srec_line(kind: str, addr_and_data: bytes) -> str:
    count = len(addr_and_data) + 1
    checksum = 0xFF - ((count + sum(addr_and_data)) & 0xFF)
    return "S%s%02X%s%02X\r\n" % (kind, count, addr_and_data.hex().upper(), checksum)


def main() -> int:
    here = os.path.dirname(os.path.abspath(__file__))
    dst = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "firmware", "tidewell_handheld.s19")

    areas = build_image()
    lines = [srec_line("0", b"\x00\x00" + HEADER_TEXT)]
    data_records = 0
    for base, data in areas:
        for off in range(0, len(data), RECORD_BYTES):
            lines.append(srec_line("3", (base + off).to_bytes(4, "big") + data[off : off + RECORD_BYTES]))
            data_records += 1
    lines.append(srec_line("7", START.to_bytes(4, "big")))
    text = "".join(lines)

    first = areas[0][1]
    checksum = (2 + 0x00 + 0x00 + 0x08 + 0x40 + sum(first[:FIRST_REQUEST_BYTES])) & 0xFF
    total = sum(len(d) for _, d in areas)
    last_addr = areas[-1][0] + len(areas[-1][1]) - 1
    assert [(b, len(d)) for b, d in areas] == AREAS
    assert checksum == FIRST_REQUEST_CHECKSUM, hex(checksum)
    assert data_records == 91_845, data_records
    assert len(lines) == 91_847
    assert total == 1_469_497 and last_addr == 0x401E6C3A

    with open(dst, "w", newline="") as f:
        f.write(text)

    print("wrote %s: %d characters, %d lines" % (dst, len(text), len(lines)))
    for base, data in areas:
        n = len(data)
        print(
            "  area 0x%08X..0x%08X: %d bytes in %d S3 records (last one %d bytes)"
            % (base, base + n - 1, n, -(-n // RECORD_BYTES), n % RECORD_BYTES or RECORD_BYTES)
        )
    print("  S3 records %d, total %d bytes, last byte at 0x%08X" % (data_records, total, last_addr))
    print("  start address 0x%08X, first program request checksum 0x%02X" % (START, checksum))
    return 0


if __name__ == "__main__":
    sys.exit(main())
