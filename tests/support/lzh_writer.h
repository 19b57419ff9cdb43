// Hand-built LHA archives for tests that need exact control over header bytes: stored
// members at levels 0, 1 and 2, with names, directories, times and CRCs of the test's choice.
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
    uint32_t time = 0;       // DOS time (levels 0, 1) or Unix time (level 2)
    int level = 0;
    bool withCrc = true;
    int crcOverride = -1;    // a wrong CRC on purpose
    uint8_t osId = 'M';
    // Levels 1 and 2: further extended headers (type, data), after the name headers.
    std::vector<std::pair<uint8_t, std::string>> extended;
};

// The member's header and data.
std::string lzhMember(const Member& m);

// A temporary FILE* holding `bytes`, positioned at `position`.
FILE* fileWith(const std::string& bytes, long position = 0);
