// -lzs- and -lz5-: LArc's plain LZ77 methods. An item is a literal byte or a match given by
// an absolute dictionary position and a 4-bit length; there is no Huffman stage.
//
// -lzs- (2 KiB dictionary of spaces), a bit stream, most significant bit first:
//   literal  1, then 8 bits of the byte
//   match    0, then position P (11 bits) and length field L (4 bits): L + 2 bytes copied
//            from dictionary index (P + 17) mod 2,048
// -lz5- (4 KiB dictionary with a preset pattern), whole bytes: one flag byte, then up to
// eight items; bit 0 of the flag byte belongs to the first of them.
//   literal  flag 1: the byte
//   match    flag 0: two bytes, the first = bits 0-7 of P, the second = bits 8-11 of P in
//            its high nibble and L in its low nibble: L + 3 bytes copied from dictionary
//            index (P + 18) mod 4,096
//
// Positions are absolute; nextDistance turns them into the distance value that the frame
// copies from (writePos - value - 1), given that writePos starts at 0 for every member.
#include "decode/methods.h"

// A member with packed size 0 has an input buffer that holds no byte; nextByte then gives
// zeros, as the bit reader gives zero bits past the packed data. A damaged member that needs
// more bytes than it holds refills from the archive behind it, and its CRC judges the result.

namespace {

const uint32_t LZS_MATCH_OFFSET = 17;   // position P means index P + 17
const uint32_t LZS_DICT_MASK = 0x7FF;
const uint32_t LZ5_MATCH_OFFSET = 18;   // position P means index P + 18
const uint32_t LZ5_DICT_MASK = 0xFFF;
const uint16_t LZ5_DICT_BITS = 12;
const uint32_t ITEMS_PER_FLAG = 8;
const uint16_t MATCH_CODE = 256;        // code = 256 + length field

// The preset -lz5- dictionary: 18 zeros, 256 runs of 13 equal bytes (run k holds k), the
// bytes 0 to 255 rising, then falling, 128 zeros and 110 spaces. The first 18 indexes are
// where LArc's own window holds its look-ahead, positions 4,078 to 4,095; they start as
// zeros, not as the spaces of the frame's fill. A match into them before they were written
// copies zeros in LArc's archives and in every other reader of them.
const uint32_t LZ5_LOOKAHEAD = 18;
const uint32_t LZ5_RUNS_AT = 18;
const uint32_t LZ5_RUN_LENGTH = 13;
const uint32_t LZ5_RISING_AT = 3346;
const uint32_t LZ5_FALLING_AT = 3602;
const uint32_t LZ5_ZEROS_AT = 3858;
const uint32_t LZ5_ZEROS = 128;
const uint32_t LZ5_SPACES_AT = 3986;
const uint32_t LZ5_SPACES = 110;

}  // namespace

void lzsStartDecode() { initBits(); }

// A literal takes 9 bits and a match 16, so the 16-bit look-ahead holds either whole.
QUOR_ALWAYS_INLINE uint16_t lzsCode()
{
    const uint32_t LITERAL_BITS = 9;
    const uint32_t MATCH_BITS = 16;
    uint16_t look = decoder.bits.bitBuffer;
    if (look & 0x8000) {
        fillBits(LITERAL_BITS);
        return (uint16_t)((look >> 7) & 0xFF);
    }
    fillBits(MATCH_BITS);
    decoder.matchPos = (look >> 4) & LZS_DICT_MASK;
    return (uint16_t)((look & 0x0F) + MATCH_CODE);
}

uint16_t lzsNextCode() { return lzsCode(); }

uint16_t lzsNextDistance()
{
    return (uint16_t)((decoder.writePos - decoder.matchPos - (LZS_MATCH_OFFSET + 1)) & LZS_DICT_MASK);
}

void lz5StartDecode()
{
    DecoderContext& d = decoder;
    d.flagCount = 0;
    // The pattern fills indexes up to 4,095; the dispatcher always gives -lz5- 4 KiB.
    if (d.dictBits < LZ5_DICT_BITS) {
        d.corrupt = true;
        return;
    }
    uint8_t* dict = d.dictionary;
    for (uint32_t i = 0; i < LZ5_LOOKAHEAD; ++i) dict[i] = 0x00;
    for (uint32_t k = 0; k < 256; ++k)
        for (uint32_t i = 0; i < LZ5_RUN_LENGTH; ++i) dict[LZ5_RUNS_AT + LZ5_RUN_LENGTH * k + i] = (uint8_t)k;
    for (uint32_t i = 0; i < 256; ++i) dict[LZ5_RISING_AT + i] = (uint8_t)i;
    for (uint32_t i = 0; i < 256; ++i) dict[LZ5_FALLING_AT + i] = (uint8_t)(255 - i);
    for (uint32_t i = 0; i < LZ5_ZEROS; ++i) dict[LZ5_ZEROS_AT + i] = 0x00;
    for (uint32_t i = 0; i < LZ5_SPACES; ++i) dict[LZ5_SPACES_AT + i] = 0x20;
}

QUOR_ALWAYS_INLINE uint16_t lz5Code()
{
    DecoderContext& d = decoder;
    if (d.flagCount == 0) {
        d.flagCount = ITEMS_PER_FLAG;
        d.flagByte = nextByte();
    }
    --d.flagCount;
    uint16_t c = nextByte();
    if ((d.flagByte & 1) == 0) {
        uint8_t high = nextByte();
        d.matchPos = c + ((uint32_t)(high & 0xF0) << 4);
        c = (uint16_t)((high & 0x0F) + MATCH_CODE);
    }
    d.flagByte >>= 1;
    return c;
}

uint16_t lz5NextCode() { return lz5Code(); }

uint16_t lz5NextDistance()
{
    return (uint16_t)((decoder.writePos - decoder.matchPos - (LZ5_MATCH_OFFSET + 1)) & LZ5_DICT_MASK);
}

#if !QUOR_SMALL
namespace {

// The decode loop's view of a LArc member, its codes read inline rather than through the
// method table.
template <uint16_t (*code)(), uint16_t (*distance)()>
struct LarcCodes {
    static const bool readsContext = true;
    static const bool stretches = false;
    void stretch(uint8_t*, uint32_t, uint32_t, uint32_t&, uint64_t&, uint64_t) {}
    uint16_t nextCode() { return code(); }
    uint16_t nextDistance() { return distance(); }
    bool damaged() const { return decoder.corrupt; }
};

}  // namespace

bool decodeLarcMember(uint32_t dictSize, bool lz5)
{
    const uint32_t LZS_LENGTH_BIAS = 254;  // length field 0 is a match of 2 bytes
    const uint32_t LZ5_LENGTH_BIAS = 253;  // and of 3 bytes
    if (lz5) {
        LarcCodes<lz5Code, lz5NextDistance> codes;
        return decodeLoop(codes, dictSize, LZ5_LENGTH_BIAS);
    }
    LarcCodes<lzsCode, lzsNextDistance> codes;
    return decodeLoop(codes, dictSize, LZS_LENGTH_BIAS);
}
#endif
