#!/usr/bin/env python3
"""Writes a self-extractor of several GB whose large members are zeros, as a sparse file.

An installer of more than 2 GiB (where a 32-bit `long` file offset ends) or with a member of
more than 4 GiB (where the base header's 32-bit sizes end, and extended header 0x42 carries
them) must extract every member. Writing such files for real would cost CI gigabytes of
disk and minutes; here their zeros are holes that take no room. Members are stored (-lh0-)
with level-2 headers; the CRC-16 of any run of zero bytes is 0.

    big_archive.py OUT.exe PREFIX NAME:SIZE|NAME=FILE ...

PREFIX is everything of a self-extractor before its archive (stub, padding, configuration
block). NAME:SIZE is a member of SIZE zero bytes, NAME=FILE one with the bytes of FILE. A
member of 4 GiB or more has 0xFFFFFFFF in the base header's sizes and the real ones in
header 0x42.
"""
import struct
import sys

TIME = 1600000000
SIZE_LIMIT = 0xFFFFFFFF


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def header(name, size, crc):
    exts = [(0x00, b"\0\0"), (0x01, name.encode("ascii"))]
    if size > SIZE_LIMIT:
        exts.append((0x42, struct.pack("<QQ", size, size)))
    # Each extended header: type, data, then the size of the next one (0 after the last).
    sizes = [1 + len(d) + 2 for _, d in exts] + [0]
    body = b"".join(bytes([kind]) + data + struct.pack("<H", following)
                    for (kind, data), following in zip(exts, sizes[1:]))
    length = 26 + len(body)
    assert length % 256 != 0
    short = min(size, SIZE_LIMIT)
    base = struct.pack("<H5sIIIBBHBH", length, b"-lh0-", short, short, TIME, 0x20, 2, crc,
                       ord("U"), sizes[0])
    h = bytearray(base + body)
    struct.pack_into("<H", h, 27, crc16(bytes(h)))  # the header CRC, its own field at zero
    return bytes(h)


def main():
    out, prefix, members = sys.argv[1], sys.argv[2], sys.argv[3:]
    with open(prefix, "rb") as f:
        head = f.read()
    with open(out, "wb") as f:
        f.write(head)
        for item in members:
            if "=" in item:
                name, path = item.split("=", 1)
                with open(path, "rb") as source:
                    content = source.read()
                f.write(header(name, len(content), crc16(content)) + content)
            else:
                name, size = item.rsplit(":", 1)
                f.write(header(name, int(size), 0))
                f.seek(int(size), 1)  # a hole: reads as zeros, takes no disk
        f.write(b"\0")


main()
