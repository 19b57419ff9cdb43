// The decoder frame: the CRC, the bit reader over its read-ahead buffer, the dictionary as
// output buffer (block writes, the space fill, matches across the wrap), progress and abort
// after every code, and the jobs the frame refuses to run.
#include <gtest/gtest.h>

#include <random>

#include "decode/frame.h"
#include "extract/progress.h"
#include "support/archives.h"
#include "support/block_streams.h"
#include "support/fake_host.h"

using namespace blocks;

namespace {

uint16_t bytewiseCrc(const Bytes& data)
{
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

TEST(Crc16, MatchesCrc16ArcForEveryLengthAndStart)
{
    buildCrc16Table();
    const uint8_t check[] = "123456789";
    EXPECT_EQ(updateCrc16(0, check, 9), 0xBB3D);  // the CRC-16/ARC check value
    std::mt19937 rng(3);
    Bytes data(300);
    for (uint8_t& b : data) b = (uint8_t)rng();
    // Every length through the table and the 16-byte folding ways, and their seams.
    for (uint32_t length = 0; length <= 300; ++length) {
        Bytes piece(data.begin(), data.begin() + length);
        EXPECT_EQ(updateCrc16(0, piece.data(), length), bytewiseCrc(piece)) << length;
    }
    // Running over pieces gives the CRC of the whole.
    uint16_t crc = updateCrc16(0, data.data(), 13);
    crc = updateCrc16(crc, data.data() + 13, 287);
    EXPECT_EQ(crc, bytewiseCrc(data));
}

// ---- bit reader

TEST(BitReader, TakesBitsMostSignificantFirstAndZerosPastTheEnd)
{
    std::mt19937 rng(11);
    Bytes bytes(64);
    for (uint8_t& b : bytes) b = (uint8_t)rng();
    auto bitAt = [&](uint64_t i) { return i / 8 < bytes.size() ? (bytes[i / 8] >> (7 - i % 8)) & 1 : 0; };
    startBits(bytes);
    EXPECT_EQ(decoder.bits.bitBuffer, bytes[0] << 8 | bytes[1]);
    uint64_t at = 0;
    // Widths 0 to 16 in turn, running well past the 512 bits of data.
    for (uint32_t i = 0; i < 200; ++i) {
        uint32_t n = i % 17;
        uint32_t expected = 0;
        for (uint32_t k = 0; k < n; ++k) expected = expected << 1 | bitAt(at + k);
        ASSERT_EQ(getBits((uint8_t)n), expected) << "at bit " << at;
        at += n;
        uint32_t look = 0;
        for (uint32_t k = 0; k < 16; ++k) look = look << 1 | bitAt(at + k);
        ASSERT_EQ(decoder.bits.bitBuffer, look) << "look-ahead at bit " << at;
    }
    EXPECT_EQ(decoder.bits.packedRemaining, 0u);
    decoder.in.data = nullptr;
    decoder.in.capacity = 0;
}

TEST(BitReader, FillBitsTakesAnyCount)
{
    Bytes bytes(100);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (uint8_t)i;
    startBits(bytes);
    fillBits(0);
    EXPECT_EQ(decoder.bits.bitBuffer, 0x0001);
    fillBits(40);  // five bytes
    EXPECT_EQ(decoder.bits.bitBuffer, 0x0506);
    fillBits(200);  // 25 more
    EXPECT_EQ(decoder.bits.bitBuffer, 0x1E1F);
    fillBits(4);
    EXPECT_EQ(decoder.bits.bitBuffer, 0xE1F2);
    fillBits(255);  // to bit 499
    EXPECT_EQ(decoder.bits.bitBuffer, 0xF1FA);  // bytes 3E 3F 40 from their fourth bit
    fillBits(255);
    fillBits(255);  // past the 800 bits of data
    EXPECT_EQ(decoder.bits.bitBuffer, 0);
    EXPECT_EQ(decoder.bits.packedRemaining, 0u);
    decoder.in.data = nullptr;
    decoder.in.capacity = 0;
}

TEST(InputBuffer, EmptyBufferGivesZeroWithoutReading)
{
    decoder.in.data = nullptr;
    decoder.in.capacity = 0;
    decoder.in.readPosition = 0;
    decoder.input = nullptr;  // a read would crash
    EXPECT_EQ(nextByte(), 0);
    EXPECT_EQ(nextByte(), 0);
}

// ---- jobs

TEST(DecodeJob, RefusesMethodsWithoutOperations)
{
    for (uint32_t methodIndex : {0u, 10u, 11u, 12u, 999u}) {
        decoder.crc16 = 0x1234;  // from an earlier member
        Outcome run = runJob(methodIndex, Bytes(20, 0xFF), 100);
        EXPECT_EQ(run.crc, 0) << methodIndex;
        EXPECT_TRUE(run.corrupt) << methodIndex;
        EXPECT_FALSE(run.aborted);
        EXPECT_TRUE(run.out.empty());
    }
}

TEST(DecodeJob, NothingToProduceWritesNothing)
{
    BlockWriter b(LH5);
    b.flatHeader(1);
    b.literal('x');
    Outcome run = runJob(LH5, b.bits.finish(), 0);
    EXPECT_FALSE(run.corrupt);
    EXPECT_FALSE(run.aborted);
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(run.crc, 0);
}

TEST(DecodeJob, NoPackedBytesDecodeFromZeroBits)
{
    // All-zero bits: a block of 65,536 codes whose every code is the single value 0.
    Outcome run = runJob(LH5, Bytes(), 10);
    EXPECT_FALSE(run.corrupt);
    EXPECT_EQ(run.out, Bytes(10, 0));
    EXPECT_EQ(run.crc, bytewiseCrc(Bytes(10, 0)));
}

TEST(DecodeJob, OutputOfWholeDictionariesIsWrittenOnce)
{
    // -lh4-: two dictionaries of 4,096 bytes exactly; the second leaves inside the loop.
    BlockWriter b(LH4);
    b.flatHeader(8192 - 200 + 2);
    Bytes expected;
    for (uint32_t i = 0; i < 8192 - 200; ++i) {
        b.literal((uint8_t)(i % 251));
        expected.push_back((uint8_t)(i % 251));
    }
    b.match(100, 250);
    b.match(100, 250);
    for (int k = 0; k < 200; ++k) expected.push_back(expected[expected.size() - 251]);
    Outcome run = runJob(LH4, b.bits.finish(), 8192);
    EXPECT_EQ(run.out.size(), 8192u);
    EXPECT_TRUE(run.out == expected);
    EXPECT_EQ(run.crc, bytewiseCrc(expected));
}

TEST(DecodeJob, MatchesReachBeforeTheFirstByteAndAcrossTheWrap)
{
    BlockWriter b(LH4);
    b.flatHeader(4200);
    Bytes expected;
    b.match(5, 100);  // nothing produced yet: spaces
    expected.insert(expected.end(), 5, ' ');
    b.literal('a');
    expected.push_back('a');
    b.match(7, 0);  // distance value 0 repeats the last byte
    expected.insert(expected.end(), 7, 'a');
    for (uint32_t i = 0; expected.size() < 4090; ++i) {
        b.literal((uint8_t)i);
        expected.push_back((uint8_t)i);
    }
    // A match that writes the dictionary out half-way and goes on at index 0, reading
    // bytes from before the wrap.
    b.match(30, 99);
    for (int k = 0; k < 30; ++k) expected.push_back(expected[expected.size() - 100]);
    // And one whose source lies just ahead of writePos: the oldest bytes of the dictionary.
    b.match(10, 4095 - 5);
    for (int k = 0; k < 10; ++k) expected.push_back(expected[expected.size() - 4091]);
    // -lh4-'s distance code reaches 8,191: a distance names a byte modulo the dictionary.
    b.match(6, 4096 + 9);
    for (int k = 0; k < 6; ++k) expected.push_back(expected[expected.size() - 10]);
    Outcome run = runJob(LH4, b.bits.finish(), (uint32_t)expected.size());
    EXPECT_FALSE(run.corrupt);
    EXPECT_TRUE(run.out == expected);
}

TEST(DecodeJob, AMatchRunningPastTheOriginalSizeIsCopiedWhole)
{
    BlockWriter b(LH5);
    b.flatHeader(2);
    b.literal('r');
    b.match(50, 0);
    Outcome run = runJob(LH5, b.bits.finish(), 10);
    EXPECT_EQ(run.out, Bytes(51, 'r'));
    EXPECT_EQ(run.decodedCount, 51u);
    // An encoder never ends past the size: without this verdict a member whose header
    // carries no CRC would pass with the extra bytes.
    EXPECT_TRUE(run.corrupt);
    EXPECT_FALSE(runJob(LH5, b.bits.finish(), 51).corrupt);
}

// Progress after every code, abort within one code.
class FrameProgress : public ::testing::Test {
protected:
    void TearDown() override { RunFlag.store(1); }
};

TEST_F(FrameProgress, BarFollowsTheBytesOfEveryCode)
{
    BlockWriter b(LH5);
    b.flatHeader(4);
    b.literal('a');
    b.match(3, 0);   // 4 bytes
    b.literal('b');  // 5
    b.match(5, 1);   // 10
    FakeHost host;
    Outcome run = runJob(LH5, b.bits.finish(), 10, 0, &host, 10);
    EXPECT_EQ(host.only("bar"), std::vector<std::string>({"bar 10", "bar 40", "bar 50", "bar 100"}));
    EXPECT_FALSE(run.aborted);
}

TEST_F(FrameProgress, AbortStopsAfterTheCodeAndDropsThePartialBlock)
{
    // -lh4-: 10,000 literals, the bar at 1 % per 100 bytes; Abort when it shows 50.
    BlockWriter b(LH4);
    b.flatHeader(10000);
    Bytes content;
    for (uint32_t i = 0; i < 10000; ++i) {
        b.literal((uint8_t)(i * 13));
        content.push_back((uint8_t)(i * 13));
    }
    FakeHost host;
    host.onBar = [](uint32_t position) {
        if (position == 50) RunFlag.store(0);
    };
    Outcome run = runJob(LH4, b.bits.finish(), 10000, 0, &host, 10000);
    EXPECT_TRUE(run.aborted);
    EXPECT_EQ(run.decodedCount, 5000u);
    // Only whole rings have left (none, or the first 4,096 bytes where the ring is the
    // dictionary); the bytes decoded after the last of them are dropped.
    EXPECT_LT(run.out.size(), 5000u);
    EXPECT_EQ(run.out, Bytes(content.begin(), content.begin() + run.out.size()));
    EXPECT_EQ(host.only("bar").back(), "bar 50");
}

TEST(DecodeJob, StopsOnceTheOutputRefusesBytes)
{
    FILE* full = fopen("/dev/full", "wb");
    if (!full) GTEST_SKIP() << "no /dev/full";
    setvbuf(full, nullptr, _IONBF, 0);
    BlockWriter b(LH4);
    b.flatHeader(2);
    b.literal('w');
    b.match(256, 0);
    Bytes packed = b.bits.finish();
    FILE* in = tmpfile();
    fwrite(packed.data(), 1, packed.size(), in);
    rewind(in);
    buildCrc16Table();
    resetProgress(nullptr, 0);
    decoder.availPhys = 0;
    decoder.corrupt = false;
    // 500,000 bytes asked for, but the first piece of output cannot be written.
    DecodeJob job(in, full, 500000, (uint32_t)packed.size(), 12, LH4);
    EXPECT_FALSE(job.run());
    EXPECT_TRUE(decoder.writeFailed);
    // Stopped at the first write: one ring of the block methods (128 KiB) and one match.
    EXPECT_LE(decoder.decodedCount, 128u * 1024 + 256u);
    fclose(in);
    fclose(full);
}

}  // namespace

TEST(DecodeJob, AClaimedSizeThePackedDataCannotMakeEndsWithTheData)
{
    // A 2.6 KB member once claimed 2.9 GB and kept decoding zero bits for minutes. Zero
    // bytes are valid codes for most methods (single-value blocks, adaptive codes, LArc
    // matches): each member must stop within a few bytes of its data, damaged, whatever
    // size its header claims; -lz5- must not take the bytes behind it either.
    const uint32_t CLAIMED = 3000000000u;
    std::mt19937 random(5);
    Bytes noise(2600);
    for (uint8_t& b : noise) b = (uint8_t)random();
    for (uint32_t method = 1; method <= 9; ++method) {
        for (const Bytes& packed : {Bytes(64, 0), noise}) {
            Outcome run = runJob(method, packed, CLAIMED, 0, nullptr, 0, Bytes(4096, 0));
            EXPECT_TRUE(run.corrupt) << "method " << method << ", " << packed.size() << " bytes";
            // The most any method makes of a packed byte is below 2.6 MB (single-value
            // -lh4- to -lh7- blocks); with the slack this bounds what the rest can make.
            EXPECT_LT(run.out.size(), (packed.size() + 64) * 2600000) << "method " << method;
        }
    }
}

TEST(DecodeJob, AMemberCutOffByTheEndOfTheFileIsDamaged)
{
    // 3,000 literals packed, but the file ends 100 bytes early. Headers without a CRC rely
    // on this: the cut must fail the member by itself, and the missing bytes read as 0.
    BlockWriter b(LH5);
    b.flatHeader(3000);
    for (int i = 0; i < 3000; ++i) b.literal((uint8_t)(i * 7));
    Bytes packed = b.bits.finish();
    for (uint32_t capacity : {0u, 64u}) {  // one read of the whole member, and many refills
        FILE* input = std::tmpfile();
        std::fwrite(packed.data(), 1, packed.size() - 100, input);
        std::rewind(input);
        FILE* output = std::fopen("/dev/null", "wb");
        decoder.corrupt = false;
        decoder.availPhys = capacity;
        DecodeJob job(input, output, 3000, (uint32_t)packed.size(), 13, LH5);
        job.run();
        EXPECT_TRUE(decoder.corrupt) << capacity;
        std::fclose(input);
        std::fclose(output);
    }
    decoder.availPhys = 0;

    // Reading past the member's end is no damage: the last member of a file is followed by
    // nothing at all.
    Outcome whole = runJob(LH5, packed, 3000, 64);
    EXPECT_FALSE(whole.corrupt);
}


// A member of more than 4 GiB: 257 single-value blocks of 65,535 matches of 256 spaces (the
// dictionary's fill), then "END", in 22 KB. The count, its stop, the packed size and the
// bar run in 64 bits: a 32-bit count would see 2^32 + 5 as 5, a packed size of 2^32 + n as n.
// A claim of a MiB more runs out of packed data (the zero bits of the slack make a few blocks
// of zeros at most).
TEST(DecodeJob, AMemberPastFourGiBCountsIn64Bits)
{
    const uint32_t BLOCKS = 257, RUN = 65535 * 256;
    BlockWriter b(LH5);
    for (uint32_t k = 0; k < BLOCKS; ++k) b.header(65535, {}, {}, 256 + 253, 0);
    b.flatHeader(3);
    for (char c : {'E', 'N', 'D'}) b.literal((uint8_t)c);
    Bytes packed = b.bits.finish();
    const uint64_t total = (uint64_t)BLOCKS * RUN + 3;
    buildCrc16Table();
    Bytes spaces(RUN, 0x20);
    uint16_t crc = 0;
    for (uint32_t k = 0; k < BLOCKS; ++k) crc = updateCrc16(crc, spaces.data(), RUN);
    crc = updateCrc16(crc, (const uint8_t*)"END", 3);

    struct Case {
        uint64_t original, packed;
        bool damaged;
    };
    const uint64_t FOUR_GIB = 1ull << 32;
    for (Case c : {Case{total, packed.size(), false}, Case{total + (1u << 20), packed.size(), true},
                   Case{FOUR_GIB + 5, packed.size(), true}, Case{total, packed.size() + FOUR_GIB, true}}) {
        FakeHost bar;
        resetProgress(&bar, c.original);
        FILE* input = std::tmpfile();
        std::fwrite(packed.data(), 1, packed.size(), input);
        std::rewind(input);
        FILE* output = std::fopen("/dev/null", "wb");
        decoder.corrupt = false;
        DecodeJob job(input, output, c.original, c.packed, 13, LH5, reportDecodeProgress, nullptr);
        EXPECT_FALSE(job.run());
        EXPECT_EQ(decoder.corrupt, c.damaged) << c.original << " " << c.packed;
        if (!c.damaged) {
            EXPECT_EQ(decoder.decodedCount, total);
            EXPECT_EQ(decoder.crc16, crc);
            std::vector<std::string> moves = bar.only("bar");
            EXPECT_EQ(moves.size(), 100u);
            EXPECT_EQ(moves.empty() ? "" : moves.back(), "bar 100");
        }
        resetProgress(nullptr, 0);
        std::fclose(input);
        std::fclose(output);
    }
}
