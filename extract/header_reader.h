// LHA member headers of levels 0 to 3.
#pragma once

#include <stdint.h>

#include "paths.h"

class Host;
struct SfxExtractor;

const uint32_t HEADER_BUFFER = 4096;
// Every name of a header fits whole, in UTF-8 too: see MEMBER_PATH_BUFFER.
static_assert(MEMBER_PATH_BUFFER >= 3 * HEADER_BUFFER + 2, "a member path must never be cut");

struct LhaEntryHeader {
    char methodId[6];  // five bytes and the terminator left by zeroing
    // 64 bits: extended header 0x42 carries both sizes for members of 4 GiB and more.
    uint64_t packedSize;
    uint64_t originalSize;
    uint32_t rawTime;  // DOS date/time for levels 0 and 1, Unix time for levels 2 and 3
    uint8_t attribute;
    uint8_t level;
    // The name as stored, directory part first, separators as '/', NUL-terminated: bytes
    // in `codePage` (932 unless extended header 0x46 says otherwise). A name with a UTF-16
    // part (headers 0x44 and 0x45) is converted to UTF-8 here, its 8-bit part, if any, by
    // the host, and tagged 65001. The driver cleans the name in that code page and then has
    // the host convert it.
    char name[MEMBER_PATH_BUFFER];
    uint32_t codePage;
    // A UTF-16 name that is not valid UTF-16: the member is damaged. (So would be a name cut
    // to fit `name`, which its size rules out.)
    uint8_t badName;
    uint16_t crc;
    uint8_t hasCrc;
    uint8_t osId;
    // The Unix mode (extended header 0x50) says symbolic link: the name is "link|target".
    uint8_t unixLink;
    int32_t modificationTime;
};

// Reads one header at the position of ownFile. True: `header` is filled and ownFile stands
// on the first packed byte. False: the archive has ended; sfx.headerFault tells a clean end
// (none: the end mark or the end of the file) from a header that cannot be read safely.
bool readEntryHeader(SfxExtractor& sfx, LhaEntryHeader& header);

// readEntryHeader for a walk: a header that cannot be read fails the run (sfx.failed) and is
// reported to the host with its offset. So is a member whose packed data run past the end of
// the file (HeaderFault::dataCutOff, reported with the offset where the file ends): false,
// with `header` filled and ownFile on its first packed byte, so that a listing can show it.
bool readNextHeader(SfxExtractor& sfx, LhaEntryHeader& header);

// An MS-DOS time stamp (local time) as Unix time, with the offset the host gives for its date.
int32_t dosTimeToUnix(uint32_t dosTime, Host& host);

// Sum of the original sizes of all members from the position of ownFile on; ownFile is left
// where it was.
uint64_t sumOriginalSizes(SfxExtractor& sfx);

// Seeks ownFile past the packed data of the member whose data starts at `dataStart` (the
// position readEntryHeader left); false when that position cannot be reached, which loses
// every member behind it.
bool skipPackedData(SfxExtractor& sfx, int64_t dataStart, uint64_t packedSize);
