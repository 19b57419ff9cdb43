// Test support for the -lh1-, -lh2-, -lh3-, -lzs- and -lz5- decoders: members packed by the
// jlha library (an encoder nobody here wrote), a decode of packed bytes through DecodeJob, an
// MSB-first bit writer for hand-built streams, and deterministic test data.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

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

// Writes fields most significant bit first, as the decoders' bit reader takes them.
class BitWriter {
public:
    void put(uint32_t value, uint32_t bits);
    Bytes finish() const;  // pads the last byte with 0 bits

private:
    Bytes out_;
    uint32_t acc_ = 0;
    uint32_t used_ = 0;
};

// Deterministic data. `mixed` interleaves text with repeats, runs and random stretches, so
// that every kind of item and long and short matches occur.
Bytes randomBytes(size_t size, uint32_t seed);
Bytes mixedBytes(size_t size, uint32_t seed);
Bytes repetitiveBytes(size_t size);

}  // namespace legacy
