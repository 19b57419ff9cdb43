// -lh4- to -lh7-: members packed by jlha decode byte for byte with their CRC; hand-built
// blocks reach the forms an encoder rarely writes (blocks of 65,536 codes, single-value codes,
// extended length fields, codes past the 12-bit table, the -lh7- distances, incomplete
// codes); headers that no sound stream holds fail the member without reading or writing
// outside the decoder's arrays.
#include <gtest/gtest.h>

#include <functional>

#include "decode/frame.h"
#include "decode/methods.h"
#include "support/archives.h"
#include "support/block_streams.h"

using namespace blocks;

namespace {

// What a member should decode to: a ring of dictSize bytes that starts as spaces; a match
// copies byte by byte from (distance value + 1) back.
struct Expected {
    explicit Expected(uint32_t methodIndex)
        : mask((1u << dictBitsOf(methodIndex)) - 1), ring(mask + 1, 0x20)
    {
    }
    void literal(uint8_t b)
    {
        ring[out.size() & mask] = b;
        out.push_back(b);
    }
    void match(uint32_t length, uint32_t distance)
    {
        uint32_t from = ((uint32_t)out.size() - distance - 1) & mask;
        for (uint32_t k = 0; k < length; ++k) literal(ring[(from + k) & mask]);
    }
    uint32_t mask;
    Bytes ring;
    Bytes out;
};

// Both the writer and the expected output, fed in step.
struct Member {
    explicit Member(uint32_t methodIndex) : method(methodIndex), writer(methodIndex), expected(methodIndex) {}
    void literal(uint8_t b)
    {
        writer.literal(b);
        expected.literal(b);
    }
    void match(uint32_t length, uint32_t distance)
    {
        writer.match(length, distance);
        expected.match(length, distance);
    }
    Outcome run(uint32_t availPhys = 0) const
    {
        return runJob(method, writer.bits.finish(), (uint32_t)expected.out.size(), availPhys);
    }
    uint32_t method;
    BlockWriter writer;
    Expected expected;
};

void expectDecoded(const Member& m, const Outcome& run)
{
    EXPECT_FALSE(run.corrupt);
    EXPECT_FALSE(run.aborted);
    ASSERT_EQ(run.out.size(), m.expected.out.size());
    EXPECT_TRUE(run.out == m.expected.out);
    EXPECT_EQ(run.crc, archives::crc16(std::string(m.expected.out.begin(), m.expected.out.end())));
}

std::vector<uint8_t> lengthsWith(std::initializer_list<std::pair<uint32_t, uint8_t>> coded,
                                 size_t symbols = 510)
{
    std::vector<uint8_t> lengths(symbols, 0);
    for (auto [symbol, length] : coded) lengths[symbol] = length;
    return lengths;
}

// ---- hand-built blocks

TEST(BlockDecoder, BlockSizeZeroHolds65536Codes)
{
    Member m(LH5);
    m.writer.flatHeader(0);
    for (uint32_t i = 0; i < 65536; ++i) m.literal((uint8_t)(i * 31 + i / 256));
    // Read only once all 65,536 codes are done: a single-value block of five codes.
    m.writer.header(5, {}, {}, 'Z');
    for (int i = 0; i < 5; ++i) m.expected.literal('Z');
    expectDecoded(m, m.run());
}

TEST(BlockDecoder, SingleValueCodesTakeNoBits)
{
    Member m(LH5);
    m.writer.flatHeader(2);
    m.literal('q');
    m.match(4, 0);
    // Three codes of one match each (code 258: length 5) at distance value 0, no bits read;
    // the next header follows the header directly.
    m.writer.header(3, {}, {}, 258, 0);
    for (int i = 0; i < 3; ++i) m.expected.match(5, 0);
    m.writer.header(1, {}, {}, '!');
    m.expected.literal('!');
    expectDecoded(m, m.run());
}

TEST(BlockDecoder, CodesPastTheTableTakeOneTreeStepPerBit)
{
    Member m(LH6);
    // A 12-bit code is found in the table; 13- and 16-bit codes walk the tree.
    std::vector<uint8_t> lengths =
        lengthsWith({{'A', 1}, {'B', 2}, {'C', 12}, {'D', 13}, {'E', 13}, {'F', 16}, {'G', 16},
                     {256, 3}, {300, 14}});
    m.writer.header(12, lengths, std::vector<uint8_t>(16, 4));
    for (char c : std::string("ABCDEFG")) m.literal((uint8_t)c);
    m.match(3, 2);    // code 256
    m.match(47, 6);   // code 300, 14 bits
    m.literal('G');
    m.literal('D');
    m.literal('A');
    expectDecoded(m, m.run());
}

TEST(BlockDecoder, Lh7DistancesReachBack65535WithFifteenExtraBits)
{
    Member m(LH7);
    m.writer.flatHeader(40005);
    for (uint32_t i = 0; i < 40000; ++i) m.literal((uint8_t)(i * 7 + i / 251));
    m.match(10, 35000);   // symbol 16: 32,768 + 15 extra bits
    m.match(3, 1);        // symbol 1: value 1, no extra bits
    m.match(20, 32768);   // the smallest value of symbol 16
    m.match(4, 65535);    // the largest: before the first byte, so spaces
    m.match(256, 40100);  // the longest match
    expectDecoded(m, m.run());
}

TEST(BlockDecoder, EveryBlockMethodUsesItsDistanceCode)
{
    // 14, 14, 16 and 17 distance symbols with 4- or 5-bit counts; the largest value each has.
    for (uint32_t method : {LH4, LH5, LH6, LH7}) {
        SCOPED_TRACE(method);
        Member m(method);
        uint32_t largest = (1u << (distSymbolsOf(method) - 1)) - 1;
        m.writer.flatHeader(3);
        m.literal('x');
        m.literal('y');
        m.match(9, largest);
        expectDecoded(m, m.run());
    }
}

TEST(BlockDecoder, IncompleteCodeDecodesUncoveredPatternsAsSymbolZero)
{
    Member m(LH5);
    m.writer.header(7, lengthsWith({{'A', 1}, {'B', 2}}), {});
    m.literal('A');
    m.literal('B');
    // 11 is no code: symbol 0 (a literal 0 byte), whose length 0 takes no bits, so the
    // same pattern yields the rest of the block.
    m.writer.bits.put(3, 2);
    for (int i = 0; i < 5; ++i) m.expected.literal(0);
    expectDecoded(m, m.run());
}

TEST(BlockDecoder, UncoveredBranchBelowATableRootGivesSymbolZero)
{
    // B = 1000000000000 hangs one node below table entry 0x800; the pattern 1000000000001
    // takes that node's other branch, which no code built: symbol 0. Its length (0) minus
    // the 12 table bits counts as 244 in the 8-bit count, so 256 bits go in all.
    Member m(LH5);
    m.writer.header(3, lengthsWith({{'A', 1}, {'B', 13}}), {});
    m.literal('B');
    m.writer.bits.put(0x1001, 13);
    m.writer.bits.put(0, 256 - 13);
    m.expected.literal(0);
    m.literal('A');
    expectDecoded(m, m.run());
}

TEST(BlockDecoder, SoundStreamsDecodeTheSameWhateverTheReadAhead)
{
    Member m(LH5);
    std::vector<uint8_t> lengths(510, 10);
    lengths[' '] = 2;
    m.writer.header(3000, lengths, std::vector<uint8_t>(14, 4));
    for (uint32_t i = 0; i < 3000; ++i) {
        if (i % 3 == 0)
            m.match(3 + i % 200, i % 8000);
        else
            m.literal(i % 5 ? ' ' : (uint8_t)i);
    }
    // Refills of 1, 3, 7 and 1000 bytes split codes and headers at every bit position.
    for (uint32_t availPhys : {0u, 1u, 3u, 7u, 1000u}) {
        SCOPED_TRACE(availPhys);
        expectDecoded(m, m.run(availPhys));
    }
}

// ---- header fields, read directly

TEST(BlockHeader, LengthField7GrowsByEachOneBitUpToAZero)
{
    BitWriter w;
    w.put(3, 5);           // three lengths
    w.put(7, 3), w.put(0b110, 3);  // 9, in 6 bits
    w.put(7, 3), w.put(0, 1);      // 7, in 4 bits
    w.put(2, 3);                   // 2
    w.put(0, 2);           // no zero lengths after the third
    w.put(0xA5, 8);
    Bytes bytes = w.finish();
    startBits(bytes);
    readAuxLengths(19, 5, 3);
    EXPECT_FALSE(decoder.corrupt);
    EXPECT_EQ(decoder.auxLen[0], 9);
    EXPECT_EQ(decoder.auxLen[1], 7);
    EXPECT_EQ(decoder.auxLen[2], 2);
    for (int i = 3; i < 19; ++i) EXPECT_EQ(decoder.auxLen[i], 0) << i;
    EXPECT_EQ(getBits(8), 0xA5);
}

TEST(BlockHeader, ZeroCountFollowsTheThirdCodeLengthLengthOnly)
{
    {
        BitWriter w;
        w.put(6, 5);
        w.put(1, 3), w.put(2, 3), w.put(3, 3);
        w.put(3, 2);  // entries 3, 4 and 5 are zero; that makes six
        w.put(0x5A, 8);
        Bytes bytes = w.finish();
        decoder.auxLen[3] = decoder.auxLen[4] = decoder.auxLen[5] = 9;
        startBits(bytes);
        readAuxLengths(19, 5, 3);
        EXPECT_EQ(decoder.auxLen[2], 3);
        EXPECT_EQ(decoder.auxLen[3] + decoder.auxLen[4] + decoder.auxLen[5], 0);
        EXPECT_EQ(getBits(8), 0x5A);
    }
    {
        BitWriter w;
        w.put(5, 5);
        w.put(1, 3), w.put(2, 3), w.put(3, 3);
        w.put(0, 2);  // none
        w.put(4, 3), w.put(4, 3);
        w.put(0x5A, 8);
        Bytes bytes = w.finish();
        startBits(bytes);
        readAuxLengths(19, 5, 3);
        EXPECT_EQ(decoder.auxLen[3], 4);
        EXPECT_EQ(decoder.auxLen[4], 4);
        EXPECT_EQ(getBits(8), 0x5A);
    }
    {
        // The distance code has no zero count.
        BitWriter w;
        w.put(4, 4);
        w.put(1, 3), w.put(2, 3), w.put(3, 3), w.put(3, 3);
        w.put(0x5A, 8);
        Bytes bytes = w.finish();
        startBits(bytes);
        readAuxLengths(14, 4, -1);
        EXPECT_EQ(decoder.auxLen[3], 3);
        EXPECT_EQ(getBits(8), 0x5A);
    }
}

TEST(BlockHeader, CountAboveTheSymbolCountReadsAllAndUsesTheFirst)
{
    // 22 lengths for the 19-symbol code: the last three (one of them 20) take no part.
    BlockWriter b(LH5);
    std::vector<uint8_t> lengths(22, 5);
    lengths[21] = 20;
    b.auxLengths(lengths, 5, 3);
    b.bits.put(0x3C, 8);
    Bytes bytes = b.bits.finish();
    startBits(bytes);
    readAuxLengths(19, 5, 3);
    EXPECT_FALSE(decoder.corrupt);
    EXPECT_EQ(getBits(8), 0x3C);
}

TEST(BlockHeader, ZeroRunsOfTheCodeLengthCode)
{
    // Symbol 2 with 9 bits of 0 gives 20 zero lengths, symbol 1 with 4 bits 3 to 18.
    BitWriter w;
    BlockWriter b(LH5);
    b.auxLengths(std::vector<uint8_t>(19, 5), 5, 3);
    b.bits.put(25, 9);     // 25 literal lengths follow
    b.bits.put(2, 5), b.bits.put(0, 9);  // 20 zeros
    b.bits.put(5, 5);                    // one length of 3
    b.bits.put(1, 5), b.bits.put(0, 4);  // 3 zeros
    b.bits.put(4, 5);                    // one length of 2 -> 25 entries
    b.bits.put(0x77, 8);
    Bytes bytes = b.bits.finish();
    startBits(bytes);
    readAuxLengths(19, 5, 3);
    std::fill(std::begin(decoder.codeLen), std::end(decoder.codeLen), 9);
    readCodeLengths();
    EXPECT_FALSE(decoder.corrupt);
    for (int i = 0; i < 510; ++i) EXPECT_EQ(decoder.codeLen[i], i == 20 ? 3 : i == 24 ? 2 : 0) << i;
    EXPECT_EQ(getBits(8), 0x77);
}

// ---- headers no sound stream holds

struct Damage {
    const char* what;
    std::function<void(BlockWriter&)> write;
};

TEST(BlockDecoder, HeadersNamingWhatCannotBeFailTheMember)
{
    auto flatCodeLengths = [](BlockWriter& b) { b.auxLengths(std::vector<uint8_t>(19, 5), 5, 3); };
    auto flatDistances = [](BlockWriter& b) { b.auxLengths(std::vector<uint8_t>(14, 4), 4, -1); };
    std::vector<uint8_t> nineBits(510, 9);
    std::vector<Damage> cases = {
        {"a code-length length of 17",
         [](BlockWriter& b) {
             std::vector<uint8_t> l(19, 5);
             l[4] = 17;
             b.auxLengths(l, 5, 3);
         }},
        {"an over-full code-length code",
         [](BlockWriter& b) { b.auxLengths(std::vector<uint8_t>(19, 4), 5, 3); }},
        {"code-length codes all longer than 8 bits",
         [](BlockWriter& b) {
             std::vector<uint8_t> l(19, 0);
             l[0] = l[1] = 9;
             b.auxLengths(l, 5, 3);
         }},
        {"a code-length single value of 19",
         [](BlockWriter& b) { b.bits.put(0, 5), b.bits.put(19, 5); }},
        {"a code-length single value of 31",
         [](BlockWriter& b) { b.bits.put(0, 5), b.bits.put(31, 5); }},
        {"a literal/length single value of 510",
         [=](BlockWriter& b) { flatCodeLengths(b), b.bits.put(0, 9), b.bits.put(510, 9); }},
        {"a literal/length single value of 511",
         [=](BlockWriter& b) { flatCodeLengths(b), b.bits.put(0, 9), b.bits.put(511, 9); }},
        {"511 literal/length lengths",
         [=](BlockWriter& b) {
             flatCodeLengths(b);
             b.bits.put(511, 9);
             for (int i = 0; i < 511; ++i) b.bits.put(11, 5);
         }},
        {"a zero run of 531 past entry 509",
         [=](BlockWriter& b) {
             flatCodeLengths(b);
             b.bits.put(510, 9);
             b.bits.put(2, 5), b.bits.put(511, 9);
         }},
        {"a zero run of 11 from entry 500",
         [=](BlockWriter& b) {
             flatCodeLengths(b);
             b.bits.put(510, 9);
             for (int i = 0; i < 500; ++i) b.bits.put(11, 5);
             b.bits.put(1, 5), b.bits.put(8, 4);
         }},
        {"an over-full literal/length code",
         [=](BlockWriter& b) {
             flatCodeLengths(b);
             b.bits.put(3, 9);
             for (int i = 0; i < 3; ++i) b.bits.put(3, 5);  // three lengths of 1
         }},
        {"literal/length codes all longer than 12 bits",
         [=](BlockWriter& b) {
             flatCodeLengths(b);
             b.bits.put(2, 9);
             b.bits.put(15, 5), b.bits.put(15, 5);  // two lengths of 13
         }},
        {"literal/length lengths that are all zero",
         [=](BlockWriter& b) {
             flatCodeLengths(b);
             b.bits.put(30, 9);
             b.bits.put(2, 5), b.bits.put(10, 9);
         }},
        {"a distance single value of 14",
         [=](BlockWriter& b) {
             flatCodeLengths(b);
             b.bits.put(510, 9);
             for (uint8_t len : nineBits) b.bits.put(len + 2u, 5);
             b.bits.put(0, 4), b.bits.put(14, 4);
         }},
        {"a distance length of 18",
         [=](BlockWriter& b) {
             flatCodeLengths(b);
             b.bits.put(510, 9);
             for (uint8_t len : nineBits) b.bits.put(len + 2u, 5);
             std::vector<uint8_t> l(14, 4);
             l[13] = 18;
             b.auxLengths(l, 4, -1);
         }},
    };
    (void)flatDistances;
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.what);
        // A sound first block, then the damaged header, then bits that would decode.
        BlockWriter b(LH5);
        b.flatHeader(2);
        b.literal('o');
        b.literal('k');
        b.bits.put(1000, 16);
        c.write(b);
        for (int i = 0; i < 200; ++i) b.bits.put(0x55, 8);
        Outcome run = runJob(LH5, b.bits.finish(), 100000);
        EXPECT_TRUE(run.corrupt);
        EXPECT_FALSE(run.aborted);
        // Decoding stopped at the damage: what came before is written, nothing after it.
        EXPECT_EQ(run.out, Bytes({'o', 'k'}));
        EXPECT_EQ(run.decodedCount, 2u);
    }
}

TEST(BlockDecoder, DistanceCodeWithoutLengthsIsHarmlessInABlockWithoutMatches)
{
    Member m(LH5);
    m.writer.header(2, std::vector<uint8_t>(510, 9), std::vector<uint8_t>(14, 0));
    m.literal('a');
    m.literal('b');
    expectDecoded(m, m.run());
}

// ---- members packed by jlha

struct JlhaMember {
    uint32_t method;
    Bytes content;
    Bytes packed;
};

uint32_t le32(const std::string& b, size_t at)
{
    return (uint8_t)b[at] | (uint8_t)b[at + 1] << 8 | (uint8_t)b[at + 2] << 16 |
           (uint32_t)(uint8_t)b[at + 3] << 24;
}

// Level-0 members: the header's size byte and checksum, then the header; packed data behind.
std::vector<Bytes> packedMembersOf(const std::string& archive)
{
    std::vector<Bytes> members;
    size_t at = 0;
    while (at + 22 < archive.size() && archive[at] != 0) {
        size_t data = at + 2 + (uint8_t)archive[at];
        uint32_t packedSize = le32(archive, at + 7);
        if (data + packedSize > archive.size()) break;
        members.emplace_back(archive.begin() + (long)data, archive.begin() + (long)(data + packedSize));
        at = data + packedSize;
    }
    return members;
}

class JlhaMembers : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        members_ = new std::vector<JlhaMember>();
        std::string text = archives::wordText(900000, 5);
        std::string mixed = text + archives::randomBytes(80000, 6) + text.substr(0, 120000);
        // Every byte once: all literals 8 bits long, which an encoder sends as a code-length
        // code of one value.
        std::string everyByte;
        for (uint32_t i = 0; i < 256; ++i) everyByte += (char)(i * 167 + 13);
        archives::ArchivePlan plan;
        plan.fileName = "block-methods.lzh";
        for (uint32_t method : {LH4, LH5, LH6, LH7}) {
            uint32_t dictSize = 1u << dictBitsOf(method);
            for (size_t size : {(size_t)0, (size_t)1, (size_t)dictSize, (size_t)dictSize + 1, mixed.size(),
                                std::string::npos}) {
                archives::Member member;
                member.method = "-lh" + std::to_string(method) + "-";
                member.level = 0;
                member.name = "m" + std::to_string(plan.members.size());
                member.content = size == std::string::npos ? everyByte : mixed.substr(0, size);
                plan.members.push_back(member);
                members_->push_back({method, Bytes(member.content.begin(), member.content.end()), {}});
            }
        }
        std::string error = archives::jlhaMissing();
        if (!error.empty()) {
            skip_ = error;
            return;
        }
        std::vector<archives::BuiltArchive> built = archives::makeArchives({plan}, error);
        ASSERT_FALSE(built.empty()) << error;
        std::vector<Bytes> packed = packedMembersOf(archives::readFile(built[0].path));
        ASSERT_EQ(packed.size(), members_->size());
        for (size_t i = 0; i < packed.size(); ++i) (*members_)[i].packed = packed[i];
    }
    static void TearDownTestSuite()
    {
        delete members_;
        members_ = nullptr;
    }
    void SetUp() override
    {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
    }

    static std::vector<JlhaMember>* members_;
    static std::string skip_;
};

std::vector<JlhaMember>* JlhaMembers::members_ = nullptr;
std::string JlhaMembers::skip_;

TEST_F(JlhaMembers, DecodeByteForByteWithTheirCrc)
{
    for (const JlhaMember& m : *members_) {
        SCOPED_TRACE("-lh" + std::to_string(m.method) + "- of " + std::to_string(m.content.size()) + " bytes");
        Outcome run = runJob(m.method, m.packed, (uint32_t)m.content.size());
        EXPECT_FALSE(run.corrupt);
        EXPECT_FALSE(run.aborted);
        EXPECT_TRUE(run.out == m.content);
        EXPECT_EQ(run.crc, archives::crc16(std::string(m.content.begin(), m.content.end())));
    }
}

TEST_F(JlhaMembers, SmallReadAheadRefillsGiveTheSameBytes)
{
    for (const JlhaMember& m : *members_) {
        if (m.content.size() < 100000) continue;
        SCOPED_TRACE(m.method);
        for (uint32_t availPhys : {1u, 4093u}) {
            Outcome run = runJob(m.method, m.packed, (uint32_t)m.content.size(), availPhys);
            EXPECT_TRUE(run.out == m.content) << "read-ahead " << availPhys;
        }
    }
}

TEST_F(JlhaMembers, BlockOperationsThroughTheMethodTableGiveTheSameCodes)
{
    // The frame's loop for -lh4- to -lh7- keeps the bit reader in registers; the operations
    // in DecodeSetTable work on the context. Both must take the same bits.
    for (const JlhaMember& m : *members_) {
        if (m.content.size() < 100000 || m.method != LH6) continue;
        decoder.dictBits = (uint16_t)dictBitsOf(m.method);
        decoder.in.data = const_cast<uint8_t*>(m.packed.data());
        decoder.in.capacity = (uint32_t)m.packed.size();
        decoder.in.readPosition = 0;
        decoder.bits.packedRemaining = (uint32_t)m.packed.size();
        decoder.corrupt = false;
        const DecodeSet& set = DecodeSetTable[LH6];
        set.startDecode();
        Expected expected(LH6);
        while (expected.out.size() < m.content.size()) {
            uint16_t code = set.nextCode();
            if (code < 256)
                expected.literal((uint8_t)code);
            else
                expected.match(code - 253u, set.nextDistance());
        }
        decoder.in.data = nullptr;
        decoder.in.capacity = 0;
        EXPECT_FALSE(decoder.corrupt);
        expected.out.resize(m.content.size());
        EXPECT_TRUE(expected.out == m.content);
    }
}

}  // namespace
