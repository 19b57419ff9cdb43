// -lh3-: members packed by jlha decode byte for byte; hand-built blocks reach the forms that
// an encoder rarely writes (single codes, preset and sent distance lengths, 16-bit codes,
// the escape's 8 extra bits, blocks of 65,536 codes); single codes that name no symbol fail
// the member instead of steering the decoder into trees that were never built.
#include <gtest/gtest.h>

#include <stdexcept>

#include "decode/frame.h"
#include "decode/lh3.h"
#include "support/legacy_support.h"

using namespace legacy;

namespace {

const uint32_t CHAR_SYMBOLS = 286;
const uint32_t DIST_CODES = 128;

using CodeMap = std::vector<blocks::Code>;

// Writes -lh3- blocks and keeps a reference copy of the output they stand for.
class Lh3Writer {
public:
    void singleChar(uint16_t blockSize, uint32_t c)
    {
        w.put(blockSize, 16);
        for (int i = 0; i < 3; ++i) w.put(1, 1), w.put(0, 4);  // three lengths of 1
        w.put(c, 9);
        chars.clear();
        single = c;
    }
    void charCode(uint16_t blockSize, const std::vector<uint8_t>& lengths)
    {
        w.put(blockSize, 16);
        for (uint32_t i = 0; i < CHAR_SYMBOLS; ++i) {
            if (lengths[i]) {
                w.put(1, 1);
                w.put(lengths[i] - 1u, 4);
            } else {
                w.put(0, 1);
            }
        }
        chars = blocks::canonicalCodes(lengths);
        single = -1;
    }
    void presetDistances()
    {
        w.put(0, 1);
        std::vector<uint8_t> lengths(DIST_CODES);
        // Preset row 1 as a table: code 0: 2 bits; 1-2: 4; 3-5: 5; 6-12: 6; 13-30: 7;
        // 31-77: 8; 78-127: 9.
        for (uint32_t i = 0; i < DIST_CODES; ++i)
            lengths[i] = i == 0 ? 2 : i <= 2 ? 4 : i <= 5 ? 5 : i <= 12 ? 6 : i <= 30 ? 7 : i <= 77 ? 8 : 9;
        dists = blocks::canonicalCodes(lengths);
        singleDist = -1;
    }
    void sentDistances(const std::vector<uint8_t>& lengths)
    {
        w.put(1, 1);
        for (uint32_t i = 0; i < DIST_CODES; ++i) w.put(lengths[i], 4);
        dists = blocks::canonicalCodes(lengths);
        singleDist = -1;
    }
    void singleDistance(uint32_t c)
    {
        w.put(1, 1);
        for (int i = 0; i < 3; ++i) w.put(1, 4);
        w.put(c, 7);
        singleDist = (int)c;
    }

    void literal(uint8_t c)
    {
        putChar(c);
        out.push_back(c);
    }
    // length 3 to 287; distance value = code * 64 + low
    void match(uint32_t length, uint32_t distCode, uint32_t low)
    {
        if (length >= 32) {
            putChar(285);
            w.put(length - 32, 8);
        } else {
            putChar(length + 253);
        }
        if (singleDist < 0) putCode(dists, distCode);
        w.put(low, 6);
        uint32_t distance = distCode * 64 + low;
        for (uint32_t k = 0; k < length; ++k) {
            long from = (long)out.size() - (long)distance - 1;
            out.push_back(from >= 0 ? out[(size_t)from] : ' ');
        }
    }

    BitWriter w;
    Bytes out;

private:
    void putChar(uint32_t symbol)
    {
        if (single < 0) putCode(chars, symbol);
    }
    void putCode(const CodeMap& codes, uint32_t symbol)
    {
        const blocks::Code& code = codes.at(symbol);
        if (code.length == 0) throw std::logic_error("symbol without a code");
        w.put(code.bits, code.length);
    }
    CodeMap chars, dists;
    int single = -1;
    int singleDist = -1;
};

// Literals 0-255 in 9 bits and every length symbol in 6 bits: an incomplete but valid code.
std::vector<uint8_t> wideCharLengths()
{
    std::vector<uint8_t> lengths(CHAR_SYMBOLS, 9);
    for (uint32_t s = 256; s < CHAR_SYMBOLS; ++s) lengths[s] = 6;
    return lengths;
}

void expectOutput(const Lh3Writer& lw, const std::string& what)
{
    Decoded out = decode(LH3, lw.w.finish(), (uint32_t)lw.out.size());
    EXPECT_FALSE(out.corrupt) << what;
    EXPECT_EQ(out.crc, crc16Of(lw.out)) << what;
    EXPECT_TRUE(out.bytes == lw.out) << what << ": output differs";
}

}  // namespace

TEST(Lh3Method, MembersPackedByJlhaDecodeExactly)
{
    NamedInputs inputs = commonInputs(10);
    // One repeated byte makes blocks whose only distance code is 0: jlha sends it as a single
    // code, whose width an earlier reading got wrong.
    inputs.push_back({"200,000 zeros", Bytes(200000, 0)});
    inputs.push_back({"70,000 times 'a'", Bytes(70000, 'a')});
    std::vector<std::pair<uint32_t, Bytes>> request;
    for (const auto& input : inputs) request.push_back({LH3, input.second});
    std::vector<PackedMember> members = packWithJlha(request);
    for (size_t i = 0; i < members.size(); ++i)
        EXPECT_TRUE(decodesTo(members[i], inputs[i].second)) << inputs[i].first;
}

TEST(Lh3Method, SingleCodeBlocksTakeNoCodeBitsButKeepTheEscapeAndDistanceBits)
{
    Lh3Writer lw;
    std::vector<uint8_t> abc(CHAR_SYMBOLS, 0);
    abc['a'] = 1, abc['b'] = 2, abc['c'] = 2;
    lw.charCode(3, abc);
    lw.presetDistances();
    lw.literal('a'), lw.literal('b'), lw.literal('c');
    // Every code is 285 and every distance code 0: only 8 extra bits and 6 raw bits each.
    lw.singleChar(2, 285);
    lw.singleDistance(0);
    lw.match(36, 0, 2);
    lw.match(287, 0, 2);
    // A single literal code repeats that byte without reading a bit.
    lw.singleChar(4, 'q');
    lw.presetDistances();
    for (int i = 0; i < 4; ++i) lw.literal('q');
    expectOutput(lw, "single codes");
}

TEST(Lh3Method, PresetAndSentDistanceLengthsReachEveryDistance)
{
    Lh3Writer lw;
    lw.charCode(5203, wideCharLengths());
    lw.presetDistances();
    for (uint32_t i = 0; i < 5200; ++i) lw.literal((uint8_t)(i * 31 % 251));
    lw.match(10, 81, 10);   // a 9-bit preset code: through the overflow tree
    lw.match(32, 127, 63);  // distance value 8,191: the whole dictionary back
    lw.match(3, 0, 0);      // the 2-bit code 0
    // Sent lengths up to 15 bits: codes 0-13 take 1 to 14 bits, 14 and 15 take 15.
    std::vector<uint8_t> chain(DIST_CODES, 0);
    for (uint32_t i = 0; i < 15; ++i) chain[i] = (uint8_t)(i + 1);
    chain[15] = 15;
    lw.charCode(40, wideCharLengths());
    lw.sentDistances(chain);
    for (uint32_t code = 0; code < 16; ++code) lw.match(3 + code, code, code * 4 % 64);
    for (uint32_t i = 0; i < 24; ++i) lw.literal((uint8_t)('A' + i));
    expectOutput(lw, "distance codes");
}

TEST(Lh3Method, CharacterCodesOf16BitsAndLengthField15)
{
    // Symbols 'A' to 'Q' get lengths 1 to 16 and 16 (flag 1, value 15 for the longest):
    // the last codes pass 12 bits of table and four tree steps.
    std::vector<uint8_t> chain(CHAR_SYMBOLS, 0);
    for (uint32_t i = 0; i < 16; ++i) chain['A' + i] = (uint8_t)(i + 1);
    chain['Q'] = 16;
    Lh3Writer lw;
    lw.charCode(34, chain);
    lw.presetDistances();
    for (int round = 0; round < 2; ++round)
        for (char c = 'Q'; c >= 'A'; --c) lw.literal((uint8_t)c);
    expectOutput(lw, "16-bit codes");
}

TEST(Lh3Method, BlockSizeZeroMeans65536Codes)
{
    Lh3Writer lw;
    lw.singleChar(0, 'z');
    lw.presetDistances();
    for (int i = 0; i < 65536; ++i) lw.literal('z');
    lw.singleChar(1, 'y');  // read only after 65,536 codes
    lw.presetDistances();
    lw.literal('y');
    expectOutput(lw, "65,536 codes");
}

TEST(Lh3Method, SingleCharacterCodesThatNameNoSymbolFailTheMember)
{
    // Nine bits reach past the 286 characters; seven bits name every distance code.
    for (uint32_t c : {286u, 300u, 511u}) {
        Lh3Writer lw;
        lw.singleChar(10, c);
        lw.presetDistances();
        Decoded out = decode(LH3, lw.w.finish(), 1000);
        EXPECT_TRUE(out.corrupt) << "character code " << c;
    }
    // The highest single codes still decode.
    Lh3Writer lw;
    lw.singleChar(1, 'k');
    lw.presetDistances();
    lw.literal('k');
    lw.singleChar(1, 285);
    lw.singleDistance(127);
    lw.match(40, 127, 63);
    expectOutput(lw, "single codes 285 and 127");
}

TEST(Lh3Method, OverfullCodesFailTheMemberAndTheNextMemberStartsClean)
{
    // Every character symbol 1 bit long (the first three flagged 0 so that this is no single
    // code) cannot be a prefix code.
    BitWriter w;
    w.put(100, 16);
    for (uint32_t i = 0; i < CHAR_SYMBOLS; ++i) {
        if (i < 3) {
            w.put(0, 1);
        } else {
            w.put(1, 1);
            w.put(0, 4);
        }
    }
    w.put(0, 1);
    Decoded bad = decode(LH3, w.finish(), 500);
    EXPECT_TRUE(bad.corrupt);

    // Random data leaves whatever tables it leaves; the next member rebuilds its own.
    for (uint32_t seed = 0; seed < 6; ++seed) {
        Decoded junk = decode(LH3, randomBytes(4000, 40 + seed), 40000, randomBytes(64, seed));
        EXPECT_LT(junk.bytes.size(), 40000u + 288);
    }
    Lh3Writer lw;
    lw.charCode(6, wideCharLengths());
    lw.presetDistances();
    lw.literal('o'), lw.literal('k');
    lw.match(20, 0, 1);
    for (int i = 0; i < 3; ++i) lw.literal('!');
    expectOutput(lw, "after damaged members");
}

TEST(Lh3Method, PresetRowsGiveTheDocumentedLengths)
{
    // Row 0 serves -lh1- with 64 codes, row 1 -lh3- with 128.
    decoder.distCodeCount = 64;
    presetDistLengths(0);
    for (uint32_t i = 0; i < 64; ++i) {
        uint32_t expected = i == 0 ? 3 : i <= 3 ? 4 : i <= 11 ? 5 : i <= 23 ? 6 : i <= 47 ? 7 : 8;
        EXPECT_EQ(decoder.auxLen[i], expected) << "row 0 code " << i;
    }
    decoder.distCodeCount = 128;
    presetDistLengths(1);
    for (uint32_t i = 0; i < 128; ++i) {
        uint32_t expected =
            i == 0 ? 2 : i <= 2 ? 4 : i <= 5 ? 5 : i <= 12 ? 6 : i <= 30 ? 7 : i <= 77 ? 8 : 9;
        EXPECT_EQ(decoder.auxLen[i], expected) << "row 1 code " << i;
    }
}
