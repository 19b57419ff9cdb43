// Test support for the -lh1-, -lh2-, -lh3-, -lzs- and -lz5- decoders: members packed by the
// jlha library (an encoder nobody here wrote), a decode of packed bytes through DecodeJob, the
// bit writer of the block tests for hand-built streams, and deterministic test data.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/block_streams.h"

namespace legacy {

using Bytes = std::vector<uint8_t>;

// Positions in MethodTable and the dictionary bits the dispatcher gives each method.
const uint32_t LH1 = 1, LH2 = 2, LH3 = 3, LZS = 8, LZ5 = 9;
uint32_t dictBitsOf(uint32_t methodIndex);
const char* methodIdOf(uint32_t methodIndex);

struct PackedMember {
    uint32_t methodIndex;
    uint32_t originalSize;
    uint16_t crc;  // CRC-16 of the original bytes, as the archive header stores it
    Bytes packed;
};

// Packs every (method, content) pair with jlha in one Java run (or finds the archive in the
// shared archive cache) and reads the members back from the level-0 archive, whose members
// are named m0, m1, ... When `archivePath` is given it receives the archive's path.
std::vector<PackedMember> packWithJlha(const std::vector<std::pair<uint32_t, Bytes>>& items,
                                       std::string* archivePath = nullptr);

struct Decoded {
    Bytes bytes;
    uint16_t crc;
    bool corrupt;
};

// Runs one DecodeJob over `packed` (followed in the input file by `trailing`, the bytes that
// would come after the member in an archive) and returns what it wrote.
Decoded decode(uint32_t methodIndex, const Bytes& packed, uint32_t originalSize,
               const Bytes& trailing = Bytes());

uint16_t crc16Of(const Bytes& data);

// Decodes `member` and checks that the member is not marked damaged, that the CRC matches
// the header's and that the bytes are `expected`.
::testing::AssertionResult decodesTo(const PackedMember& member, const Bytes& expected);

// Fields most significant bit first, as the decoders' bit reader takes them.
using BitWriter = blocks::BitWriter;

// Deterministic data. `mixed` interleaves text with repeats, runs and random stretches, so
// that every kind of item and long and short matches occur.
Bytes randomBytes(size_t size, uint32_t seed);
Bytes mixedBytes(size_t size, uint32_t seed);
Bytes repetitiveBytes(size_t size);

// Named inputs that every method is tested on: 0, 1, 64, 65, 8,128 and 8,192 bytes, highly
// repetitive, random, and mixed data of several MiB.
using NamedInputs = std::vector<std::pair<std::string, Bytes>>;
NamedInputs commonInputs(uint32_t seed);

}  // namespace legacy
