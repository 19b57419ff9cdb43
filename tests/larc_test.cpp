// -lzs- and -lz5-: members packed by jlha decode byte for byte, the absolute positions map
// onto the right dictionary indexes, the -lz5- preset dictionary is exact, and damaged or
// empty packed data stays inside the buffers.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/legacy_support.h"

using namespace legacy;

namespace {

// The -lz5- dictionary before the first item, written out from its description: 18 zeros,
// 256 runs of 13 bytes k, 0..255 rising, 255..0 falling, 128 zeros, 110 spaces. lhasa and
// unar read every one of these positions the same way.
Bytes lz5Preset()
{
    Bytes d(18, 0x00);
    for (int k = 0; k < 256; ++k) d.insert(d.end(), 13, (uint8_t)k);
    for (int i = 0; i < 256; ++i) d.push_back((uint8_t)i);
    for (int i = 255; i >= 0; --i) d.push_back((uint8_t)i);
    d.insert(d.end(), 128, 0x00);
    d.insert(d.end(), 110, 0x20);
    return d;
}

// One -lz5- group: a flag byte and its items, each a literal or (position, length field).
struct Lz5Item {
    bool literal;
    uint32_t value;   // the byte, or the position
    uint32_t length;  // length field, matches only
};

Bytes lz5Stream(const std::vector<Lz5Item>& items)
{
    Bytes out;
    for (size_t group = 0; group < items.size(); group += 8) {
        uint8_t flags = 0;
        for (size_t i = group; i < items.size() && i < group + 8; ++i)
            if (items[i].literal) flags |= (uint8_t)(1 << (i - group));
        out.push_back(flags);
        for (size_t i = group; i < items.size() && i < group + 8; ++i) {
            if (items[i].literal) {
                out.push_back((uint8_t)items[i].value);
            } else {
                out.push_back((uint8_t)items[i].value);
                out.push_back((uint8_t)((items[i].value >> 4 & 0xF0) | items[i].length));
            }
        }
    }
    return out;
}

}  // namespace

TEST(LarcMethods, MembersPackedByJlhaDecodeExactly)
{
    NamedInputs inputs = commonInputs(0);
    inputs.push_back({"2,049 bytes: past one -lzs- dictionary", mixedBytes(2049, 3)});
    inputs.push_back({"4,097 bytes: past one -lz5- dictionary", mixedBytes(4097, 4)});
    inputs.push_back({"leading spaces match the initial dictionary", Bytes(300, ' ')});
    std::vector<std::pair<uint32_t, Bytes>> request;
    for (uint32_t method : {LZS, LZ5})
        for (const auto& input : inputs) request.push_back({method, input.second});
    std::vector<PackedMember> members = packWithJlha(request);
    for (size_t i = 0; i < members.size(); ++i) {
        const auto& input = inputs[i % inputs.size()];
        EXPECT_TRUE(decodesTo(members[i], input.second))
            << methodIdOf(members[i].methodIndex) << " " << input.first;
    }
}

TEST(LarcMethods, LzsPositionsAreAbsoluteAndLengthsRunFrom2To17)
{
    // "ABCD", then position 2,031 (index 0) with length field 2 (4 bytes), then position
    // 2,032 (index 1) with field 0 (2 bytes) and field 15 (17 bytes) from index 2 = 'C'.
    BitWriter w;
    for (char c : std::string("ABCD")) {
        w.put(1, 1);
        w.put((uint8_t)c, 8);
    }
    w.put(0, 1), w.put(2031, 11), w.put(2, 4);
    w.put(0, 1), w.put(2032, 11), w.put(0, 4);
    w.put(0, 1), w.put(2033, 11), w.put(15, 4);
    Bytes expected = {'A', 'B', 'C', 'D', 'A', 'B', 'C', 'D', 'B', 'C'};
    // Index 2 onward repeats the output itself, which grows as it is copied.
    for (int i = 0; i < 17; ++i) expected.push_back(expected[2 + i]);
    Decoded out = decode(LZS, w.finish(), (uint32_t)expected.size());
    EXPECT_EQ(out.bytes, expected);
    EXPECT_EQ(out.crc, crc16Of(expected));
}

TEST(LarcMethods, LzsMatchAtTheStartReadsSpacesAndExhaustedDataReadsAsMatches)
{
    // A match before anything was written copies the spaces of the initial dictionary.
    BitWriter w;
    w.put(0, 1), w.put(1000, 11), w.put(3, 4);
    Decoded out = decode(LZS, w.finish(), 5);
    EXPECT_EQ(out.bytes, Bytes(5, ' '));

    // Without packed data every bit is 0: matches of 2 bytes from position 0 (index 17),
    // which reads the dictionary's spaces, never the bytes behind the member (0xFF), until
    // a few zero bytes on the member counts as damaged.
    Decoded empty = decode(LZS, Bytes(), 4000, Bytes(64, 0xFF));
    EXPECT_TRUE(empty.corrupt);
    ASSERT_GE(empty.bytes.size(), 8u);
    EXPECT_LT(empty.bytes.size(), 100u);
    EXPECT_EQ(empty.bytes, Bytes(empty.bytes.size(), ' '));
}

TEST(LarcMethods, Lz5CopyingTheWholeInitialDictionaryReproducesItsPattern)
{
    // Each match copies from the index it writes to, so it reads the preset byte there before
    // overwriting it: 227 matches of 18 bytes and one of 10 cover indexes 0 to 4,095.
    std::vector<Lz5Item> items;
    for (uint32_t at = 0; at < 4096; at += 18) {
        uint32_t length = std::min<uint32_t>(18, 4096 - at);
        items.push_back({false, (at + 4096 - 18) % 4096, length - 3});
    }
    Bytes preset = lz5Preset();
    ASSERT_EQ(preset.size(), 4096u);
    Decoded out = decode(LZ5, lz5Stream(items), 4096);
    EXPECT_EQ(out.bytes, preset);
    EXPECT_EQ(out.crc, crc16Of(preset));
}

TEST(LarcMethods, Lz5FlagBytesAndMatchFieldsFollowTheByteLayout)
{
    // Position 4,078 reaches index 0 (zeros); position 0 with length field 10 gives run 0
    // (13 zeros) and 13·k gives run k; the bytes 0x21 0xF3 give position 0xF21 and length 6.
    // Later matches read only indexes the output has not overwritten yet. A group of eight
    // literals has flag byte 0xFF, one of eight matches 0x00.
    Bytes stream = {0x00,                    // eight matches
                    0xEE, 0xF2,              // 4,078: index 0, 5 zero bytes
                    0x00, 0x0A,              // run 0, 13 bytes
                    13 * 7, 0x00,            // run 7, 3 bytes
                    0x21, 0xF3,              // 0xF21 = index 3,879, 6 bytes of the zeros
                    0x82, 0x0F,              // 130: run 10, 18 bytes (13 tens, five 11s)
                    0x04, 0x10,              // 260: run 20, 3 bytes
                    0x10, 0xD0,              // 0xD10: index 3,362 of the rising bytes
                    0x00, 0x30,              // 0x300: index 786, inside run 59
                    0xFF, 'l', 'i', 't', 'e', 'r', 'a', 'l', 's'};
    Bytes expected(5, 0x00);
    expected.insert(expected.end(), 13, 0x00);
    expected.insert(expected.end(), 3, 7);
    expected.insert(expected.end(), 6, 0x00);
    expected.insert(expected.end(), 13, 10);
    expected.insert(expected.end(), 5, 11);
    expected.insert(expected.end(), 3, 20);
    for (int i = 16; i < 19; ++i) expected.push_back((uint8_t)i);
    expected.insert(expected.end(), 3, 59);
    for (char c : std::string("literals")) expected.push_back((uint8_t)c);
    Decoded out = decode(LZ5, stream, (uint32_t)expected.size());
    EXPECT_EQ(out.bytes, expected);
}

TEST(LarcMethods, Lz5TakesNothingFromBehindItsPackedData)
{
    // Without packed data, or once its bytes are used up, a member is damaged: the bytes
    // behind it (0xFF, which would be literals) are never taken.
    Decoded none = decode(LZ5, Bytes(), 30, Bytes(256, 0xFF));
    EXPECT_TRUE(none.corrupt);
    EXPECT_TRUE(none.bytes.empty());
    // One group of two matches (4 bytes of the 5 packed) wants a third item.
    Decoded cut = decode(LZ5, {0x00, 0x00, 0x00, 0x00, 0x00}, 30, Bytes(256, 0xFF));
    EXPECT_TRUE(cut.corrupt);
    EXPECT_EQ(std::count(cut.bytes.begin(), cut.bytes.end(), 0xFF), 0);
}

TEST(LarcMethods, DamagedDataStaysInsideTheDictionary)
{
    for (uint32_t method : {LZS, LZ5}) {
        for (uint32_t seed = 0; seed < 4; ++seed) {
            Bytes junk = randomBytes(3000, 100 + seed);
            Decoded out = decode(method, junk, 50000, randomBytes(512, seed));
            EXPECT_TRUE(out.corrupt);
            EXPECT_LT(out.bytes.size(), 50000u + 18);
        }
    }
}
