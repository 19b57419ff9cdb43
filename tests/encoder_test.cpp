// The encoder: whatever the input and however it arrives, our decoder gives back exactly the
// bytes that went in, for every method and level.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encode/lh_encoder.h"
#include "support/archives.h"
#include "support/block_streams.h"

namespace {

using archives::crc16;
using archives::randomBytes;
using archives::wordText;
using blocks::Bytes;

Bytes encode(const std::string& input, uint32_t method, int level, size_t piece)
{
    Bytes packed;
    LhEncoder encoder({(int)blocks::dictBitsOf(method), level},
                      [&](const uint8_t* data, size_t size) { packed.insert(packed.end(), data, data + size); });
    for (size_t at = 0; at < input.size(); at += piece)
        encoder.write((const uint8_t*)input.data() + at, std::min(piece, input.size() - at));
    encoder.finish();
    EXPECT_EQ(encoder.packedSize(), packed.size());
    return packed;
}

// Runs longer than a match, broken by single other bytes: matches at the 256-byte limit and
// at distance 1, and long matches far back once the pattern repeats.
std::string runs(size_t size)
{
    std::string s;
    for (uint32_t k = 0; s.size() < size; ++k) s += std::string(200 + (k * 97) % 700, (char)('a' + k % 3)) + (char)k;
    return s.substr(0, size);
}

TEST(Encoder, RoundTripsThroughOurDecoder)
{
    struct Input {
        const char* kind;
        std::string bytes;
        size_t piece;        // bytes per write call
        bool everyLevel;     // else only the quickest and the default level
    };
    const std::vector<Input> inputs = {
        {"empty", "", 1, true},
        {"one byte", "x", 1, true},
        {"all the same", std::string(300000, '\0'), 65536, true},
        {"random", randomBytes(100000, 1), 4093, true},
        {"text", wordText(200000, 2), 1 << 20, true},
        {"text byte by byte", wordText(3000, 3), 1, true},
        {"runs at the length limit", runs(300000), 100000, true},
        // Over 65,535 items: several blocks.
        {"random, many blocks", randomBytes(70000, 4) + wordText(150000, 5) + randomBytes(70000, 6), 300000, true},
        // Past the buffer (the dictionary and 1 MiB ahead): it slides, and the finders with it.
        {"beyond the buffer", wordText(1500000, 7) + runs(600000) + randomBytes(300000, 8), 1 << 16, false},
    };
    for (uint32_t method : {blocks::LH5, blocks::LH6, blocks::LH7}) {
        for (int level : {1, 3, ENCODER_DEFAULT_LEVEL, 9}) {
            for (const Input& input : inputs) {
                if (!input.everyLevel && level != 1 && level != ENCODER_DEFAULT_LEVEL) continue;
                SCOPED_TRACE(std::string(input.kind) + ", -lh" + std::to_string(method) + "-, level " +
                             std::to_string(level));
                Bytes packed = encode(input.bytes, method, level, input.piece);
                blocks::Outcome run = blocks::runJob(method, packed, (uint32_t)input.bytes.size());
                EXPECT_FALSE(run.corrupt);
                EXPECT_TRUE(std::string(run.out.begin(), run.out.end()) == input.bytes);
                EXPECT_EQ(run.crc, crc16(input.bytes));
            }
        }
    }
}

}  // namespace
