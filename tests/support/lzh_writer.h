// Hand-built LHA archives for tests that need exact control over header bytes: stored
// members at levels 0 to 3, with names, directories, times and CRCs of the test's choice.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

uint16_t crc16Of(const std::string& data);

struct Member {
    std::string method = "-lh0-";
    std::string name;        // file name bytes (Shift-JIS allowed)
    std::string directory;   // levels 1 and 2: directory extended header, 0xFF separated
    std::string data;        // packed bytes as stored
    uint32_t originalSize = UINT32_MAX;  // default: data.size()
    uint32_t time = 0;       // DOS time (levels 0, 1) or Unix time (levels 2, 3)
    int level = 0;
    bool headerCrc = false;  // levels 2 and 3: extended header 0x00 first, with the header's CRC
    bool withCrc = true;
    int crcOverride = -1;    // a wrong CRC on purpose
    uint8_t osId = 'M';
    // Levels 1 to 3: further extended headers (type, data), after the name headers.
    std::vector<std::pair<uint8_t, std::string>> extended;
};

// The member's header and data.
std::string lzhMember(const Member& m);

// A temporary FILE* holding `bytes`, positioned at `position`.
FILE* fileWith(const std::string& bytes, long position = 0);

// A temporary FILE* holding `head`, `gap` zero bytes as a hole (no disk is used for them),
// then `tail`; positioned at 0. For archives of several GB.
FILE* sparseFileWith(const std::string& head, uint64_t gap, const std::string& tail);

// Extended header 0x42: the 64-bit packed and original size.
std::pair<uint8_t, std::string> sizesHeader(uint64_t packed, uint64_t original);
