#include "extract/header_reader.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "extract/runtime.h"
#include "extract/sfx_extractor.h"

namespace {

// Base header offsets. Levels 0 and 1: byte 0 is H, the count of bytes after the first two;
// level 2: bytes 0-1 are the total header length, of which only byte 0 is used.
const uint32_t OFFSET_METHOD = 2;
const uint32_t OFFSET_PACKED = 7;
const uint32_t OFFSET_ORIGINAL = 11;
const uint32_t OFFSET_TIME = 15;
const uint32_t OFFSET_ATTRIBUTE = 19;
const uint32_t OFFSET_LEVEL = 20;
const uint32_t OFFSET_NAME_LENGTH = 21;  // levels 0 and 1; the level-2 CRC starts here

const uint8_t EXT_FILE_NAME = 0x01;
const uint8_t EXT_DIRECTORY = 0x02;
const uint8_t EXT_ATTRIBUTE = 0x40;

uint16_t readLe16(SfxExtractor& sfx)
{
    const uint8_t* p = sfx.headerCursor;
    sfx.headerCursor += 2;
    return (uint16_t)(p[0] | p[1] << 8);
}

uint32_t readLe32(SfxExtractor& sfx)
{
    const uint8_t* p = sfx.headerCursor;
    sfx.headerCursor += 4;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// A heap copy of `length` bytes, NUL-terminated.
char* copyBytes(const uint8_t* from, uint32_t length)
{
    char* text = (char*)malloc(length + 1);
    if (!text) return nullptr;
    memcpy(text, from, length);
    text[length] = 0;
    return text;
}

// The name texts of one header; freed on every way out of the reader.
struct NameParts {
    char* base = nullptr;
    char* file = nullptr;
    char* dir = nullptr;
    uint32_t baseLength = 0, fileLength = 0, dirLength = 0;
    ~NameParts()
    {
        free(base);
        free(file);
        free(dir);
    }
};

// Appends up to `length` bytes to name (at most PATH_BUFFER - 1 in all). A cut never splits
// a double-byte character.
void appendName(LhaEntryHeader& header, uint32_t& used, const char* text, uint32_t length)
{
    uint32_t i = 0;
    while (i < length && used < PATH_BUFFER - 1) {
        uint32_t width = isWideLeadByte((uint8_t)text[i]) && i + 1 < length ? 2 : 1;
        if (used + width > PATH_BUFFER - 1) break;
        memcpy(header.name + used, text + i, width);
        used += width;
        i += width;
    }
    header.name[used] = 0;
}

}  // namespace

bool readEntryHeader(SfxExtractor& sfx, LhaEntryHeader& header)
{
    memset(&header, 0, sizeof header);
    FILE* file = sfx.ownFile;
    uint8_t buffer[HEADER_BUFFER];
    // Bytes the header does not reach read as 0 rather than as what a previous header left:
    // a header too short to hold a level byte is then read as level 0 and fails the length
    // check below instead of being judged by stale bytes.
    memset(buffer, 0, 258);

    int first = getc(file);
    if (first == EOF || first == 0) return false;  // 0 is the archive's end mark
    uint32_t H = (uint32_t)first;
    buffer[0] = (uint8_t)H;
    if (H > 1 && fread(buffer + 1, 1, H - 1, file) != H - 1) return false;

    // A level-2 header is read whole as H bytes; levels 0 and 1 have two more, which hold
    // the size of the first extended header (level 1) or the end of the base header.
    bool levelTwo = buffer[OFFSET_LEVEL] == 2;
    uint32_t end = H;
    if (!levelTwo) {
        if (fread(buffer + H, 1, 2, file) != 2) return false;
        end = H + 2;
    }

    sfx.headerCursor = buffer + OFFSET_PACKED;
    header.headerLength = (uint8_t)H;
    memcpy(header.methodId, buffer + OFFSET_METHOD, 5);
    header.packedSize = readLe32(sfx);
    header.originalSize = readLe32(sfx);
    header.rawTime = readLe32(sfx);
    header.attribute = buffer[OFFSET_ATTRIBUTE];
    header.level = buffer[OFFSET_LEVEL];
    // A level byte that only the two extra bytes supplied, or a level-2 header of 256 bytes
    // or more (whose length does not fit the one byte used), cannot be read safely: end the
    // walk as at the end of the archive.
    if ((header.level == 2) != levelTwo) return false;
    if (levelTwo && buffer[1] != 0) return false;

    NameParts names;
    uint32_t n = levelTwo ? 0 : buffer[OFFSET_NAME_LENGTH];
    int32_t d = (int32_t)H - (int32_t)n;
    if (d != 20 && d != 22 && d < 24) {
        sfx.host->errorUnknownHeader();
        return false;
    }
    if (!levelTwo) {
        // d >= 20 puts the name inside the H + 2 bytes read.
        names.base = copyBytes(buffer + OFFSET_NAME_LENGTH + 1, n);
        if (!names.base) return false;
        names.baseLength = n;
        sfx.headerCursor = buffer + OFFSET_NAME_LENGTH + 1 + n;
    } else {
        sfx.headerCursor = buffer + OFFSET_NAME_LENGTH;
    }
    if (d >= 24) {
        if (levelTwo && 24 > end) return false;
        header.crc = readLe16(sfx);
        header.osId = *sfx.headerCursor++;
        header.hasCrc = 1;
    } else if (d == 22) {
        if (levelTwo && 23 > end) return false;
        header.crc = readLe16(sfx);
        header.hasCrc = 1;
    }

    if (header.level != 0) {
        bool levelOne = !levelTwo;
        if (levelOne) sfx.headerCursor = buffer + H;
        const uint8_t* chainStart = sfx.headerCursor;
        for (;;) {
            uint32_t at = (uint32_t)(sfx.headerCursor - buffer);
            if (at + 2 > end) return false;  // a chain that leaves the bytes read is broken
            uint32_t S = readLe16(sfx);
            if (S == 0) break;
            at += 2;
            if (levelOne) {
                if (S > HEADER_BUFFER - at) return false;
                if (fread(buffer + at, 1, S, file) != S) return false;
                end = at + S;
            } else if (at + S > end) {
                return false;
            }
            // Type byte, S - 3 data bytes, and the size of the next extended header.
            if (S < 3) return false;
            uint8_t type = buffer[at];
            const uint8_t* data = buffer + at + 1;
            uint32_t length = S - 3;
            if (type == EXT_FILE_NAME) {
                free(names.file);
                names.file = copyBytes(data, length);
                if (!names.file) return false;
                names.fileLength = length;
            } else if (type == EXT_DIRECTORY) {
                free(names.dir);
                names.dir = copyBytes(data, length);
                if (!names.dir) return false;
                unifySeparators(names.dir, '/');
                names.dirLength = length;
            } else if (type == EXT_ATTRIBUTE && length >= 2) {
                if (header.osId == 0 || header.osId == 'H' || header.osId == 'M')
                    header.attribute = data[0];
            }
            sfx.headerCursor = buffer + at + S - 2;
        }
        if (levelOne) {
            // A level-1 header counts its extended headers in the stored packed size.
            uint32_t total = (uint32_t)(sfx.headerCursor - chainStart) - 2;
            if (total > header.packedSize) return false;
            header.packedSize -= total;
        }
    }

    const char* fileName = names.file ? names.file : names.base;
    uint32_t fileLength = names.file ? names.fileLength : names.baseLength;
    uint32_t used = 0;
    if (names.dir) appendName(header, used, names.dir, names.dirLength);
    // Some archivers store the directory without its final separator; joined as it stands,
    // "subdir" and "hello.txt" would make a file "subdirhello.txt" in the wrong folder.
    if (used > 0 && header.name[used - 1] != '/' && fileName && fileName[0])
        appendName(header, used, "/", 1);
    if (fileName) appendName(header, used, fileName, fileLength);
    slashBackslashes(header.name, used);

    header.modificationTime =
        header.level == 2 ? (int32_t)header.rawTime : dosTimeToUnix(header.rawTime);
    return true;
}

int32_t dosTimeToUnix(uint32_t v)
{
    // Indexed by month; 0 and the invalid months 13 to 15 count no days.
    static const uint16_t daysBeforeMonth[16] = {0,   0,   31,  59,  90,  120, 151, 181,
                                                 212, 243, 273, 304, 334, 0,   0,   0};
    if (v == 0) return 0;
    int64_t seconds = (v & 0x1F) * 2;
    int64_t minutes = (v >> 5) & 0x3F;
    int64_t hours = (v >> 11) & 0x1F;
    int64_t day = (v >> 16) & 0x1F;
    uint32_t month = (v >> 21) & 0x0F;
    int64_t year = ((v >> 25) & 0x7F) + 1980;
    // Every year divisible by 4 is a leap year here, 2000 and 2100 included.
    int64_t days = (year - 1970) * 365 + (year - 1969) / 4 + daysBeforeMonth[month] + day - 1;
    if (year % 4 == 0 && month >= 3 && month <= 12) days += 1;
    int64_t result = ((days * 24 + hours) * 60 + minutes) * 60 + localZoneWest() + seconds;
    return (int32_t)(uint32_t)result;  // stored times past 2038 wrap like the 32-bit field
}

uint32_t sumOriginalSizes(SfxExtractor& sfx)
{
    FILE* file = sfx.ownFile;
    long start = ftell(file);
    uint32_t sum = 0;
    for (long header = start; header >= 0;) {
        // Bytes 0 (H), 1 (high length byte of level 2), 7-10 packed, 11-14 original, 20 level.
        uint8_t bytes[21];
        if (fread(bytes, 1, sizeof bytes, file) != sizeof bytes || bytes[0] == 0) break;
        uint32_t packed = bytes[7] | bytes[8] << 8 | bytes[9] << 16 | (uint32_t)bytes[10] << 24;
        uint32_t original = bytes[11] | bytes[12] << 8 | bytes[13] << 16 | (uint32_t)bytes[14] << 24;
        bool levelTwo = bytes[20] == 2;
        // The reader refuses a level-2 header of 256 bytes or more; so does the count.
        if (levelTwo && bytes[1] != 0) break;
        sum += original;
        // Levels 0 and 1: the stored packed size already counts the extended headers.
        uint64_t next = (uint64_t)header + bytes[0] + (levelTwo ? 0 : 2) + packed;
        if (next > LONG_MAX || fseek(file, (long)next, SEEK_SET) != 0) break;
        header = (long)next;
    }
    fseek(file, start, SEEK_SET);
    return sum;
}
