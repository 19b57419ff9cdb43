// -lh3-: literals and match lengths in a static Huffman code of 286 symbols that every block
// sends again, distances in a code of 128 symbols followed by 6 raw bits, over an 8 KiB
// dictionary. The distance lengths are either sent or taken from a preset table.
//
// Stream layout, most significant bit first, a sequence of blocks:
//   block size       16 bits, the number of character codes; 0 stands for 65,536
//   character lengths 286 entries of 1 flag bit, then 4 bits v when the flag is 1 (length
//                    v + 1) or nothing (length 0). When the first three lengths are all 1, a
//                    9-bit single code replaces the other 283 entries.
//   distance flag    1 bit: 1 = 128 lengths of 4 bits follow (a 7-bit single code replaces
//                    the other 125 when the first three are 1), 0 = preset row 1
//   codes            character codes; code 285 takes 8 extra bits, and every code of 256 and
//                    above is followed by a distance code and 6 raw bits.
//
// The preset distance lengths and lh3NextDistance also serve -lh1-, with 64 distance codes.
#include "decode/lh3.h"
#include "decode/methods.h"
#include "decode/table.h"

namespace {

const uint32_t LH3_CHAR_SYMBOLS = 286;
const uint32_t LH3_ESCAPE = 285;            // followed by 8 bits: lengths 32 to 287
const uint32_t LH3_DIST_SYMBOLS = 128;
const uint32_t LH3_DIST_LOW_BITS = 6;       // raw bits after every distance code
const uint32_t SINGLE_CHAR_BITS = 9;
// The single codes are as wide as their symbol counts need: 9 bits name one of 286
// characters, 7 bits one of 128 distance codes. Archives from other encoders (an all-zero file
// gives a block whose only distance code is 0) decode to their last bit with 7, and read
// block headers from the middle of the codes with any other width.
const uint32_t SINGLE_DIST_BITS = 7;

// The first entry of a row is the shortest length; each further entry is a code index at
// which the length grows by one (an index listed twice grows it by two). The trailing zeros
// are only compared with indexes above 0, so they end the list.
const int32_t presetDistTables[2][16] = {
    {3, 1, 4, 12, 24, 48, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},       // -lh1-, 64 codes of 3 to 8 bits
    {2, 1, 1, 3, 6, 13, 31, 78, 0, 0, 0, 0, 0, 0, 0, 0},       // -lh3-, 128 codes of 2 to 9 bits
};

// Marks the member damaged. Every operation then answers with harmless values and the CRC
// comparison reports the member.
uint16_t fail()
{
    decoder.corrupt = true;
    return 0;
}

// Returns false when the block names a single code that is no symbol; the table is then left
// alone, because such a value would be taken for a tree node that this block never built.
bool readCharLengths()
{
    DecoderContext& d = decoder;
    for (uint32_t i = 0; i < LH3_CHAR_SYMBOLS; ++i) {
        d.codeLen[i] = getBits(1) ? (uint8_t)(getBits(4) + 1) : 0;
        if (i == 2 && d.codeLen[0] == 1 && d.codeLen[1] == 1 && d.codeLen[2] == 1) {
            uint16_t c = getBits(SINGLE_CHAR_BITS);
            if (c >= LH3_CHAR_SYMBOLS) return false;
            memset(d.codeLen, 0, LH3_CHAR_SYMBOLS);
            fillTable(d.codeTable, 1u << CODE_TABLE_BITS, c);
            return true;
        }
    }
    // Every block decodes at least one character, so a code without any length comes only
    // from a damaged stream. The table builder leaves the tables alone for it, and the block
    // would decode with whatever an earlier block or member built.
    if (!anyLength(d.codeLen, LH3_CHAR_SYMBOLS)) return false;
    return buildTable(LH3_CHAR_SYMBOLS, d.codeLen, CODE_TABLE_BITS, d.codeTable);
}

// Reads the sent distance lengths into auxLen. Returns true when the single-code case has
// already filled auxTable, so that there is nothing left to build.
bool readDistLengths()
{
    DecoderContext& d = decoder;
    for (uint32_t i = 0; i < LH3_DIST_SYMBOLS; ++i) {
        d.auxLen[i] = (uint8_t)getBits(4);
        if (i == 2 && d.auxLen[0] == 1 && d.auxLen[1] == 1 && d.auxLen[2] == 1) {
            uint16_t c = getBits(SINGLE_DIST_BITS);
            memset(d.auxLen, 0, LH3_DIST_SYMBOLS);
            fillTable(d.auxTable, 1u << AUX_TABLE_BITS, c);
            return true;
        }
    }
    return false;
}

// The next code of `table` (2^tableBits entries) and its tree, for a code of `symbols`
// symbols whose lengths are in `lengths`. A walk that meets no symbol within 16 bits can
// only come from tables a damaged block left behind: the member is damaged, and 0 comes back.
uint32_t nextTableCode(const uint16_t* table, uint32_t tableBits, const uint8_t* lengths, uint32_t symbols)
{
    DecoderContext& d = decoder;
    uint32_t j = table[d.bits.bitBuffer >> (16 - tableBits)];
    if (j < symbols) {
        fillBits(lengths[j]);
        return j;
    }
    fillBits((uint8_t)tableBits);
    uint16_t mask = 0x8000;
    for (uint32_t steps = 0; j >= symbols; ++steps) {
        if (steps == MAX_CODE_LENGTH - tableBits || j >= TREE_NODES) return fail();
        j = (d.bits.bitBuffer & mask) ? d.treeRight[j] : d.treeLeft[j];
        mask >>= 1;
    }
    if (lengths[j] <= tableBits) return fail();
    fillBits((uint8_t)(lengths[j] - tableBits));
    return j;
}

bool readBlockHeader()
{
    DecoderContext& d = decoder;
    d.lh3BlockRemaining = getBits(16);
    if (!readCharLengths()) return false;
    bool built = false;
    if (getBits(1)) {
        built = readDistLengths();
    } else {
        presetDistLengths(1);
    }
    if (built) return true;
    if (!buildTable(LH3_DIST_SYMBOLS, d.auxLen, AUX_TABLE_BITS, d.auxTable)) return false;
    // A distance code without lengths is harmless while no match asks for it; should one ask,
    // it gets code 0 for no bits rather than an earlier block's table.
    if (!anyLength(d.auxLen, LH3_DIST_SYMBOLS)) fillTable(d.auxTable, 1u << AUX_TABLE_BITS, 0);
    return true;
}

}  // namespace

void presetDistLengths(uint32_t row)
{
    DecoderContext& d = decoder;
    const int32_t* preset = presetDistTables[row];
    int32_t len = preset[0];
    uint32_t k = 1;
    for (uint32_t i = 0; i < d.distCodeCount; ++i) {
        // k stays below 16: each row lists fewer growth points than it has entries.
        while (k < 16 && preset[k] == (int32_t)i) {
            ++len;
            ++k;
        }
        d.auxLen[i] = (uint8_t)len;
    }
}

void lh3StartDecode()
{
    initBits();
    decoder.distCodeCount = LH3_DIST_SYMBOLS;
    decoder.lh3BlockRemaining = 0;
}

uint16_t lh3NextCode()
{
    DecoderContext& d = decoder;
    if (d.corrupt) return 0;
    if (d.lh3BlockRemaining == 0 && !readBlockHeader()) return fail();
    --d.lh3BlockRemaining;
    uint32_t j = nextTableCode(d.codeTable, CODE_TABLE_BITS, d.codeLen, LH3_CHAR_SYMBOLS);
    if (j == LH3_ESCAPE) j += getBits(8);
    return (uint16_t)j;
}

uint16_t lh3NextDistance()
{
    DecoderContext& d = decoder;
    if (d.corrupt) return 0;
    uint32_t j = nextTableCode(d.auxTable, AUX_TABLE_BITS, d.auxLen, d.distCodeCount);
    return (uint16_t)((j << LH3_DIST_LOW_BITS) + getBits(LH3_DIST_LOW_BITS));
}
