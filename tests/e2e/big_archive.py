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
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from names_archive import crc16, level2_header  # noqa: E402


def header(name, size, crc):
    exts = [(0x00, b"\0\0"), (0x01, name.encode("ascii"))]
    if size > 0xFFFFFFFF:
        exts.append((0x42, struct.pack("<QQ", size, size)))
    return level2_header(exts, size, crc, "U")


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
