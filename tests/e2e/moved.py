#!/usr/bin/env python3
"""Writes a copy of a stub or self-extractor moved to another image base, as Windows' loader
moves every DYNAMIC_BASE image: the difference added at every site the relocation table
lists, and the new ImageBase in the optional header. Wine then maps the copy there, so an
address the table missed points into the old base, where nothing is mapped.

    moved.py FINISH_STUB IN OUT BASE
"""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(sys.argv[1]))
from finish_stub import Image  # noqa: E402

data = open(sys.argv[2], "rb").read()
image = Image(data)
base = int(sys.argv[4], 0)
delta = base - image.image_base
width, form, mask = (8, "<Q", 2**64 - 1) if image.plus else (4, "<I", 2**32 - 1)
out = bytearray(data)
for site in image.relocation_sites():
    at = image.offset(site)
    struct.pack_into(form, out, at, (struct.unpack_from(form, out, at)[0] + delta) & mask)
struct.pack_into(form, out, image.opt + (24 if image.plus else 28), base)
open(sys.argv[3], "wb").write(out)
