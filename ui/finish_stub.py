#!/usr/bin/env python3
"""Finishes the linked stub and checks what scanners check.

    finish_stub.py STUB LIMIT

1. Tightens the file layout: ld puts a 64-byte DOS program between the DOS header and the PE
   header; without it the headers and four section headers fit in one 512-byte block of the
   file instead of two. And .bss, which holds the import lookup tables (3.), keeps no bytes
   in the file.
2. Writes "LHA's SFX " at offset 36, into reserved fields of the DOS header that the Windows
   loader ignores: archive tools look for it to recognise a self-extractor.
3. Clears each import descriptor's pointer to its lookup table. stub.ld puts those tables
   (in the file, each a copy of the import address table) in .bss; with the pointer 0 the
   loader reads the names from the import address table itself.
4. Moves the relocation table to the end of .rsrc, where the page that section ends in has
   room for it, and drops the .reloc section: the loader finds the table through the
   base-relocation directory in whatever section it lies, and the table alone took a whole
   512-byte block of the file. (ld cannot put it there itself: it names that directory after
   the output section called .reloc.)
5. Recomputes the image checksum, which the steps above invalidated.
6. Fails, removing STUB so that the next build fails again, when
   - the stub is over LIMIT bytes (the configuration block starts at file offset 32768);
   - a hardening mark is missing: address-space randomisation with a relocation table,
     high-entropy addresses (x86_64), no-execute data, terminal-server awareness, no SEH
     handlers (i686, the stub has none, so there is nothing a SafeSEH table could list);
   - a section is both writable and executable, or shared;
   - the manifest resource is missing, or the subsystem version is below 6.0 (below it Windows
     draws the window frame and sizes it as for Windows XP);
   - the import table names a DLL outside ALLOWED_DLLS;
   - an absolute address into the image has no relocation entry (see unrelocated): Windows
     moves every DYNAMIC_BASE image, so such an address would still point into the preferred
     base, where nothing is mapped. Wine maps the image at its preferred base and never shows
     the fault; the run of a moved copy (tests/e2e) does.
"""
import struct
import sys

MARK = b"LHA's SFX "
MARK_OFFSET = 36

# DLLs the stub may import. Windows loads the KnownDLLs only from its own folder, whatever the
# search order, so a DLL of the same name beside the installer is never used for them;
# comctl32 comes from the side-by-side store through the manifest. Anything else the stub
# needs, it loads at run time from System32 (see restrictDllSearch in main.cpp).
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "ole32.dll",
                "msvcrt.dll", "comctl32.dll"}

FILE_RELOCS_STRIPPED = 0x0001
DYNAMIC_BASE = 0x0040
HIGH_ENTROPY_VA = 0x0020
NX_COMPAT = 0x0100
NO_SEH = 0x0400
TERMINAL_SERVER_AWARE = 0x8000
SCN_CNT_INITIALIZED_DATA = 0x00000040
SCN_CNT_UNINITIALIZED_DATA = 0x00000080
SCN_MEM_SHARED = 0x10000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664
RT_MANIFEST = 24
DIR_IMPORT, DIR_RESOURCE, DIR_BASERELOC = 1, 2, 5
REL_HIGHLOW, REL_DIR64 = 3, 10


class Image:
    """The parts of a PE file that the steps above read and change."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no DOS header")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        (self.machine, self.count, _, _, _, self.optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, self.pe + 4)
        self.opt = self.pe + 24
        self.plus = struct.unpack_from("<H", data, self.opt)[0] == 0x20B
        self.sections_at = self.opt + self.optional_size
        self.image_base = struct.unpack_from("<Q" if self.plus else "<I", data,
                                             self.opt + (24 if self.plus else 28))[0]
        self.image_size = self.u32(self.opt + 56)
        self.file_alignment = self.u32(self.opt + 36)
        self.headers_size = self.u32(self.opt + 60)
        self.dll_characteristics = self.u16(self.opt + 70)
        self.subsystem_version = (self.u16(self.opt + 48), self.u16(self.opt + 50))
        directories = self.opt + (112 if self.plus else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(self.u32(directories - 4))]
        self.sections = []
        for i in range(self.count):
            at = self.sections_at + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("latin-1")
            vsize, rva, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
            flags = self.u32(at + 36)
            self.sections.append((name, rva, vsize, raw_at, raw_size, flags, at))

    def u16(self, at):
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    def offset(self, rva):
        for _, start, vsize, raw_at, raw_size, _, _ in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                return raw_at + rva - start
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imported_dlls(self):
        rva, size = self.directories[DIR_IMPORT]
        names = []
        at = self.offset(rva) if size else 0
        while size and any(self.data[at:at + 20]):
            names.append(self.text(self.u32(at + 12)))
            at += 20
        return names

    def relocation_sites(self):
        """The RVAs of the 32-bit (i686) and 64-bit (x86_64) addresses that the base
        relocation table lists: blocks of one 4 KB page each, a 16-bit entry per site (type in
        the top 4 bits, offset in the page below them; type 0 pads a block)."""
        rva, size = self.directories[DIR_BASERELOC] if len(self.directories) > 5 else (0, 0)
        sites = set()
        at = self.offset(rva) if size else 0
        end = at + size
        while at + 8 <= end:
            page, block = struct.unpack_from("<II", self.data, at)
            if block < 8 or at + block > end:
                raise ValueError("a relocation block overruns its table")
            for entry in range(at + 8, at + block, 2):
                kind = self.u16(entry)
                if kind >> 12 in (REL_HIGHLOW, REL_DIR64):
                    sites.add(page + (kind & 0xFFF))
            at += block
        return sites

    def import_slots(self):
        """The RVAs of the import address table's slots, one per imported function."""
        rva, size = self.directories[DIR_IMPORT]
        width = 8 if self.plus else 4
        slots = set()
        at = self.offset(rva) if size else 0
        while size and any(self.data[at:at + 20]):
            slot = self.u32(at + 16)
            while any(self.data[self.offset(slot):self.offset(slot) + width]):
                slots.add(slot)
                slot += width
            at += 20
        return slots

    def has_manifest(self):
        rva, size = self.directories[DIR_RESOURCE] if len(self.directories) > 2 else (0, 0)
        if not size:
            return False
        root = self.offset(rva)
        named, numbered = struct.unpack_from("<HH", self.data, root + 12)
        kinds = root + 16 + 8 * named  # entries by name come first, then entries by number
        return any(self.u32(kinds + 8 * i) == RT_MANIFEST for i in range(numbered))


def relaid(data):
    """The image with its file layout tightened, RVAs untouched:
    - the DOS program between the DOS header and the PE header is dropped, so that the
      headers take fewer blocks of the file;
    - .bss keeps no bytes in the file. stub.ld puts the import lookup tables there (see
      without_lookup_tables), which makes ld write the whole section out; at load time it is
      zero-filled memory like any .bss."""
    image = Image(data)
    gap = image.pe - 0x40
    alignment = image.file_alignment
    headers_end = image.sections_at - gap + 40 * image.count
    headers_size = (headers_end + alignment - 1) // alignment * alignment
    out = bytearray(data[:0x40] + data[image.pe:image.sections_at + 40 * image.count])
    out += bytes(headers_size - len(out))
    struct.pack_into("<I", out, 0x3C, 0x40)
    moved = Image(bytes(out))
    struct.pack_into("<I", out, moved.opt + 60, headers_size)
    for name, _, _, raw_at, raw_size, flags, at in moved.sections:
        if name == ".bss":
            raw_size = 0
            flags = flags & ~SCN_CNT_INITIALIZED_DATA | SCN_CNT_UNINITIALIZED_DATA
            struct.pack_into("<I", out, at + 36, flags)
        struct.pack_into("<II", out, at + 16, raw_size, len(out) if raw_size else 0)
        out += data[raw_at:raw_at + raw_size]
    return bytes(out)


def without_lookup_tables(data):
    """The image with every import descriptor's OriginalFirstThunk set to 0: the loader then
    takes the names from the import address table, which the PE format provides for."""
    image = Image(data)
    out = bytearray(data)
    rva, size = image.directories[DIR_IMPORT]
    at = image.offset(rva) if size else 0
    while size and any(out[at:at + 20]):
        struct.pack_into("<I", out, at, 0)
        at += 20
    return bytes(out)


def with_relocations_in_rsrc(data):
    """The image with its relocation table appended to .rsrc, 4-aligned and inside the
    virtual range that .rsrc has before the next section's RVA, the base-relocation directory
    pointing there and the .reloc section dropped. Unchanged when there is no .reloc section
    (already moved), when it is not the last section of the file, or when the table does not
    fit."""
    image = Image(data)
    names = [section[0] for section in image.sections]
    if ".reloc" not in names or ".rsrc" not in names:
        return data
    reloc = image.sections[names.index(".reloc")]
    rsrc_index = names.index(".rsrc")
    _, rsrc_rva, rsrc_vsize, rsrc_raw_at, rsrc_raw_size, _, rsrc_header = image.sections[rsrc_index]
    table_rva, table_size = image.directories[DIR_BASERELOC]
    later = [rva for _, rva, _, _, _, _, _ in image.sections if rva > rsrc_rva]
    at = (rsrc_vsize + 3) & ~3
    # .rsrc must be the last section with bytes in the file once .reloc is gone, and the table
    # must lie wholly in .reloc.
    last_in_file = all(raw_at <= rsrc_raw_at for name, _, _, raw_at, raw_size, _, _
                       in image.sections if raw_size and name != ".reloc")
    if (not last_in_file or not later or rsrc_rva + at + table_size > min(later)
            or not reloc[1] <= table_rva <= table_rva + table_size <= reloc[1] + reloc[2]):
        return data
    table = data[reloc[3] + table_rva - reloc[1]:][:table_size]
    alignment = image.file_alignment
    body = data[rsrc_raw_at:rsrc_raw_at + min(rsrc_raw_size, at)]
    body += bytes(at - len(body)) + table
    raw_size = (len(body) + alignment - 1) // alignment * alignment
    out = bytearray(data[:rsrc_raw_at] + body + bytes(raw_size - len(body)))
    struct.pack_into("<II", out, rsrc_header + 8, at + table_size, rsrc_rva)
    struct.pack_into("<I", out, rsrc_header + 16, raw_size)
    directory = image.opt + (112 if image.plus else 96) + 8 * DIR_BASERELOC
    struct.pack_into("<II", out, directory, rsrc_rva + at, table_size)
    # The .reloc header goes; the ones after it move up.
    headers = image.sections_at
    kept = [out[headers + 40 * i:headers + 40 * i + 40] for i in range(image.count)
            if image.sections[i][0] != ".reloc"]
    out[headers:headers + 40 * image.count] = b"".join(kept) + bytes(40)
    struct.pack_into("<H", out, image.pe + 6, image.count - 1)
    alignment_in_memory = image.u32(image.opt + 32)
    end = max(rva + vsize for _, rva, vsize, _, _, _, _ in Image(bytes(out)).sections)
    struct.pack_into("<I", out, image.opt + 56,
                     (end + alignment_in_memory - 1) // alignment_in_memory * alignment_in_memory)
    initialized = image.u32(image.opt + 8) - reloc[4] + raw_size - rsrc_raw_size
    struct.pack_into("<I", out, image.opt + 8, initialized)
    return bytes(out)


def with_checksum(data):
    """The image with its optional header's checksum computed as the loader's own routine
    does: 16-bit one's-complement sum of the file, plus the file length."""
    out = bytearray(data)
    field = Image(data).opt + 64
    struct.pack_into("<I", out, field, 0)
    padded = bytes(out) + b"\0" * (len(out) & 1)
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", out, field, (total & 0xFFFF) + len(data))
    return bytes(out)


def unrelocated(image):
    """(RVA, address) of each absolute address into the image that lacks a relocation entry.

    What can be told from bytes alone, without false alarms:
    - anywhere, the address of an import slot (the i686 `jmp *slot` thunks and
      `call *slot`);
    - x86_64: any 8 bytes that read as an address into the image (code reaches the image
      relative to the instruction, so such a value is a pointer in data or a movabs);
    - i686 code: the address operand of call/jmp through memory (FF 15, FF 25), of push
      imm32 (68) and of mov reg, imm32 (B8 to BF);
    - i686 data outside the code section: 4-byte aligned addresses into the code and data
      (pointers into .bss are left out: UTF-16 text would read as such)."""
    sites = image.relocation_sites()
    base = image.image_base
    slots = {base + slot for slot in image.import_slots()}
    low, high = base + image.sections[0][1], base + image.image_size
    data_high = max(base + rva + vsize for name, rva, vsize, *_ in image.sections
                    if name not in (".bss", ".reloc"))
    width, form = (8, "<Q") if image.plus else (4, "<I")
    found = []
    for name, rva, vsize, raw_at, raw_size, flags, _ in image.sections:
        if name == ".reloc":
            continue
        body = image.data[raw_at:raw_at + min(vsize, raw_size)]
        code = flags & SCN_MEM_EXECUTE
        for i in range(len(body) - width + 1):
            value = struct.unpack_from(form, body, i)[0]
            if value in slots or (image.plus and low <= value < high):
                pointer = True
            elif image.plus or not low <= value < high:
                pointer = False
            elif code:
                pointer = body[max(i - 2, 0):i] in (b"\xff\x15", b"\xff\x25") or (
                    i > 0 and (body[i - 1] == 0x68 or 0xB8 <= body[i - 1] <= 0xBF))
            else:
                pointer = (rva + i) % 4 == 0 and value < data_high
            if pointer and rva + i not in sites:
                found.append((rva + i, value))
    return found


def faults(image, size, limit):
    """What the stub lacks, one line each; empty when it passes."""
    found = []
    if size > limit:
        found.append(f"{size} bytes, over its limit of {limit} bytes")
    wanted = {DYNAMIC_BASE: "DYNAMIC_BASE", NX_COMPAT: "NX_COMPAT",
              TERMINAL_SERVER_AWARE: "TERMINAL_SERVER_AWARE"}
    if image.machine == MACHINE_AMD64:
        wanted[HIGH_ENTROPY_VA] = "HIGH_ENTROPY_VA"
    elif image.machine == MACHINE_I386:
        wanted[NO_SEH] = "NO_SEH"
    for flag, name in wanted.items():
        if not image.dll_characteristics & flag:
            found.append(f"{name} is not set")
    if image.characteristics & FILE_RELOCS_STRIPPED or not image.directories[DIR_BASERELOC][1]:
        found.append("no relocation table: the image cannot be moved")
    for name, _, _, _, _, flags, _ in image.sections:
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            found.append(f"section {name} is writable and executable")
        if flags & SCN_MEM_SHARED:
            found.append(f"section {name} is shared between processes")
    missing = unrelocated(image)
    if missing:
        listed = ", ".join(f"{rva:#x} ({value:#x})" for rva, value in missing[:8])
        found.append(f"{len(missing)} absolute addresses without a relocation entry, so the "
                     f"image breaks wherever Windows moves it: at RVA {listed}")
    if image.subsystem_version < (6, 0):
        found.append("subsystem version %d.%d is below 6.0" % image.subsystem_version)
    if not image.has_manifest():
        found.append("no manifest resource")
    for dll in image.imported_dlls():
        if dll.lower() not in ALLOWED_DLLS:
            found.append(f"imports {dll}, which Windows may load from the installer's folder")
    return found


def main():
    path, limit = sys.argv[1], min(int(sys.argv[2]), 32768)
    with open(path, "rb") as f:
        data = f.read()
    try:
        data = with_relocations_in_rsrc(without_lookup_tables(relaid(data)))
        data = data[:MARK_OFFSET] + MARK + data[MARK_OFFSET + len(MARK):]
        data = with_checksum(data)
        found = faults(Image(data), len(data), limit)
    except (ValueError, IndexError, struct.error) as error:
        found = [f"unreadable PE image: {error}"]
    if found:
        import os
        os.remove(path)
        for fault in found:
            print(f"quorsfx: {path}: {fault}", file=sys.stderr)
        sys.exit(1)
    with open(path, "wb") as f:
        f.write(data)
    image = Image(data)
    print(f"-- quorsfx: {path}: {len(data)} bytes (limit {limit}), "
          f"DllCharacteristics {image.dll_characteristics:#06x}, "
          f"imports {', '.join(image.imported_dlls())}")


if __name__ == "__main__":
    main()
