#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/ from the edge cases of
each recogniser, the port list and the registry walk. The layouts are the
ones described at the top of each target's source. Run it after changing a
layout; the files it writes are the committed seeds."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

# --- recognisers ---
RAW_WINDOW, NO_DESTINATION, NO_LENGTH_CELL, RAW_TX_LENGTH = 1, 2, 4, 8


def window(data, command=b"", start=0, capacity=300, flags=0, count=0, tx_length=0,
           pattern=b""):
    return (bytes([flags]) + struct.pack("<iiii", start, count, tx_length, capacity)
            + bytes([len(command)]) + command + bytes([len(pattern)]) + pattern + data)


def filler(n, first=0x30):
    return bytes((first + i) % 256 for i in range(n))


def checksummed(body):
    return body + bytes([sum(body) % 256])


KELT = b"\x5a\xa5" + filler(10)
VX9 = b"\x00\x01\x02" + filler(10)

kelt3b = {
    "exact-frame": window(KELT, capacity=12),
    "two-frames-newest-wins": window(KELT + b"\x5a\xa5" + filler(10, 0x60)),
    "frame-then-incomplete": window(KELT + b"\x5a\xa5" + filler(5)),
    "eleven-bytes": window(KELT[:11]),
    "newest-byte-header": window(filler(20) + b"\x5a"),
    "too-small-destination": window(KELT, capacity=11),
    "no-destination": window(KELT, flags=NO_DESTINATION),
    "no-length-cell": window(KELT, flags=NO_LENGTH_CELL),
    "window-at-limit": window(KELT, start=2035),
    "raw-window-at-buffer-end": window(KELT[:8], start=2040, count=8, flags=RAW_WINDOW),
    "raw-window-past-buffer": window(KELT, start=2040, count=12, flags=RAW_WINDOW),
    "raw-negative-start": window(KELT, start=-1, count=12, flags=RAW_WINDOW),
    "raw-empty-window": window(KELT, start=5, count=0, flags=RAW_WINDOW),
    "header-pattern-outside": window(KELT[2:], start=100, pattern=b"\x5a\xa5"),
}

vx9 = {
    "exact-frame": window(VX9, capacity=13),
    "nine-further-bytes": window(VX9[:12]),
    "two-frames": window(VX9 + VX9),
    "garbage-first": window(filler(40, 0x80) + VX9),
    "too-small-destination": window(VX9, capacity=12),
    "window-at-limit": window(VX9, start=2034),
    "raw-window-past-buffer": window(VX9, start=2047, count=13, flags=RAW_WINDOW),
    "zeros-outside": window(b"\x01\x02" + filler(10), start=1, pattern=b"\x00"),
}

qtvv1 = {
    "prefixed-reply": window(b"\x12\x34" + filler(6), command=b"\x78\x12\x34\x05"),
    "prefixed-reply-incomplete": window(b"\x12\x34" + filler(5), command=b"\x78\x12\x34\x05"),
    "prefixed-reply-length-3": window(b"\x12\x34\x99", command=b"\x78\x12\x34\x00"),
    "prefixed-reply-258": window(b"\x12\x34" + filler(256), command=b"\x78\x12\x34\xff"),
    "prefixed-reply-too-large": window(b"\x12\x34" + filler(256), command=b"\x78\x12\x34\xff",
                                       capacity=257),
    "echo-reply": window(b"\x07\x01\x02\x03\x09", command=b"\xaa\x01\x02\x03"),
    "echo-reply-wrong-last": window(b"\x01\x02\x04", command=b"\xaa\x01\x02\x03"),
    "unchecked-reply-fresh-port": window(b"\x41\x42\x43\x44", command=b"\x00\x80\x00\x00"),
    "unchecked-reply-later-start": window(b"\x41\x42\x43", command=b"\x00\x80\x00\x00", start=700),
    "unrecognised-command": window(b"\x01\x02\x03\x04", command=b"\x01"),
    "unchecked-lookalike": window(b"\x01\x02\x03", command=b"\x00\x81\x00\x00"),
    "two-bytes": window(b"\x12\x34", command=b"\x78\x12\x34\x00"),
    "raw-tx-length": window(b"\x12\x34\x99", command=b"\x78\x12\x34\x00", flags=RAW_TX_LENGTH,
                            tx_length=-7),
}

A0 = b"\x80\x10\xf0\x01\xa0\x21"
E0_FRAME = checksummed(b"\x80\xf0\x10\x02\xe0\x55")  # checksum 0xB7
E1_FRAME = checksummed(b"\x80\xf0\x10\x02\xe1\x55")  # checksum 0xB8
A8_COMMAND = b"\x80\x10\xf0\x08\xa8" + filler(8)     # 13 bytes
B8_COMMAND = b"\x80\x10\xf0\x09\xb8" + filler(9)     # 14 bytes
qtvv2 = {
    "reply-to-a0": window(E0_FRAME, command=A0),
    "bad-checksum": window(E0_FRAME[:-1] + b"\xb8", command=A0),
    "wrong-reply-code": window(E1_FRAME, command=A0),
    "reply-to-other-code": window(E1_FRAME, command=b"\x80\x10\xf0\x01\x21\x00"),
    "a8-length-matches": window(checksummed(b"\x80\xf0\x10\x03\xe8\x11\x22"), command=A8_COMMAND),
    "a8-length-differs": window(checksummed(b"\x80\xf0\x10\x04\xe8\x11\x22\x33"),
                                command=A8_COMMAND),
    "b8-length-matches": window(checksummed(b"\x80\xf0\x10\x03\xf8\x11\x22"), command=B8_COMMAND),
    "five-byte-frame-at-end": window(checksummed(b"\x80\xf0\x10\x00"), command=b"\x00" * 5),
    "five-byte-frame-then-byte": window(checksummed(b"\x80\xf0\x10\x00") + b"\x00",
                                        command=b"\x00" * 5),
    "n-255-incomplete": window(b"\x80\xf0\x10\xff" + filler(200), command=b"\x00" * 5),
    "n-255-complete": window(checksummed(b"\x80\xf0\x10\xff" + filler(256)), command=b"\x00" * 5),
    "n-255-too-large": window(checksummed(b"\x80\xf0\x10\xff" + filler(256)),
                              command=b"\x00" * 5, capacity=259),
    "two-frames": window(E1_FRAME + E0_FRAME, command=A0),
    "raw-tx-length-min": window(checksummed(b"\x80\xf0\x10\x03\xe8\x11\x22"), command=A8_COMMAND,
                                flags=RAW_TX_LENGTH, tx_length=-2**31),
}

# --- port list formatting ---
NAME_FROM_INDEX = 1


def utf16(text):
    return text.encode("utf-16-le")


def descriptor(port, friendly):
    if isinstance(port, int):
        head = bytes([NAME_FROM_INDEX]) + struct.pack("<I", port)
    else:
        head = bytes([0, len(port)]) + utf16(port)
    return head + struct.pack("<H", len(friendly)) + utf16(friendly)


def listing(*ports, stale=0):
    return struct.pack("<i", stale) + b"".join(descriptor(p, f) for p, f in ports)


port_list_format = {
    "one-port": listing((1, "Serial port on COM1")),
    "no-friendly-name": listing((1, "")),
    "index-0-and-99999": listing((0, "first"), (99999, "longest name")),
    "index-too-large": listing((100000, "cut"), (2**32 - 1, "x" * 99)),
    "friendly-name-99": listing(("COM99999:", "f" * 99)),
    "friendly-name-100": listing(("COM1:", "f" * 100)),
    "friendly-name-300": listing(("COM12:", "\u00e9" * 300)),
    "long-port-name": listing(("COM123456789:", "n" * 150)),
    "empty-port-name-first": listing(("", "none"), (3, "after")),
    "embedded-terminator": listing(("COM1\0:", "Serial\0hidden")),
    "twenty-five-ports": listing(*[(i, f"Port {i}") for i in range(25)], stale=-5),
    "stale-count": listing((7, "seven"), stale=1000),
}

# --- registry walk ---
OTHER_PLATFORM, NO_BUILT_IN_KEY, BUILT_IN_OPEN_FAILS, ENUMERATION_END_FAILS = 1, 2, 4, 8
PREFIX, INDEX, FRIENDLY_NAME, OTHER_VALUE = 0, 1, 2, 3
LOWER_CASE_NAME, TEXT_DATA = 4, 8
REG_SZ, REG_BINARY, REG_DWORD = 1, 3, 4
FAIL_ENUM, FAIL_OPEN, FAIL_PREFIX, FAIL_INDEX, FAIL_FRIENDLY_NAME = 1, 2, 4, 8, 16
# Indexes into the target's table of statuses.
S_FILE_NOT_FOUND, S_ACCESS_DENIED, S_MORE_DATA, S_NO_MORE_ITEMS, S_CORRUPT = 0, 1, 5, 6, 7


def value(kind, data, type_=REG_SZ, text=True, lower=False):
    selector = kind | (TEXT_DATA if text else 0) | (LOWER_CASE_NAME if lower else 0)
    raw = data.encode("latin-1") if text else data
    return bytes([selector, type_]) + struct.pack("<H", len(raw)) + raw


def index_value(n, size=4, type_=REG_DWORD):
    return value(INDEX, struct.pack("<I", n)[:size], type_=type_, text=False)


def key(name, values=(), failures=()):
    raw = name.encode("latin-1")
    fail_bits = 0
    statuses = b""
    for bit, status in failures:
        fail_bits |= bit
    for bit in (FAIL_ENUM, FAIL_OPEN, FAIL_PREFIX, FAIL_INDEX, FAIL_FRIENDLY_NAME):
        for b, status in failures:
            if b == bit:
                statuses += bytes([status])
    return (struct.pack("<H", len(raw)) + raw + bytes([len(values)]) + b"".join(values)
            + bytes([fail_bits]) + statuses)


def serial(name, n, friendly=None, failures=()):
    values = [value(PREFIX, "COM"), index_value(n)]
    if friendly is not None:
        values.append(value(FRIENDLY_NAME, friendly))
    return key(name, values, failures)


def registry(*keys, flags=0, platform=3, stop_after=0, statuses=(0, 0)):
    return bytes([flags, platform, stop_after, *statuses]) + b"".join(keys)


OTHERS = [key("WaveDev", [value(PREFIX, "WAV"), index_value(1), value(FRIENDLY_NAME, "Audio")]),
          key("Touch", [value(PREFIX, "TCH"), index_value(1)]),
          key("PCI", [value(OTHER_VALUE, "pcibus.dll")])]

registry_walk = {
    "one-port": registry(serial("Serial1", 1, "Serial port")),
    "no-friendly-name": registry(serial("Serial1", 1)),
    "index-0-99999-100000": registry(serial("A", 0, "zero"), serial("B", 99999, "five nines"),
                                     serial("C", 100000, "left out")),
    "other-drivers": registry(*OTHERS, serial("Serial2", 2, "IrDA")),
    "no-driver-key": registry(),
    "no-built-in-key": registry(flags=NO_BUILT_IN_KEY),
    "not-windows-ce": registry(serial("Serial1", 1), flags=OTHER_PLATFORM, platform=2),
    "twenty-five-ports": registry(*[serial(f"Serial{i}", i, f"Port {i}") for i in range(25)]),
    "stopped-by-collector": registry(*[serial(f"S{i}", i) for i in range(5)], stop_after=2),
    "friendly-name-99-and-100": registry(serial("A", 1, "f" * 99), serial("B", 2, "g" * 100)),
    "prefix-too-long": registry(serial("A", 1), key("B", [value(PREFIX, "COMMUNICATIONS"),
                                                          index_value(2)])),
    "prefix-lower-case": registry(key("A", [value(PREFIX, "com", lower=True), index_value(3)])),
    "index-as-short-string": registry(key("A", [value(PREFIX, "COM"),
                                                value(INDEX, "7", type_=REG_SZ)])),
    "index-too-long": registry(key("A", [value(PREFIX, "COM"),
                                         value(INDEX, b"\x01\x00\x00\x00\x00", text=False)])),
    "key-name-256": registry(serial("A", 1), serial("k" * 256, 2)),
    "key-name-255": registry(serial("k" * 255, 2)),
    "enumeration-fails": registry(serial("A", 1), serial("B", 2, failures=[(FAIL_ENUM, S_CORRUPT)])),
    "enumeration-ends-early": registry(serial("A", 1),
                                       serial("B", 2, failures=[(FAIL_ENUM, S_NO_MORE_ITEMS)])),
    "enumeration-end-fails": registry(serial("A", 1), flags=ENUMERATION_END_FAILS,
                                      statuses=(0, S_ACCESS_DENIED)),
    "built-in-open-fails": registry(serial("A", 1), flags=BUILT_IN_OPEN_FAILS,
                                    statuses=(S_ACCESS_DENIED, 0)),
    "driver-open-fails": registry(serial("A", 1, failures=[(FAIL_OPEN, S_FILE_NOT_FOUND)])),
    "prefix-read-fails": registry(serial("A", 1, failures=[(FAIL_PREFIX, S_FILE_NOT_FOUND)]),
                                  serial("B", 2, failures=[(FAIL_PREFIX, S_ACCESS_DENIED)])),
    "index-read-fails": registry(serial("A", 1, failures=[(FAIL_INDEX, S_MORE_DATA)])),
    "friendly-name-read-fails": registry(serial("A", 1, "x",
                                                failures=[(FAIL_FRIENDLY_NAME, S_CORRUPT)])),
    "friendly-name-200-bytes-unterminated": registry(key("A", [
        value(PREFIX, "COM"), index_value(5),
        value(FRIENDLY_NAME, "h".encode("utf-16-le") * 100, type_=REG_BINARY, text=False)])),
    "prefix-20-bytes-unterminated": registry(key("A", [
        value(PREFIX, "COMMUNICAT".encode("utf-16-le"), text=False), index_value(6)])),
    "friendly-name-binary-odd": registry(key("A", [value(PREFIX, "COM"), index_value(4),
                                                   value(FRIENDLY_NAME, b"\x41\x00\x42",
                                                         type_=REG_BINARY, text=False)])),
}

TARGETS = {
    "recognize_kelt3b": kelt3b,
    "recognize_vx9": vx9,
    "recognize_qtvv1": qtvv1,
    "recognize_qtvv2": qtvv2,
    "port_list_format": port_list_format,
    "registry_walk": registry_walk,
}

for target, seeds in TARGETS.items():
    folder = os.path.join(CORPUS, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    print(f"{target}: {len(seeds)} seeds")
