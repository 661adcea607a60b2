#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/: a few small valid
and nearly valid inputs each, in the input formats the targets' headers describe.

Usage: fuzz/make-seeds.py   (rewrites the seeds; files found by the fuzzers are left alone)
Needs: python3. Exit status: 0.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

LINK, FORMAT, BURN, READ, WRITE, VERSION = 0x10, 0x11, 0x12, 0x14, 0x18, 0x1C


def checked(report7):
    x = 0
    for b in report7:
        x ^= b
    return bytes(report7) + bytes([x])


def command(code, address=0, data=(0, 0, 0, 0)):
    return checked([code, address & 0xFF, address >> 8, *data])


VENDOR_DESCRIPTOR = bytes([
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x95, 0x08, 0x09, 0x02, 0x91, 0x02, 0xC0])
WITH_REPORT_IDS = bytes([
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
    0x85, 0x01, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02,
    0x85, 0x02, 0x95, 0x40, 0x09, 0x02, 0x91, 0x02,
    0x85, 0x03, 0x95, 0x04, 0x09, 0x03, 0xB1, 0x02, 0xC0])
PUSH_POP_LONG = bytes([
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xA4, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0xB4,
    0xFE, 0x02, 0x10, 0xAA, 0xBB, 0xA1, 0x00, 0x75, 0x08, 0x95, 0x06, 0x81, 0x00, 0xC0, 0xC0])

SEEDS = {
    "report_descriptor": {
        "vendor-8-8": VENDOR_DESCRIPTOR,
        "report-ids": WITH_REPORT_IDS,
        "push-pop-long-item": PUSH_POP_LONG,
        "truncated-item": VENDOR_DESCRIPTOR[:-3],
        "unclosed-collection": VENDOR_DESCRIPTOR[:-1],
    },
    "hid_reply": {
        "link": checked([LINK, 0, 0, 1, 0, 0xFC, 0]),
        "write-echo": command(WRITE, 0x1000, (1, 2, 3, 4)),
        "version": checked([VERSION, 0, 0, ord("1"), ord("."), ord("0"), ord("1")]),
        "short": command(WRITE)[:5],
        "unknown-code": checked([0x7F, 1, 2, 3, 4, 5, 6]) + b"\x00" * 56,
    },
    # [command][length][reply]: bits 0-2 of the command pick Link/Version/Format/Burn/Write.
    "vornex_reply": {
        "link-echo": bytes([0, 8]) + checked([LINK, 0, 0, 1, 0, 0xFC, 0]),
        "write-echo-then-short": bytes([4 | 8, 9]) + b"\x18\x04\x00\x12\x34\x56\x78\x00\x00"
        + bytes([4 | 8, 2]) + b"\x18\x04",
        "version-then-zero": bytes([1, 8]) + checked([VERSION, 0, 0, 0x31, 0x2E, 0x30, 0x31])
        + bytes([2, 8]) + bytes(8),
        "wrong-address": bytes([4 | 16, 8]) + command(WRITE, 4, (0x12, 0x34, 0x56, 0x78)),
    },
    # Steps: 0 Download, 1 Version, 2 Stop, 3 N wait, 4 LEN BYTES reply, 5 POS MASK echo,
    # 6 N device answers for N s, 7 unplug and back.
    "quenlor_reply": {
        "version": bytes([1, 3, 20, 5, 0, 0, 3, 20, 5, 0, 0]),
        "download-first-writes": bytes([0, 3, 20, 5, 0, 0, 5, 0, 0, 3, 100])
        + bytes([5, 0, 0]) * 4 + bytes([2, 5, 0, 0]),
        "download-bad-echo": bytes([0, 3, 20, 5, 0, 0, 5, 0, 0, 3, 100, 5, 0, 0, 5, 4, 1]),
        "download-unplugged": bytes([0, 3, 20, 5, 0, 0, 7, 5, 0, 0, 3, 100, 5, 0, 0]),
        "raw-replies": bytes([1, 3, 20, 4, 8]) + checked([VERSION, 0, 0, 0x31, 0, 0, 0])
        + bytes([4, 3, 0x1C, 0, 0]),
        "whole-download": bytes([0, 6, 30]),
    },
    # [mode][fail offset / 2, big-endian][bytes]: see ImageInput.h.
    "image_walks": {
        "whole-image": bytes([1, 0, 0]) + b"V1.01           " + bytes(range(64)),
        "short-raw": bytes([0, 0, 0]) + b"V1.01" + bytes(range(100)),
        "three-short": bytes([2 | (3 << 3), 0, 0]) + b"V1.01" + bytes([0xEE]) * 7,
        "five-long": bytes([3 | (5 << 3), 0, 0]) + b"V1.01" + bytes([0xEE]) * 7,
        "read-fails-late": bytes([1 | 4, 0x7F, 0xF0]) + b"V1.01" + bytes(range(32)),
    },
    # As image_walks; bit 0 of byte 1 makes a firmware-sized file.
    "image_tools": {
        "image": bytes([1, 0, 0]) + b"V1.01           " + bytes(range(64)),
        "image-wrong-version": bytes([1, 0, 0]) + b"V1.02" + bytes(range(16)),
        "firmware": bytes([1, 1, 0]) + b"V1.01           " + bytes(range(64)),
        "firmware-one-short": bytes([2 | (1 << 3), 1, 0]) + b"V1.01",
        "tiny": b"V1.01",
    },
    # argv[1..], split at NUL bytes.
    "cli_options": {
        "download-echo": b"download\0UPDATA.nuv\0--flow\0echo\0--verify",
        "pack": b"pack\0fw.bin\0-o\0out.nuv\0--filler=0x00\0--force",
        "sim-fault": b"--sim-fault\0wrong-address@0x1000+\0download\0x.nuv\0--sim-latency=5",
        "emulate": b"emulate\0--memory-out\0m.bin\0--sim-version\x001.01\0--ready-file=r",
        "help": b"help\0download",
        "conflict": b"inspect\0--json\0--quiet\0x.nuv",
    },
    "fault_text": {
        "nth": b"no-reply@#3",
        "late-repeat": b"late:4500@version+",
        "address": b"wrong-address@0x1000",
        "code": b"unplug@write",
        "no-delay": b"late@1",
        "address-too-big": b"duplicate@65536",
    },
    # A session record, or one JSON line of vornex-cli.
    "session_record": {
        "record": b'{"record":"nuv-update-session","version":1}\n'
        b'{"t_us":0,"event":"sent","report":"00101000000000000010"}\n'
        b'{"t_us":1200,"event":"received","report":"00101000000000000010"}\n'
        b'{"t_us":2500,"event":"send-failed","report":"0011","error":"write: \\"gone\\" \\u00e9"}\n'
        b'{"t_us":2600,"event":"gone"}\n',
        "json-line": b'{"schema":1,"event":"progress","text":"Time out  error\\n","done":4096,'
        b'"rate":1234.5,"ok":false,"serial":null}',
    },
    # [latency/faults][faults text\n][length][flags][report]...
    "emulator": {
        "session": bytes([0])
        + bytes([9, 0]) + b"\x00" + command(LINK)
        + bytes([9, 0]) + b"\x00" + command(FORMAT)
        + bytes([9, 0]) + b"\x00" + command(WRITE, 0x1000, (1, 2, 3, 4))
        + bytes([9, 0]) + b"\x00" + command(READ, 0x1000)
        + bytes([8, 1]) + command(BURN),
        "fixed-latency": bytes([1]) + (bytes([9, 2]) + b"\x00" + command(VERSION)) * 3
        + bytes([4, 0]) + b"\x00\x18\x00\x00",
        "usb-frames-unstripped": bytes([2]) + bytes([8, 6]) + command(WRITE, 0xFFFE, (9, 8, 7, 6))
        + bytes([8, 0]) + command(READ, 0xFFFE) + bytes([20, 0]) + bytes(range(20)),
        "faults": bytes([4]) + b"wrong-data@#2,duplicate@link+,short-report@version\n"
        + (bytes([9, 0]) + b"\x00" + command(LINK)) * 2 + bytes([9, 0]) + b"\x00" + command(VERSION),
        "unplug": bytes([4]) + b"unplug@format\n" + bytes([9, 0]) + b"\x00" + command(FORMAT),
    },
}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
