#!/usr/bin/env python3
"""Checks that ui/finish_stub.py refuses a stub that lost a hardening mark.

    pe_marks.py FINISH_STUB STUB...

For each built stub: the stub as built passes; each damaged copy below fails with its
message. Prints one line per refusal that did not happen, and exits 1 if there was any.
"""
import os
import struct
import subprocess
import sys
import tempfile

finisher = sys.argv[1]
sys.path.insert(0, os.path.dirname(finisher))
from finish_stub import Image  # noqa: E402


def damaged_copies(data):
    """(what was done, message expected, bytes) for each way a stub can lose a mark."""
    image = Image(data)
    flags = image.dll_characteristics

    def dll_flags(value):
        out = bytearray(data)
        struct.pack_into("<H", out, image.opt + 70, value)
        return bytes(out)

    def patched(at, fmt, *values):
        out = bytearray(data)
        struct.pack_into(fmt, out, at, *values)
        return bytes(out)

    marks = [(0x0040, "DYNAMIC_BASE"), (0x0100, "NX_COMPAT"), (0x8000, "TERMINAL_SERVER_AWARE"),
             (0x0020 if image.plus else 0x0400, "HIGH_ENTROPY_VA" if image.plus else "NO_SEH")]
    for flag, name in marks:
        yield f"{name} cleared", f"{name} is not set", dll_flags(flags & ~flag)
    yield ("relocations stripped", "no relocation table",
           patched(image.pe + 22, "<H", image.characteristics | 1))
    text = image.sections[0]
    yield ("code made writable", "writable and executable",
           patched(text[6] + 36, "<I", text[5] | 0x80000000))
    yield ("data shared", "shared between processes",
           patched(image.sections[1][6] + 36, "<I", image.sections[1][5] | 0x10000000))
    yield "subsystem 5.2", "below 6.0", patched(image.opt + 48, "<HH", 5, 2)
    # One relocation entry dropped (its type set to 0, padding): an import slot's address
    # where the stub has one (ld once wrote none for the i686 import thunks), else the first.
    table = image.offset(image.directories[5][0])
    width, form = (8, "<Q") if image.plus else (4, "<I")
    slots = {image.image_base + slot for slot in image.import_slots()}
    entries = [table + 8 + 2 * i for i in range((image.u32(table + 4) - 8) // 2)]
    held = [struct.unpack_from(form, data, image.offset(image.u32(table) + (image.u16(e) & 0xFFF)))[0]
            for e in entries]
    entry = next((e for e, value in zip(entries, held) if value in slots), entries[0])
    yield "a relocation entry dropped", "without a relocation entry", patched(entry, "<H", 0)
    at = data.find(b"ole32.dll")
    yield "an import beside the installer", "imports olex2.dll", \
        data[:at] + b"olex2.dll" + data[at + 9:]


problems = []
with tempfile.TemporaryDirectory() as work:
    copy = os.path.join(work, "stub.exe")
    for stub in sys.argv[2:]:
        data = open(stub, "rb").read()
        for what, expected, damaged in [("as built", None, data)] + list(damaged_copies(data)):
            open(copy, "wb").write(damaged)
            run = subprocess.run([sys.executable, finisher, copy, "32768"], capture_output=True,
                                 text=True)
            if expected is None and run.returncode != 0:
                problems.append(f"{stub} as built: refused: {run.stderr.strip()}")
            elif expected is not None and (run.returncode == 0 or expected not in run.stderr):
                problems.append(f"{stub}, {what}: not refused with \"{expected}\"")
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
