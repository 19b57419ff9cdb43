#include "support/block_streams.h"

#include "extract/extraction.h"

#include <stdio.h>

#include <stdexcept>

#include "decode/frame.h"
#include "extract/progress.h"

namespace blocks {

uint32_t dictBitsOf(uint32_t methodIndex) { return dictBitsFor((int32_t)methodIndex); }

uint32_t distSymbolsOf(uint32_t methodIndex)
{
    return methodIndex == LH7 ? 17 : methodIndex == LH6 ? 16 : 14;
}

void BitWriter::put(uint32_t value, uint32_t bits)
{
    for (uint32_t i = bits; i-- > 0;) {
        acc_ = acc_ << 1 | (i < 32 ? (value >> i) & 1 : 0);
        if (++used_ == 8) {
            bytes_.push_back((uint8_t)acc_);
            acc_ = 0;
            used_ = 0;
        }
    }
}

Bytes BitWriter::finish() const
{
    Bytes result = bytes_;
    if (used_) result.push_back((uint8_t)(acc_ << (8 - used_)));
    return result;
}

std::vector<Code> canonicalCodes(const std::vector<uint8_t>& lengths)
{
    std::vector<Code> codes(lengths.size());
    uint32_t next = 0;
    for (uint32_t len = 1; len <= 16; ++len) {
        for (size_t s = 0; s < lengths.size(); ++s) {
            if (lengths[s] == len) codes[s] = {next++, len};
        }
        next <<= 1;
    }
    return codes;
}

BlockWriter::BlockWriter(uint32_t methodIndex)
    : distSymbols_(distSymbolsOf(methodIndex)), distCountBits_(methodIndex >= LH6 ? 5 : 4)
{
}

void BlockWriter::auxLengths(const std::vector<uint8_t>& lengths, uint32_t countBits, int zeroCountAfter)
{
    bits.put((uint32_t)lengths.size(), countBits);
    for (size_t i = 0; i < lengths.size(); ++i) {
        uint32_t len = lengths[i];
        if (len < 7) {
            bits.put(len, 3);
        } else {
            bits.put(7, 3);
            // The ones and the bit that ends them; at 20 (13 ones) that bit is taken unseen.
            for (uint32_t k = 7; k < len; ++k) bits.put(1, 1);
            bits.put(0, 1);
        }
        if ((int)i + 1 == zeroCountAfter) bits.put(0, 2);
    }
}

void BlockWriter::header(uint16_t blockSize, const std::vector<uint8_t>& literalLengths,
                         const std::vector<uint8_t>& distLengths, int singleLiteral,
                         uint32_t singleDistance)
{
    bits.put(blockSize, 16);
    auxLengths(std::vector<uint8_t>(19, 5), 5, 3);
    if (singleLiteral >= 0) {
        bits.put(0, 9);
        bits.put((uint32_t)singleLiteral, 9);
        literals_.assign(510, Code());
    } else {
        bits.put((uint32_t)literalLengths.size(), 9);
        for (uint8_t len : literalLengths) bits.put(len == 0 ? 0 : len + 2u, 5);
        literals_ = canonicalCodes(literalLengths);
        literals_.resize(510);
    }
    if (distLengths.empty()) {
        bits.put(0, distCountBits_);
        bits.put(singleDistance, distCountBits_);
        distances_.assign(distSymbols_, Code());
    } else {
        auxLengths(distLengths, distCountBits_, -1);
        distances_ = canonicalCodes(distLengths);
        distances_.resize(distSymbols_);
    }
}

void BlockWriter::flatHeader(uint16_t blockSize)
{
    header(blockSize, std::vector<uint8_t>(510, 9), std::vector<uint8_t>(distSymbols_, 5));
}

void BlockWriter::literal(uint8_t byte)
{
    bits.put(literals_[byte].bits, literals_[byte].length);
}

void BlockWriter::match(uint32_t length, uint32_t distanceValue)
{
    uint32_t code = length + 253;
    bits.put(literals_.at(code).bits, literals_[code].length);
    uint32_t j = 0;
    while (j < 32 && (distanceValue >> j) != 0) ++j;  // value 0: symbol 0, else its bit length
    bits.put(distances_.at(j).bits, distances_[j].length);
    if (j > 1) bits.put(distanceValue - (1u << (j - 1)), j - 1);
}

Outcome runJob(uint32_t methodIndex, const Bytes& packed, uint32_t originalSize, uint32_t availPhys,
           Host* bar, uint32_t total, const Bytes& trailing)
{
    buildCrc16Table();
    resetProgress(bar, total);
    FILE* in = tmpfile();
    FILE* out = tmpfile();
    if (!in || !out) throw std::runtime_error("no temporary file");
    if (!packed.empty()) fwrite(packed.data(), 1, packed.size(), in);
    if (!trailing.empty()) fwrite(trailing.data(), 1, trailing.size(), in);
    rewind(in);
    decoder.availPhys = availPhys;
    decoder.corrupt = false;
    DecodeJob job(in, out, originalSize, (uint32_t)packed.size(), dictBitsOf(methodIndex), methodIndex,
                  reportDecodeProgress, nullptr);
    Outcome run;
    run.aborted = job.run();
    run.crc = decoder.crc16;
    run.corrupt = decoder.corrupt;
    run.decodedCount = decoder.decodedCount;
    resetProgress(nullptr, 0);  // the bar may not outlive this call
    fflush(out);
    long size = ftell(out);
    rewind(out);
    run.out.resize((size_t)size);
    if (size > 0 && fread(run.out.data(), 1, (size_t)size, out) != (size_t)size)
        throw std::runtime_error("short read of the output");
    fclose(in);
    fclose(out);
    return run;
}

void startBits(const Bytes& bytes)
{
    decoder.in.data = const_cast<uint8_t*>(bytes.data());
    decoder.in.capacity = (uint32_t)bytes.size();
    decoder.in.readPosition = 0;
    decoder.bits.packedRemaining = (uint32_t)bytes.size();
    decoder.corrupt = false;
    initBits();
}

}  // namespace blocks
