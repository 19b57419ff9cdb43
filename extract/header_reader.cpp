#include "extract/header_reader.h"

#include <string.h>

#include "decode/frame.h"
#include "extract/runtime.h"
#include "extract/sfx_extractor.h"

namespace {

// Base header offsets. Levels 0 and 1: byte 0 is H, the count of bytes after the first two;
// level 2: bytes 0-1 are the total header length; level 3: bytes 0-1 are 4, the width of its
// size fields, and the total length stands at +24.
const uint32_t OFFSET_METHOD = 2;
const uint32_t OFFSET_PACKED = 7;
const uint32_t OFFSET_ORIGINAL = 11;
const uint32_t OFFSET_TIME = 15;
const uint32_t OFFSET_ATTRIBUTE = 19;
const uint32_t OFFSET_LEVEL = 20;
const uint32_t OFFSET_NAME_LENGTH = 21;  // levels 0 and 1; the level-2 CRC starts here

// Two bytes: the CRC-16 of the whole header with these two bytes at zero (levels 2 and 3).
const uint8_t EXT_HEADER_CRC = 0x00;
const uint8_t EXT_FILE_NAME = 0x01;
const uint8_t EXT_DIRECTORY = 0x02;
const uint8_t EXT_ATTRIBUTE = 0x40;
// Sixteen bytes, little endian: the packed and the original size as 64-bit values, for a
// member of 4 GiB or more, whose base-header fields hold 32 bits. They replace those fields.
const uint8_t EXT_SIZES = 0x42;
const uint32_t EXT_SIZES_LENGTH = 16;
// The names again in UTF-16LE (UNLHA32 and others write them beside the 8-bit ones); the
// folder name separates its parts with 0xFFFF or '\'.
const uint8_t EXT_WIDE_FILE_NAME = 0x44;
const uint8_t EXT_WIDE_DIRECTORY = 0x45;
// Four bytes, little endian: the Windows code page of the names in headers 0x01 and 0x02.
const uint8_t EXT_CODE_PAGE = 0x46;
const uint16_t WIDE_SEPARATOR = 0xFFFF;
// Two bytes, little endian: the Unix mode; 0xA000 in its top four bits marks a symbolic link.
const uint8_t EXT_UNIX_MODE = 0x50;

// Little-endian header fields.
uint16_t readLe16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

// Always inlined: -Os would call this single load, which costs more than the load itself.
__attribute__((always_inline)) inline uint32_t readLe32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// A name text of one header: its bytes stay in the header buffer, which outlives every use.
// `wide`: UTF-16LE (headers 0x44 and 0x45), which wins over the 8-bit form of the same part.
struct NamePart {
    const char* text = nullptr;
    uint32_t length = 0;
    bool wide = false;
};

// Appends `length` bytes to name, which holds `used` bytes, and answers the new count. All
// the names of one header fit, in UTF-8 too (see MEMBER_PATH_BUFFER), so the bound is never
// reached; were it ever, the name would not be the member's (badName): written, "a/b/c.txt"
// cut to "a/b/c" would be another file.
uint32_t appendName(LhaEntryHeader& header, uint32_t used, const char* text, uint32_t length)
{
    if (length > MEMBER_PATH_BUFFER - 1 - used) {
        header.badName = 1;
        length = 0;
    }
    if (length) memcpy(header.name + used, text, length);  // a missing part has no text
    used += length;
    header.name[used] = 0;
    return used;
}

// Appends a UTF-16LE name as UTF-8, bounded like appendName, and answers the new count. In a
// folder name 0xFFFF becomes '/'. An odd length or a surrogate without its partner makes
// the name invalid (badName): no guess at what it meant is written to disk.
uint32_t appendWide(LhaEntryHeader& header, uint32_t used, const NamePart& part, bool folder)
{
    const uint8_t* p = (const uint8_t*)part.text;
    if (part.length % 2) header.badName = 1;
    for (uint32_t i = 0; i + 1 < part.length; i += 2) {
        uint32_t c = readLe16(p + i);
        if (c == 0) break;
        if (folder && c == WIDE_SEPARATOR) c = '/';
        if (c - 0xD800 < 0x800) {
            // A high surrogate (D800-DBFF) and a low one (DC00-DFFF) carry 20 bits.
            uint32_t low = i + 3 < part.length ? readLe16(p + i + 2) : 0;
            if (c >= 0xDC00 || low - 0xDC00 >= 0x400) {
                header.badName = 1;
                break;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        // UTF-8: one byte below 0x80; else a lead byte with n high bits set (110, 1110,
        // 11110) and n - 1 bytes 10xxxxxx, six bits each, the lowest last.
        uint32_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (used + n > MEMBER_PATH_BUFFER - 1) {
            header.badName = 1;
            break;
        }
        char* out = header.name + used;
        for (uint32_t k = n - 1; k > 0; --k, c >>= 6) out[k] = (char)(0x80 | (c & 0x3F));
        out[0] = (char)(n == 1 ? c : ((0xF00 >> n) & 0xFF) | c);
        used += n;
    }
    header.name[used] = 0;
    return used;
}

// Appends one part of the name, its UTF-16 form or its 8-bit bytes in `codePage`. A folder
// part's separators (0xFF, '\\' and '/') become '/'. When the other part is UTF-16 the name
// is UTF-8 (header.codePage), and the host converts an 8-bit part: 0xFF, LHA's folder
// separator in every code page, becomes '/' first, in place in the header buffer, which no
// later step reads; a backslash is one character in UTF-8 too, and the final steps find it
// there. A part that is not valid in its code page makes the name invalid.
uint32_t appendPart(SfxExtractor& sfx, LhaEntryHeader& header, uint32_t used,
                    const NamePart& part, bool folder, uint32_t codePage)
{
    uint32_t start = used;
    if (part.wide) {
        used = appendWide(header, used, part, folder);
    } else if (header.codePage != codePage && part.length) {
        uint8_t* text = (uint8_t*)part.text;
        for (uint32_t i = 0; folder && i < part.length; ++i)
            if (text[i] == 0xFF) text[i] = '/';
        if (sfx.host->decodeText(part.text, part.length, codePage, header.name + used,
                                 MEMBER_PATH_BUFFER - used))
            used += (uint32_t)strlen(header.name + used);
        else
            header.badName = 1;
    } else {
        used = appendName(header, used, part.text, part.length);
    }
    if (folder) unifySeparators(header.name + start, '/', header.codePage);
    return used;
}

// Header bytes every layout has: levels 0 and 1 up to the name length, level 2 up to the
// first byte of its CRC. Reading them first shows the level before the length is trusted.
const uint32_t BASE_BYTES = 22;
const uint32_t OFFSET_OS_ID = 23;  // levels 2 and 3
// Level 3: the base header is 32 bytes, the last eight the header's length and the size of
// the first extended header, each 32 bits; every size field of its extended headers is too.
const uint32_t LEVEL3_WORD = 4;
const uint32_t OFFSET_LEVEL3_LENGTH = 24;
// The OS-9/68K port of LHA counts a level-2 header as levels 0 and 1 count theirs, without
// its first two bytes; other readers add them back for headers with its OS id.
const uint8_t OS_ID_OS9_68K = 'K';
const uint32_t OS9_68K_UNCOUNTED = 2;

bool refuse(SfxExtractor& sfx, HeaderFault fault)
{
    sfx.headerFault = fault;
    return false;
}

// Reads header bytes [from, to) into the buffer. The fault that stops it: bytes beyond the
// buffer, or the end of the file before `to`; none when all are there.
HeaderFault readBytes(SfxExtractor& sfx, uint8_t* buffer, uint32_t from, uint32_t to)
{
    if (to > HEADER_BUFFER) return HeaderFault::tooLong;
    if (to > from && fread(buffer + from, 1, to - from, sfx.ownFile) != to - from)
        return HeaderFault::cutOff;
    return HeaderFault::none;
}

// The bytes of the header being read, and the names taken from them. Not on the stack: on
// Windows a frame of a page or more must be probed page by page, which costs the stub a
// runtime routine. Like the decoder state, it serves the one walk of the process.
// Two bytes more than a header may hold: a 16-bit size field at its end is read as 32 bits.
uint8_t headerBuffer[HEADER_BUFFER + 2];

}  // namespace

bool readEntryHeader(SfxExtractor& sfx, LhaEntryHeader& header)
{
    memset(&header, 0, sizeof header);
    sfx.headerFault = HeaderFault::none;
    FILE* file = sfx.ownFile;
    uint8_t* buffer = inRegister(headerBuffer);

    int first = getc(file);
    if (first == EOF || first == 0) return false;  // 0 is the archive's end mark
    uint32_t H = (uint32_t)first;
    buffer[0] = (uint8_t)H;
    HeaderFault fault = readBytes(sfx, buffer, 1, BASE_BYTES);
    if (fault != HeaderFault::none) return refuse(sfx, fault);

    // Levels 0 and 1: H counts the bytes after the first two; the two last of them hold the
    // size of the first extended header (level 1). Level 2: the first two bytes are the
    // total length, read whole, so that a header of 256 bytes or more (a long name) is not
    // taken for a short one. Level 3 lays its fields out as level 2 does, but keeps the
    // total length at +24, and every size field it has is 32 bits wide.
    uint8_t level = buffer[OFFSET_LEVEL];
    bool levelThree = level == 3;
    bool levelTwo = level == 2 || levelThree;  // the layouts of levels 2 and 3
    uint32_t width = 2;  // of an extended header's size field
    uint32_t sizeMask = 0xFFFF;
    uint32_t read = BASE_BYTES;
    uint32_t stored = levelTwo ? readLe16(buffer) : H;
    if (levelThree) {
        width = LEVEL3_WORD;
        sizeMask = 0xFFFFFFFF;
        read = OFFSET_LEVEL3_LENGTH + LEVEL3_WORD;
        fault = readBytes(sfx, buffer, BASE_BYTES, read);
        if (fault != HeaderFault::none) return refuse(sfx, fault);
        if (stored != LEVEL3_WORD) return refuse(sfx, HeaderFault::unknownLayout);
        // Shorter than its 32 base bytes, it has no room for its first size field: the
        // chain below refuses it.
        stored = readLe32(buffer + OFFSET_LEVEL3_LENGTH);
    }
    uint32_t end = levelTwo ? stored : H + 2;
    // A header shorter than its base reads no further; its length check below refuses it.
    fault = readBytes(sfx, buffer, read, end);
    if (fault != HeaderFault::none) return refuse(sfx, fault);
    if (level == 2 && end > OFFSET_OS_ID && buffer[OFFSET_OS_ID] == OS_ID_OS9_68K) {
        fault = readBytes(sfx, buffer, end, end + OS9_68K_UNCOUNTED);
        if (fault != HeaderFault::none) return refuse(sfx, fault);
        end += OS9_68K_UNCOUNTED;
    }

    memcpy(header.methodId, buffer + OFFSET_METHOD, 5);
    header.packedSize = readLe32(buffer + OFFSET_PACKED);
    header.originalSize = readLe32(buffer + OFFSET_ORIGINAL);
    header.rawTime = readLe32(buffer + OFFSET_TIME);
    header.attribute = buffer[OFFSET_ATTRIBUTE];
    header.level = level;

    // The file name: the base name of levels 0 and 1, replaced by an extended one.
    NamePart fileName, dir;
    uint32_t codePage = CODE_PAGE_SHIFT_JIS;
    uint32_t n = levelTwo ? 0 : buffer[OFFSET_NAME_LENGTH];
    int32_t d = (int32_t)stored - (int32_t)n;
    if (d != 20 && d != 22 && d < 24) return refuse(sfx, HeaderFault::unknownLayout);
    uint32_t at = OFFSET_NAME_LENGTH;  // the next field to read
    if (!levelTwo) {
        // d >= 20 puts the name inside the H + 2 bytes read.
        fileName.text = (const char*)buffer + OFFSET_NAME_LENGTH + 1;
        fileName.length = n;
        at += 1 + n;
    }
    if (d >= 24) {
        if (levelTwo && 24 > end) return refuse(sfx, HeaderFault::badExtension);
        header.crc = readLe16(buffer + at);
        header.osId = buffer[at + 2];
        header.hasCrc = 1;
        at += 3;
    } else if (d == 22) {
        if (levelTwo && 23 > end) return refuse(sfx, HeaderFault::badExtension);
        header.crc = readLe16(buffer + at);
        header.hasCrc = 1;
        at += 2;
    }
    if (levelThree) at += LEVEL3_WORD;  // past the header's length

    if (level != 0) {
        bool levelOne = !levelTwo;
        if (levelOne) at = H;
        uint32_t chainStart = at;
        // `at` stands on the size of the next extended header.
        for (;;) {
            // A chain that leaves the bytes read is broken.
            if (at + width > end) return refuse(sfx, HeaderFault::badExtension);
            // Read as 32 bits at every level: the buffer has two spare bytes behind its end.
            uint32_t S = readLe32(buffer + at) & sizeMask;
            if (S == 0) break;
            at += width;
            if (levelOne) {
                // at <= end <= HEADER_BUFFER and S < 2^16: at + S cannot wrap.
                fault = readBytes(sfx, buffer, at, at + S);
                if (fault != HeaderFault::none) return refuse(sfx, fault);
                end = at + S;
            } else if (S > end - at) {  // at <= end: no wrap, whatever a level-3 S holds
                return refuse(sfx, HeaderFault::badExtension);
            }
            // Type byte, data bytes, and the size of the next extended header.
            if (S < width + 1) return refuse(sfx, HeaderFault::badExtension);
            uint8_t type = buffer[at];
            const uint8_t* data = buffer + at + 1;
            uint32_t length = S - 1 - width;
            if (type == EXT_FILE_NAME || type == EXT_DIRECTORY || type == EXT_WIDE_FILE_NAME ||
                type == EXT_WIDE_DIRECTORY) {
                bool wide = type >= EXT_WIDE_FILE_NAME;
                NamePart& part = type == EXT_FILE_NAME || type == EXT_WIDE_FILE_NAME ? fileName : dir;
                if (wide || !part.wide) {
                    part.text = (const char*)data;
                    part.length = length;
                    part.wide = wide;
                }
            } else if (type == EXT_SIZES && length == EXT_SIZES_LENGTH) {
                header.packedSize = readLe32(data) | (uint64_t)readLe32(data + 4) << 32;
                header.originalSize = readLe32(data + 8) | (uint64_t)readLe32(data + 12) << 32;
            } else if (type == EXT_CODE_PAGE && length == 4) {
                codePage = readLe32(data);
            } else if (type == EXT_ATTRIBUTE && length >= 2) {
                if (header.osId == 0 || header.osId == 'H' || header.osId == 'M')
                    header.attribute = data[0];
            } else if (type == EXT_UNIX_MODE && length >= 2) {
                header.unixLink = (data[1] & 0xF0) == 0xA0;
            } else if (type == EXT_HEADER_CRC && length == 2 && !levelOne) {
                // Levels 2 and 3 checksum their whole header, which is read by now: a damaged
                // one could hold a wrong name or size that no data CRC would ever catch.
                uint8_t* field = buffer + at + 1;
                uint16_t want = readLe16(field);
                field[0] = field[1] = 0;
                buildCrc16Table();
                if (updateCrc16(0, buffer, end) != want) return refuse(sfx, HeaderFault::badCrc);
            }
            at += S - width;
        }
        if (levelOne) {
            // A level-1 header counts its extended headers in the stored packed size.
            uint64_t total = at - chainStart;
            if (total > header.packedSize) return refuse(sfx, HeaderFault::badExtension);
            header.packedSize -= total;
        }
    }

    // Each part of the name is read from its UTF-16 form where there is one, else from its
    // 8-bit bytes: a Windows archiver writes the UTF-16 form of only the part its code page
    // cannot hold. With one part in each form, the 8-bit one is converted here and the whole
    // name is UTF-8. The code page covers the base name of levels 0 and 1 too. A missing
    // part has length 0 and appends nothing.
    header.codePage = dir.wide || fileName.wide ? CODE_PAGE_UTF8 : codePage;
    uint32_t used = appendPart(sfx, header, 0, dir, true, codePage);
    // Some archivers store the directory without its final separator; joined as it stands,
    // "subdir" and "hello.txt" would make a file "subdirhello.txt" in the wrong folder.
    bool fileNamed = fileName.length > 0 &&
                     (fileName.text[0] || (fileName.wide && fileName.length > 1 && fileName.text[1]));
    if (used > 0 && header.name[used - 1] != '/' && fileNamed)
        used = appendName(header, used, "/", 1);
    used = appendPart(sfx, header, used, fileName, false, codePage);
    slashBackslashes(header.name, used, header.codePage);

    header.modificationTime =
        levelTwo ? (int32_t)header.rawTime : dosTimeToUnix(header.rawTime, *sfx.host);
    return true;
}

int32_t dosTimeToUnix(uint32_t v, Host& host)
{
    // Indexed by month; 0 and the invalid months 13 to 15 count no days.
    static const uint16_t daysBeforeMonth[16] = {0,   0,   31,  59,  90,  120, 151, 181,
                                                 212, 243, 273, 304, 334, 0,   0,   0};
    if (v == 0) return 0;
    uint32_t seconds = (v & 0x1F) * 2;
    uint32_t minutes = (v >> 5) & 0x3F;
    uint32_t hours = (v >> 11) & 0x1F;
    uint32_t day = (v >> 16) & 0x1F;
    uint32_t month = (v >> 21) & 0x0F;
    uint32_t year = ((v >> 25) & 0x7F) + 1980;
    // Every year divisible by 4 is a leap year here, 2000 and 2100 included.
    uint32_t days = (year - 1970) * 365 + (year - 1969) / 4 + daysBeforeMonth[month] + day - 1;
    if (year % 4 == 0 && month >= 3 && month <= 12) days += 1;
    // Unsigned arithmetic wraps modulo 2^32, so the result is the low half of the exact
    // value: stored times past 2038 wrap like the 32-bit field, a negative zone subtracts.
    // The stored time is local: moved to UTC with the offset in force on its own date.
    uint32_t wall = ((days * 24 + hours) * 60 + minutes) * 60 + seconds;
    return (int32_t)(wall + (uint32_t)host.localZoneWestAt(wall));
}

// The pre-scan reads every header as the walk does: a member's sizes may stand in an
// extended header (0x42), and a level-1 header's packed size counts its extended headers.
uint64_t sumOriginalSizes(SfxExtractor& sfx)
{
    FILE* file = sfx.ownFile;
    int64_t start = filePosition(file);
    uint64_t sum = 0;
    LhaEntryHeader header;
    while (readEntryHeader(sfx, header)) {
        sum += header.originalSize;
        if (!skipPackedData(sfx, filePosition(file), header.packedSize)) break;
    }
    seekFile(file, start);
    return sum;
}

bool skipPackedData(SfxExtractor& sfx, int64_t dataStart, uint64_t packedSize)
{
    // Decoders read ahead, so the next header is found by an absolute seek. A size past the
    // largest position would wrap; such an archive does not exist on any disk.
    if (dataStart < 0 || packedSize > (uint64_t)(INT64_MAX - dataStart)) return false;
    return seekFile(sfx.ownFile, dataStart + (int64_t)packedSize);
}

bool readNextHeader(SfxExtractor& sfx, LhaEntryHeader& header)
{
    FILE* file = sfx.ownFile;
    int64_t offset = filePosition(file);
    if (readEntryHeader(sfx, header)) {
        // Packed data that run past the end of the file were cut off, most often by a broken
        // download: decoded, they would end in a CRC mismatch, which sends the user looking
        // for damage rather than for the rest of the file. A failed position or length (-1)
        // counts as cut off.
        int64_t dataStart = filePosition(file);
        offset = fileLength(file);
        if (dataStart >= 0 && offset >= dataStart &&
            (uint64_t)(offset - dataStart) >= header.packedSize)
            return true;
        sfx.headerFault = HeaderFault::dataCutOff;
    }
    if (sfx.headerFault != HeaderFault::none) {
        sfx.failed = 1;
        sfx.host->brokenHeader(sfx.headerFault, offset, sfx.ownPath);
    }
    return false;
}
