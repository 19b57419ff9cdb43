// The canonical Huffman table builder: every code of a sound set of lengths leads through the
// table (and the tree, past tableBits) to its own symbol; lengths that no sound stream holds
// are refused without a write outside the table or the node arrays.
#include <gtest/gtest.h>

#include <random>

#include "decode/frame.h"
#include "decode/table.h"
#include "support/block_streams.h"

using blocks::canonicalCodes;
using blocks::Code;

namespace {

// The symbol that the bits `code` (left-aligned in 16 bits) lead to, walking like the decoders.
uint32_t lookup(const uint16_t* table, uint32_t tableBits, uint32_t symbolCount, uint32_t code,
                uint32_t* steps = nullptr)
{
    uint32_t j = table[code >> (16 - tableBits)];
    uint32_t bit = 0x8000 >> tableBits;
    uint32_t walked = 0;
    while (j >= symbolCount) {
        EXPECT_LT(j, TREE_NODES);
        if (j >= TREE_NODES || walked > 16) return UINT32_MAX;
        j = (code & bit) ? decoder.treeRight[j] : decoder.treeLeft[j];
        bit >>= 1;
        ++walked;
    }
    if (steps) *steps = walked;
    return j;
}

// Every coded symbol's canonical code decodes to it, with one tree step per bit past the table.
void expectDecodes(const std::vector<uint8_t>& lengths, uint32_t tableBits, uint16_t* table)
{
    std::vector<Code> codes = canonicalCodes(lengths);
    for (uint32_t s = 0; s < lengths.size(); ++s) {
        if (codes[s].length == 0) continue;
        uint32_t code = codes[s].bits << (16 - codes[s].length);
        uint32_t steps = 0;
        ASSERT_EQ(lookup(table, tableBits, (uint32_t)lengths.size(), code, &steps), s)
            << "symbol " << s << " of length " << codes[s].length;
        uint32_t expectedSteps = codes[s].length > tableBits ? codes[s].length - tableBits : 0;
        EXPECT_EQ(steps, expectedSteps);
    }
}

// A complete code of `leaves` codes no longer than 16 bits, made by splitting random leaves,
// dealt out to random symbols.
std::vector<uint8_t> randomCompleteLengths(uint32_t symbolCount, uint32_t leaves, std::mt19937& rng)
{
    std::vector<uint8_t> depths = {0};
    while (depths.size() < leaves) {
        size_t pick = rng() % depths.size();
        if (depths[pick] == 16) continue;
        uint8_t d = (uint8_t)(depths[pick] + 1);
        depths[pick] = d;
        depths.push_back(d);
    }
    std::vector<uint32_t> symbols(symbolCount);
    for (uint32_t i = 0; i < symbolCount; ++i) symbols[i] = i;
    std::shuffle(symbols.begin(), symbols.end(), rng);
    std::vector<uint8_t> lengths(symbolCount, 0);
    for (size_t i = 0; i < depths.size(); ++i) lengths[symbols[i]] = depths[i];
    return lengths;
}

TEST(BuildTable, EveryCodeOfRandomCompleteCodesFindsItsSymbol)
{
    std::mt19937 rng(12345);
    struct Case {
        uint32_t symbols, tableBits;
        uint16_t* table;
    };
    for (Case c : {Case{510, 12, decoder.codeTable}, Case{286, 12, decoder.codeTable},
                   Case{19, 8, decoder.auxTable}, Case{17, 8, decoder.auxTable},
                   Case{128, 8, decoder.auxTable}}) {
        for (int round = 0; round < 40; ++round) {
            uint32_t leaves = 2 + rng() % (c.symbols - 1);
            std::vector<uint8_t> lengths = randomCompleteLengths(c.symbols, leaves, rng);
            decoder.corrupt = false;
            ASSERT_TRUE(buildTable((uint16_t)c.symbols, lengths.data(), (uint16_t)c.tableBits, c.table));
            EXPECT_FALSE(decoder.corrupt);
            expectDecodes(lengths, c.tableBits, c.table);
            // The packed form: the plain entry's symbol with its length, or its root node.
            std::vector<uint16_t> plain(c.table, c.table + (1u << c.tableBits));
            std::vector<uint16_t> left(decoder.treeLeft, std::end(decoder.treeLeft));
            std::vector<uint16_t> right(decoder.treeRight, std::end(decoder.treeRight));
            std::vector<uint16_t> packed(plain.size());
            ASSERT_TRUE(buildTable((uint16_t)c.symbols, lengths.data(), (uint16_t)c.tableBits, packed.data(), true));
            for (size_t i = 0; i < plain.size(); ++i) {
                uint16_t j = plain[i];
                ASSERT_EQ(packed[i], j < c.symbols ? j << FAST_SYMBOL_SHIFT | lengths[j] : FAST_LONG | j) << i;
            }
            EXPECT_TRUE(std::equal(left.begin(), left.end(), decoder.treeLeft));
            EXPECT_TRUE(std::equal(right.begin(), right.end(), decoder.treeRight));
        }
    }
}

TEST(BuildTable, DeepestSoundCodesStayInsideTheNodeArrays)
{
    // 509 symbols of 16 bits behind one 1-bit code: 479 nodes past the 510 symbol numbers,
    // close to the 1,019 entries of the node arrays.
    std::vector<uint8_t> lengths(510, 16);
    lengths[0] = 1;
    decoder.corrupt = false;
    ASSERT_TRUE(buildTable(510, lengths.data(), 12, decoder.codeTable));
    expectDecodes(lengths, 12, decoder.codeTable);
    // The same with 19 symbols of the code-length code behind an 8-bit table.
    std::vector<uint8_t> aux(19, 16);
    aux[3] = 2;
    ASSERT_TRUE(buildTable(19, aux.data(), 8, decoder.auxTable));
    expectDecodes(aux, 8, decoder.auxTable);
}

TEST(BuildTable, CompleteShortCodeFillsEveryEntry)
{
    // Two 1-bit codes: the first code past them would be 65,536, which clears nothing.
    std::vector<uint8_t> lengths(510, 0);
    lengths[7] = 1;
    lengths[300] = 1;
    std::fill(std::begin(decoder.codeTable), std::end(decoder.codeTable), 0xBEEF);
    ASSERT_TRUE(buildTable(510, lengths.data(), 12, decoder.codeTable));
    for (uint32_t i = 0; i < 4096; ++i) ASSERT_EQ(decoder.codeTable[i], i < 2048 ? 7 : 300) << i;
}

TEST(BuildTable, IncompleteCodeLeavesUncoveredPatternsAsSymbolZero)
{
    std::vector<uint8_t> lengths(510, 0);
    lengths['A'] = 1;   // 0
    lengths['B'] = 2;   // 10
    lengths['C'] = 13;  // 1100000000000: one tree step below entry 0xC00
    std::fill(std::begin(decoder.codeTable), std::end(decoder.codeTable), 0xBEEF);
    ASSERT_TRUE(buildTable(510, lengths.data(), 12, decoder.codeTable));
    expectDecodes(lengths, 12, decoder.codeTable);
    EXPECT_EQ(lookup(decoder.codeTable, 12, 510, 0xE000), 0u);  // 111...: no code
    EXPECT_EQ(lookup(decoder.codeTable, 12, 510, 0xC008), 0u);  // C's sibling branch, never built
    for (uint32_t i = 0xC01; i < 4096; ++i) ASSERT_EQ(decoder.codeTable[i], 0) << i;
}

TEST(BuildTable, LengthsThatAreAllZeroChangeNothing)
{
    // -lh3- fills a table itself for its single-code form and then builds from zero lengths.
    std::vector<uint8_t> lengths(128, 0);
    std::fill(std::begin(decoder.auxTable), std::end(decoder.auxTable), 42);
    decoder.treeLeft[200] = 1234;
    decoder.corrupt = false;
    EXPECT_TRUE(buildTable(128, lengths.data(), 8, decoder.auxTable));
    EXPECT_FALSE(decoder.corrupt);
    for (uint16_t entry : decoder.auxTable) ASSERT_EQ(entry, 42);
    EXPECT_EQ(decoder.treeLeft[200], 1234);
}

TEST(BuildTable, RefusesLengthsNoSoundStreamHolds)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> lengths;
    };
    std::vector<uint8_t> longerThan16(19, 0);
    longerThan16[0] = 1;
    longerThan16[1] = 17;
    std::vector<uint8_t> lastLongerThan16(510, 0);  // past the tool's eight-at-a-time counts
    lastLongerThan16[0] = 1;
    lastLongerThan16[509] = 17;
    std::vector<uint8_t> overFull(510, 0);
    overFull[0] = overFull[1] = overFull[2] = 1;  // three 1-bit codes
    std::vector<uint8_t> overFullByOne(19, 0);
    overFullByOne[0] = 1;
    overFullByOne[1] = 2;
    overFullByOne[2] = overFullByOne[3] = 3;  // complete...
    overFullByOne[4] = 16;                    // ...and one code more
    std::vector<uint8_t> onlyLong(510, 0);
    onlyLong[5] = onlyLong[6] = 13;  // nothing of at most 12 bits: every root would be stale
    std::vector<uint8_t> extremes(510, 20);  // what a run of 1 bits after the field 7 can say
    for (const Case& c : {Case{"a length of 17", longerThan16}, Case{"a last length of 17", lastLongerThan16},
                          Case{"an over-full code", overFull},
                          Case{"a complete code plus one", overFullByOne},
                          Case{"only codes longer than the table", onlyLong},
                          Case{"lengths of 20", extremes}}) {
        bool aux = c.lengths.size() == 19;
        uint16_t* table = aux ? decoder.auxTable : decoder.codeTable;
        uint32_t tableBits = aux ? 8 : 12;
        std::fill(table, table + (1u << tableBits), 0xBEEF);
        decoder.corrupt = false;
        EXPECT_FALSE(buildTable((uint16_t)c.lengths.size(), c.lengths.data(), (uint16_t)tableBits, table))
            << c.what;
        EXPECT_TRUE(decoder.corrupt) << c.what;
        for (uint32_t i = 0; i < (1u << tableBits); ++i) ASSERT_EQ(table[i], 0) << c.what << " " << i;
    }
}

TEST(BuildTable, RefusesArgumentsOutsideTheArrays)
{
    std::vector<uint8_t> lengths(1100, 1);
    uint16_t table[2] = {7, 7};
    decoder.corrupt = false;
    EXPECT_FALSE(buildTable(1019, lengths.data(), 1, table));  // node numbers could not fit
    EXPECT_TRUE(decoder.corrupt);
    table[0] = 7;
    decoder.corrupt = false;
    EXPECT_FALSE(buildTable(2, lengths.data(), 17, table));  // no such table; nothing written
    EXPECT_TRUE(decoder.corrupt);
    EXPECT_EQ(table[0], 7);
}

}  // namespace
