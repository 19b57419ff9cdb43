#!/usr/bin/env python3
"""Writes an LHA archive whose member names carry their code page (extended header 0x46).

No encoder at hand writes that header, so the end-to-end tests build such archives here:
stored (-lh0-) members with level-2 headers, a header CRC (type 0x00), the file name (0x01),
the folder (0x02, parts ended by 0xFF) and, where given, the code page (0x46).

    names_archive.py OUT.lzh CODEPAGE:FOLDER:NAME:CONTENT-FILE ...

CODEPAGE is 65001 (the names are UTF-8 as given), 932 (they are converted to Shift-JIS and
the header says so) or "-" (Shift-JIS without the header, as every older archiver writes).
FOLDER may be empty; several levels are separated by '/'.
"""
import struct
import sys

TIME = 1600000000


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def level2_header(exts, size, crc, os_id):
    """The level-2 header of a stored member of `size` bytes: `exts` are its extended headers,
    (type, data) pairs with the header CRC (type 0x00) first; the CRC is filled in. A member
    of 4 GiB or more has 0xFFFFFFFF in the base header's sizes (header 0x42 carries them)."""
    # Each extended header: type, data, then the size of the next one (0 after the last).
    sizes = [1 + len(d) + 2 for _, d in exts] + [0]
    body = b"".join(bytes([kind]) + data + struct.pack("<H", following)
                    for (kind, data), following in zip(exts, sizes[1:]))
    length = 26 + len(body)
    if length % 256 == 0:
        raise SystemExit("a header of a multiple of 256 bytes is ambiguous")
    short = min(size, 0xFFFFFFFF)
    base = struct.pack("<H5sIIIBBHBH", length, b"-lh0-", short, short, TIME, 0x20, 2, crc,
                       ord(os_id), sizes[0])
    header = bytearray(base + body)
    # The header CRC covers the whole header with its own two bytes at zero.
    struct.pack_into("<H", header, 27, crc16(bytes(header)))
    return bytes(header)


def member(code_page, folder, name, content):
    encoding = "utf-8" if code_page == "65001" else "cp932"
    exts = [(0x00, b"\0\0"), (0x01, name.encode(encoding))]
    if folder:
        exts.append((0x02, b"".join(p.encode(encoding) + b"\xff" for p in folder.split("/"))))
    if code_page != "-":
        exts.append((0x46, struct.pack("<I", int(code_page))))
    return level2_header(exts, len(content), crc16(content), "W") + content


def main():
    out, members = sys.argv[1], sys.argv[2:]
    data = b""
    for item in members:
        # NAME may hold a colon itself (a name Windows must refuse); CONTENT-FILE does not.
        code_page, folder, rest = item.split(":", 2)
        name, path = rest.rsplit(":", 1)
        with open(path, "rb") as f:
            data += member(code_page, folder, name, f.read())
    with open(out, "wb") as f:
        f.write(data + b"\0")


if __name__ == "__main__":
    main()
