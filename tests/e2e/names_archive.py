#!/usr/bin/env python3
"""Writes an LHA archive whose member names carry their code page (extended header 0x46).

No encoder at hand writes that header, so the end-to-end tests build such archives here:
stored (-lh0-) members with level-2 headers, a header CRC (type 0x00), the file name (0x01),
the folder (0x02, parts ended by 0xFF) and, where given, the code page (0x46).

    names_archive.py OUT.lzh [--level=3] CODEPAGE:FOLDER:NAME:CONTENT-FILE ...

CODEPAGE is 65001 (the names are UTF-8 as given), 932 (they are converted to Shift-JIS and
the header says so) or "-" (Shift-JIS without the header, as every older archiver writes).
FOLDER may be empty; several levels are separated by '/'. A suffix "+D" (or "+F") also
writes the folder (the file name) in UTF-16LE, headers 0x45 (0x44), as Windows archivers do
where Shift-JIS cannot hold it: its 8-bit form then has '_' for each such character.
--level=3 writes the members after it with level-3 headers (32-bit size fields). A
CONTENT-FILE of "@dir" makes a folder entry (-lhd-, Unix mode 040755), "@link" one with
Unix mode 0120777, as LHA archivers on Unix store a symbolic link named "link|target".
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


def level2_header(exts, size, crc, os_id, level=2, method=b"-lh0-"):
    """The level-2 (or level-3) header of a stored member of `size` bytes: `exts` are its
    extended headers, (type, data) pairs with the header CRC (type 0x00) first; the CRC is
    filled in. A member of 4 GiB or more has 0xFFFFFFFF in the base header's sizes (header
    0x42 carries them). Level 3 has 32-bit size fields, the word size 4 in its first two
    bytes and the header's length at +24."""
    width = 4 if level == 3 else 2
    field = "<I" if level == 3 else "<H"
    # Each extended header: type, data, then the size of the next one (0 after the last).
    sizes = [1 + len(d) + width for _, d in exts] + [0]
    body = b"".join(bytes([kind]) + data + struct.pack(field, following)
                    for (kind, data), following in zip(exts, sizes[1:]))
    short = min(size, 0xFFFFFFFF)
    if level == 3:
        length = 32 + len(body)
        base = struct.pack("<H5sIIIBBHBII", 4, method, short, short, TIME, 0x20, 3, crc,
                           ord(os_id), length, sizes[0])
    else:
        length = 26 + len(body)
        if length % 256 == 0:
            raise SystemExit("a header of a multiple of 256 bytes is ambiguous")
        base = struct.pack("<H5sIIIBBHBH", length, method, short, short, TIME, 0x20, 2, crc,
                           ord(os_id), sizes[0])
    header = bytearray(base + body)
    # The header CRC covers the whole header with its own two bytes at zero.
    struct.pack_into("<H", header, len(base) + 1, crc16(bytes(header)))
    return bytes(header)


def narrow(text, encoding):
    """`text` in `encoding`, with '_' for every character it cannot hold."""
    return b"".join(c.encode(encoding) if c.encode(encoding, "ignore") else b"_" for c in text)


def member(code_page, folder, name, content, level=2):
    code_page, _, wide = code_page.partition("+")
    encoding = "utf-8" if code_page == "65001" else "cp932"
    exts = [(0x00, b"\0\0"), (0x01, narrow(name, encoding))]
    if "F" in wide:
        exts.append((0x44, name.encode("utf-16-le")))
    if folder:
        parts = folder.split("/")
        exts.append((0x02, b"".join(narrow(p, encoding) + b"\xff" for p in parts)))
        if "D" in wide:
            exts.append((0x45, b"".join(p.encode("utf-16-le") + b"\xff\xff" for p in parts)))
    if code_page != "-":
        exts.append((0x46, struct.pack("<I", int(code_page))))
    if content is None or isinstance(content, int):
        exts.append((0x50, struct.pack("<H", content or 0o40755)))
        return level2_header(exts, 0, 0, "U", level, b"-lhd-")
    return level2_header(exts, len(content), crc16(content), "W", level) + content


def main():
    out, members = sys.argv[1], sys.argv[2:]
    data = b""
    level = 2
    for item in members:
        if item.startswith("--level="):
            level = int(item[8:])
            continue
        # NAME may hold a colon itself (a name Windows must refuse); CONTENT-FILE does not.
        code_page, folder, rest = item.split(":", 2)
        name, path = rest.rsplit(":", 1)
        if path in ("@dir", "@link"):
            data += member(code_page, folder, name, None if path == "@dir" else 0o120777, level)
            continue
        with open(path, "rb") as f:
            data += member(code_page, folder, name, f.read(), level)
    with open(out, "wb") as f:
        f.write(data + b"\0")


if __name__ == "__main__":
    main()
