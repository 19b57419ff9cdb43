// Test support for the decoder frame and the -lh4- to -lh7- decoder: an MSB-first bit writer,
// a writer of whole -lh4- to -lh7- blocks from chosen code lengths, and one DecodeJob run over
// packed bytes held in a temporary file.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

class Host;

namespace blocks {

using Bytes = std::vector<uint8_t>;

// MethodTable positions of the block methods and their dictionary bits.
const uint32_t LH4 = 4, LH5 = 5, LH6 = 6, LH7 = 7;
uint32_t dictBitsOf(uint32_t methodIndex);  // any compressed method
uint32_t distSymbolsOf(uint32_t methodIndex);

// Fields most significant bit first, as the bit reader takes them.
class BitWriter {
public:
    void put(uint32_t value, uint32_t bits);
    uint64_t bitCount() const { return bytes_.size() * 8 + used_; }
    Bytes finish() const;  // the last byte padded with 0 bits

private:
    Bytes bytes_;
    uint32_t acc_ = 0;
    uint32_t used_ = 0;
};

// The canonical code of a set of lengths: shorter codes first, equal lengths in symbol order.
struct Code {
    uint32_t bits = 0;
    uint32_t length = 0;  // 0: the symbol is not coded
};
std::vector<Code> canonicalCodes(const std::vector<uint8_t>& lengths);

// Writes blocks of a block method. The code-length code it sends gives every one of its 19
// symbols 5 bits, so that each code length travels as symbol length + 2 in 5 bits.
class BlockWriter {
public:
    explicit BlockWriter(uint32_t methodIndex);

    // A block header. Empty `distLengths` sends the distance code in single-value form with
    // `singleDistance`; `singleLiteral` >= 0 does the same for the literal/length code.
    void header(uint16_t blockSize, const std::vector<uint8_t>& literalLengths,
                const std::vector<uint8_t>& distLengths, int singleLiteral = -1,
                uint32_t singleDistance = 0);
    // The usual header: every literal/length symbol 9 bits, every distance symbol 5 bits.
    void flatHeader(uint16_t blockSize);

    void literal(uint8_t byte);
    void match(uint32_t length, uint32_t distanceValue);  // starts distanceValue + 1 back

    // Raw fields, for headers that no encoder would write.
    void auxLengths(const std::vector<uint8_t>& lengths, uint32_t countBits, int zeroCountAfter);

    BitWriter bits;

private:
    uint32_t distSymbols_;
    uint32_t distCountBits_;
    std::vector<Code> literals_;
    std::vector<Code> distances_;
};

struct Outcome {
    Bytes out;
    uint16_t crc = 0;
    bool corrupt = false;
    bool aborted = false;  // what run() returned
    uint32_t decodedCount = 0;
};

// One DecodeJob over `packed` in a temporary input file, with the method's own dictionary and
// `availPhys` as the free memory the host reported. Progress goes to `bar` with `total` as
// the 100 % mark (none when null). `trailing` bytes follow the member in the file, where the
// next header would stand.
Outcome runJob(uint32_t methodIndex, const Bytes& packed, uint32_t originalSize,
           uint32_t availPhys = 0, Host* bar = nullptr, uint32_t total = 0,
           const Bytes& trailing = Bytes());

// Points the bit reader at `bytes` (kept by the caller) and calls initBits.
void startBits(const Bytes& bytes);

}  // namespace blocks
