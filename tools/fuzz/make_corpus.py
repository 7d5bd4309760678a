#!/usr/bin/env python3
"""Writes the small seed corpus of the three fuzz targets into corpus/<target>/:
well-formed S-records and frames, and one or more inputs per kind of error.
Run again after changing it; the files are committed."""
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def srec(rtype, address, data, address_bytes=None, count=None, fix_sum=0):
    width = {"1": 2, "2": 3, "3": 4}.get(rtype, 2) if address_bytes is None else address_bytes
    body = address.to_bytes(width, "big") + bytes(data)
    n = len(body) + 1 if count is None else count
    checksum = (0xFF - ((n + sum(body)) & 0xFF) + fix_sum) & 0xFF
    return "S%s%02X%s%02X" % (rtype, n, body.hex().upper(), checksum)


def reply(command, data=b"", control=0x80, length2=None, checksum=None, end=0x16):
    n = len(data)
    s = (control + command + sum(data)) & 0xFF if checksum is None else checksum
    return bytes([0x68, n, n if length2 is None else length2, 0x68, control, 0, command]) + \
        bytes(data) + bytes([s, end])


def identify(status=0, value=0x01020304, text1=b"boot 2.1", text2=b"Tidewell H4",
             ranges=(0x00010000, 0x00020000), long_form=None, len1=None, len2=None):
    p = bytes([status]) + value.to_bytes(4, "little")
    p += bytes([len(text1) if len1 is None else len1]) + text1
    p += bytes([len(text2) if len2 is None else len2]) + text2
    p += ranges[0].to_bytes(4, "little") + ranges[1].to_bytes(4, "little")
    if long_form:
        p += long_form[0].to_bytes(4, "little") + long_form[1].to_bytes(4, "little")
    return p


ACK = b"\x90"


def srec_corpus():
    ok = [srec("0", 0, b"HDR"), srec("1", 0x1000, range(16)), srec("1", 0x1010, range(16, 32)),
          srec("2", 0x012000, b"\xAA" * 8), srec("3", 0x40081000, b"\x55" * 16),
          srec("5", 0, b"\x00\x05"), srec("9", 0, b"")]
    lines = {
        "valid_crlf": "\r\n".join(ok) + "\r\n",
        "valid_lf_no_end": "\n".join(ok),
        "valid_lfcr_lower": "\n\r".join(r.lower() for r in ok) + "\n\r",
        "valid_cr_ctrlz": "\r".join(ok) + "\r\x1aS1garbage",
        "valid_s000": "S000\nS9030000FC",
        "err_blank_line": ok[1] + "\r\n\r\n" + ok[2],
        "err_not_s": "X" + ok[1][1:],
        "err_type_control": "S\x01" + ok[1][2:],
        "err_hex": ok[1][:9] + "G" + ok[1][10:],
        "err_truncated": ok[1] + "\n" + ok[2][:12],
        "err_checksum": ok[1] + "\n" + ok[2] + "\n" + srec("1", 0x2000, b"\x01\x02", fix_sum=1),
        "err_overlap": ok[1] + "\n" + ok[2] + "\n" + srec("1", 0x101F, b"\x00\x00"),
        "err_overlap_first": ok[1] + "\n" + srec("1", 0x0FF0, range(17)),
        "err_line_end": ok[1] + " \n",
        "err_too_short": srec("1", 0x1234, b"") + "\n",
        "err_too_short_s3": "S30400000000FB",
        "err_top_address": srec("3", 0xFFFFFFF8, range(8)),
        "wrap_range_holes": "\n".join([srec("3", 0xFFFFFF00, range(16)),
                                       srec("1", 0x0000, range(4)),
                                       srec("1", 0x0100, range(4))]),
    }
    # The first byte picks the error buffer's size: 0 gives 255, others cut the text.
    out = {}
    for i, (name, text) in enumerate(sorted(lines.items())):
        out[name] = bytes([0]) + text.encode("latin-1")
        if name.startswith("err_"):
            out[name + "_small"] = bytes([(i % 12) + 1 | 0x10]) + text.encode("latin-1")
    return out


def frame_corpus():
    # op: 0 receive, 1 rest, 2 acknowledge, 3 exchange, 4 command; +5 drops the length output
    good = reply(4)
    data = reply(0, identify())
    return {
        "receive_empty": bytes([0, 0, 0]) + good,
        "receive_payload": bytes([0, 0, 0]) + data + reply(5, b"\x00\x34\x12"),
        "receive_no_length": bytes([5, 0, 0]) + data,
        "receive_bad_start": bytes([0, 0, 0]) + b"\x69" + good[1:] + good,
        "receive_bad_control": bytes([0, 0, 0]) + reply(4, b"\x01", control=0x81) + good,
        "receive_unequal_lengths": bytes([0, 0, 0]) + reply(4, b"\x01" * 5, length2=6) + good,
        "receive_bad_checksum": bytes([0, 0, 0]) + reply(4, b"\x01\x02", checksum=0) + good,
        "receive_bad_end": bytes([0, 0, 0]) + reply(4, end=0x17),
        "receive_truncated": bytes([0, 0, 0]) + data[:20],
        "receive_longest": bytes([0, 0, 0]) + reply(4, bytes(range(255))),
        "rest": bytes([1, 0, 0]) + reply(4, b"\x01\x02")[1:] + good[1:],
        "ack": bytes([2, 0, 0]) + ACK + ACK,
        "ack_after_frame": bytes([2, 0, 0]) + reply(1) + ACK,
        "ack_two_frames": bytes([2, 0, 0]) + reply(1) + reply(2, b"\x00" * 8) + ACK,
        "exchange": bytes([3, 0, 0]) + data,
        "exchange_retry": bytes([3, 3, 0]) + b"\x00" * 7 + reply(0, b"", control=0) + data,
        "command": bytes([4, 8, 5]) + ACK,
        "command_refused": bytes([4, 255, 2]) + reply(2, b"\x01" * 8) * 2 + ACK,
        "command_silent": bytes([4, 0, 3]),
    }


def replies_corpus():
    # job: 0 identify, 1 clear, 2 blank check, 3 get CRC
    # flags: 1 second CRC range, 2 start connected, 4..12 baud rate choice
    def ident(payload, command=0):
        return reply(command, payload)

    long_text = bytes(range(32, 32 + 120))
    return {
        "identify_short": bytes([0, 0]) + ident(identify()),
        "identify_long": bytes([0, 0]) + ident(identify(long_form=(0x00080000, 0x100))),
        "identify_status": bytes([0, 2]) + ident(identify(status=3)),
        "identify_long_texts": bytes([0, 0]) + ident(identify(text1=long_text, text2=long_text[:101])),
        "identify_past_end": bytes([0, 2]) + ident(identify(len1=40)),
        "identify_empty": bytes([0, 2]) + ident(b""),
        "identify_lost": bytes([0, 6]) + ident(identify()) + b"\x00" * 30 + ident(identify()),
        "identify_slow": bytes([0, 8]) + reply(0, identify(), checksum=1) + ident(identify()),
        "clear_blank": bytes([1, 2]) + ACK + reply(4),
        "clear_error": bytes([1, 2]) + ACK + reply(4, bytes.fromhex("0010084000000000")),
        "clear_wrong_code": bytes([1, 2]) + ACK + reply(1),
        "clear_short_reply": bytes([1, 2]) + ACK + reply(4, b"\x01\x02\x03"),
        "clear_no_ack": bytes([1, 2]) + reply(1) + reply(1) + b"\x00",
        "blank_blank": bytes([2, 2]) + ACK + reply(4),
        "blank_error": bytes([2, 2]) + reply(4, b"\x00" * 8) + ACK + reply(4, b"\xff" * 8),
        "crc_one_range": bytes([3, 2]) + ACK + reply(5, b"\x00") + ACK + reply(5, b"\x00\x34\x12"),
        "crc_two_ranges": bytes([3, 3]) + ACK + reply(5) + ACK + reply(5) + ACK +
        reply(5, b"\x00\xcd\xab"),
        "crc_wrong_code": bytes([3, 2]) + ACK + reply(5) + ACK + reply(4, b"\x00\x34\x12"),
        "crc_short": bytes([3, 2]) + ACK + reply(5) + ACK + reply(5, b"\x00\x34"),
        "crc_no_ack": bytes([3, 3]) + ACK + reply(5) + b"\x00",
    }


def main():
    root = os.path.join(HERE, "corpus") if len(sys.argv) < 2 else sys.argv[1]
    for target, files in (("fuzz_srec", srec_corpus()), ("fuzz_frame", frame_corpus()),
                          ("fuzz_replies", replies_corpus())):
        folder = os.path.join(root, target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, content in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content)


if __name__ == "__main__":
    main()
