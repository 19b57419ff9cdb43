// -lh4- to -lh7-: block-wise static Huffman codes over a 4 to 64 KiB dictionary.
//
// The packed stream is a sequence of blocks, read most significant bit first with no padding:
//   block size       16 bits   codes in the block; 0 means 65,536
//   code-length code           19 symbols, lengths as in readAuxLengths (zero count after
//                              the third), or the single-value form
//   literal/length code        510 symbols, lengths through the code-length code
//                              (readCodeLengths), or the single-value form
//   distance code              distSymbols symbols, lengths as in readAuxLengths
//   codes                      literal/length codes; one of 256 or above (a match of
//                              length code - 253, 3 to 256) is followed by a distance code
//                              and its extra bits
// A distance symbol j stands for the value 0 when j = 0, else for (1 << (j - 1)) plus the
// next j - 1 bits; the match starts (value + 1) bytes back.
//
// A count field of 0 gives a single-value code: every lookup yields the value that follows
// and consumes no bits.
#include "decode/block_format.h"
#include "decode/methods.h"
#include "decode/table.h"

namespace {

// A block whose header names what cannot be: the member is damaged. Every table now gives
// symbol 0 for no bits, so whatever still asks for a code gets it cheaply, and the frame
// stops at its next check of decoder.corrupt.
void rejectBlock()
{
    decoder.corrupt = true;
    memset(decoder.codeFast, 0, sizeof decoder.codeFast);
    memset(decoder.auxFast, 0, sizeof decoder.auxFast);
    memset(decoder.auxTable, 0, sizeof decoder.auxTable);
    decoder.codeLen[0] = 0;
    decoder.auxLen[0] = 0;
}

// The bit reader of a block header, held in locals by the tool. fill() and get() behave
// exactly as fillBits() and getBits() do (the window is topped up at the same moments, so zero
// bytes past the packed data are counted alike); only the window stays out of the decoder
// context until store(). The stub goes through the context, which takes less code.
struct HeaderBits {
#if !QUOR_SMALL
    uint64_t window;
    uint32_t windowBits;

    QUOR_ALWAYS_INLINE void load()
    {
        window = decoder.bits.window;
        windowBits = decoder.bits.windowBits;
    }
    QUOR_ALWAYS_INLINE void store()
    {
        decoder.bits.window = window;
        decoder.bits.windowBits = windowBits;
        decoder.bits.bitBuffer = (uint16_t)(window >> 48);
    }
    // The next 16 bits, as bitBuffer shows them.
    QUOR_ALWAYS_INLINE uint32_t peek() const { return (uint32_t)(window >> 48); }
    QUOR_ALWAYS_INLINE void fill(uint32_t n)
    {
        if (n + 16 > windowBits) {
            store();
            fillBitsSlow(n);
            load();
            return;
        }
        window <<= n;
        windowBits -= n;
    }
    QUOR_ALWAYS_INLINE uint32_t get(uint32_t n)
    {
        uint32_t value = n == 0 ? 0 : peek() >> (16 - n);
        fill(n);
        return value;
    }
#else
    void load() {}
    void store() {}
    uint32_t peek() const { return decoder.bits.bitBuffer; }
    void fill(uint32_t n) { fillBits((uint8_t)n); }
    uint32_t get(uint32_t n) { return getBits((uint8_t)n); }
#endif
};

void readBlockHeader()
{
    decoder.blockRemaining = getBits(BLOCK_SIZE_BITS);
    readAuxLengths(CODE_LENGTH_SYMBOLS, CODE_LENGTH_COUNT_BITS, CODE_LENGTH_ZERO_COUNT_AFTER);
    if (!decoder.corrupt) readCodeLengths();
    if (!decoder.corrupt) readAuxLengths((uint16_t)decoder.distSymbols, (uint16_t)decoder.distCountBits, -1, true);
}

// The next code of a packed table (see decode/table.h) and its tree, for a code of `symbols`
// symbols whose lengths are in `lengths`. A code longer than the table's bits takes one tree
// step per further bit; tables are rebuilt whole for every block, so the walk meets only
// nodes of this block's code and ends within 16 - tableBits steps.
uint32_t nextPackedCode(const uint16_t* fast, uint32_t tableBits, const uint8_t* lengths, uint32_t symbols)
{
    uint16_t look = decoder.bits.bitBuffer;
    uint32_t e = fast[look >> (16 - tableBits)];
    if (!(e & FAST_LONG)) {
        fillBits((uint8_t)(e & FAST_LENGTH));
        return e >> FAST_SYMBOL_SHIFT;
    }
    uint32_t j = e & ~FAST_LONG;
    uint32_t bit = 1u << (15 - tableBits);
    for (uint32_t step = tableBits; j >= symbols; ++step) {
        if (step == MAX_CODE_LENGTH) {
            rejectBlock();
            return 0;
        }
        j = (look & bit) ? decoder.treeRight[j] : decoder.treeLeft[j];
        bit >>= 1;
    }
    // An uncovered branch gives symbol 0, whose length may be shorter than the table's bits;
    // the count then wraps in 8 bits, exactly as fillBits takes it.
    fillBits((uint8_t)tableBits);
    fillBits((uint8_t)(lengths[j] - tableBits));
    return j;
}

// The codes of a block through the decoder context, one at a time.
uint16_t plainNextCode()
{
    if (decoder.blockRemaining == 0) readBlockHeader();
    --decoder.blockRemaining;  // a block size of 0 wraps to 65,535 more codes
    return (uint16_t)nextPackedCode(decoder.codeFast, CODE_TABLE_BITS, decoder.codeLen, CODE_SYMBOLS);
}

uint16_t plainNextDistance()
{
    uint32_t j = nextPackedCode(decoder.auxFast, AUX_TABLE_BITS, decoder.auxLen, decoder.distSymbols);
    if (j == 0) return 0;
    uint32_t extra = j - 1;  // at most 15 (-lh7-)
    uint32_t value = (1u << extra) + getBits((uint8_t)extra);
#if !QUOR_SMALL
    // The tool decodes into a ring larger than the dictionary (see DecodeJob::run): a
    // distance names a byte modulo the dictionary size, as it does in a ring of that size.
    value &= (1u << decoder.dictBits) - 1;
#endif
    return (uint16_t)value;
}

// The decode loop's view of a block member. The tool also decodes most codes in stretches
// with the bit reader held in locals (see stretch).
struct BlockCodes {
    static const bool readsContext = false;
    static const bool stretches = !QUOR_SMALL;

    uint16_t nextCode() { return plainNextCode(); }
    uint16_t nextDistance() { return plainNextDistance(); }
    bool damaged() const { return decoder.corrupt; }

#if !QUOR_SMALL
    uint64_t window;
    uint32_t windowBits;
    const uint8_t* next;     // the InputBuffer's read position
    const uint8_t* fastEnd;  // end of the bytes in the buffer that belong to this member
    uint16_t blockRemaining;

    QUOR_ALWAYS_INLINE void load()
    {
        window = decoder.bits.window;
        windowBits = decoder.bits.windowBits;
        uint32_t position = decoder.in.readPosition;
        uint32_t inBuffer = decoder.in.capacity - position;
        next = decoder.in.data + position;
        fastEnd = next + (inBuffer < decoder.bits.packedRemaining ? inBuffer : (uint32_t)decoder.bits.packedRemaining);
        blockRemaining = decoder.blockRemaining;
    }

    // The locals may run below the 16 bits that bitBuffer shows (a distance's extra bits
    // can take the last ones); the context gets them topped up.
    QUOR_ALWAYS_INLINE void store()
    {
        decoder.bits.window = window;
        decoder.bits.windowBits = windowBits;
        // The context's read position is where the locals started: the bytes taken since
        // are counted off packedRemaining here.
        uint32_t position = (uint32_t)(next - decoder.in.data);
        decoder.bits.packedRemaining -= position - decoder.in.readPosition;
        decoder.in.readPosition = position;
        decoder.blockRemaining = blockRemaining;
        if (windowBits < 16) refillBits();
        decoder.bits.bitBuffer = (uint16_t)(decoder.bits.window >> 48);
    }

    // n <= windowBits.
    QUOR_ALWAYS_INLINE void consume(uint32_t n)
    {
        window <<= n;
        windowBits -= n;
    }

    // Tops the window up to at least 56 bits from the 8 bytes at `next`, without a test:
    // bytes already in the window load again at the same places, so an early top-up changes
    // nothing, and no branch is left to mispredict. The window holds at most 63 bits here; it
    // holds 64 only right after initBits, which is at a block header, where no stretch runs.
    QUOR_ALWAYS_INLINE void topUp()
    {
        uint64_t v;
        memcpy(&v, next, 8);
        v = __builtin_bswap64(v);
        window |= v >> windowBits;
        next += (63 - windowBits) >> 3;
        windowBits |= 56;
    }

    // Writes a match at `out` and moves it past the match. A match may copy up to 8 bytes
    // past its end: those ring bytes lie farther back than any distance reaches, and later
    // output overwrites them before the ring is written out.
    static QUOR_ALWAYS_INLINE void putMatch(uint8_t* dictionary, uint32_t ringSize, uint8_t*& out,
                                            uint32_t distance, uint32_t length)
    {
        uint32_t to = (uint32_t)(out - dictionary);
        if (distance > to) {
            // The source wraps to the ring's end: the rare way, byte by byte.
            copyMatch(dictionary, ringSize, to, (to - distance) & (ringSize - 1), length);
            out = dictionary + to;
            return;
        }
        const uint8_t* src = out - distance;
        uint8_t* end = out + length;
        if (length <= 8) {
            // Most matches: eight bytes in one store, with no branch on the distance. The
            // `distance` bytes behind `out` repeat: doubled three times, they fill the eight
            // bytes whatever the distance.
            uint64_t x;
            memcpy(&x, src, 8);
            uint32_t shift = distance < 8 ? distance * 8 : 64;
            x = shift < 64 ? x & ((1ull << (shift & 63)) - 1) : x;
            x |= shift < 64 ? x << (shift & 63) : 0;
            x |= shift < 32 ? x << ((2 * shift) & 63) : 0;
            x |= shift < 16 ? x << ((4 * shift) & 63) : 0;
            memcpy(out, &x, 8);
        } else if (distance >= 8) {
            do {
                memcpy(out, src, 8);
                out += 8;
                src += 8;
            } while (out < end);
        } else if (distance == 1) {
            memset(out, *src, length);
        } else {
            do *out++ = *src++;
            while (out < end);
        }
        out = end;
    }

    // Decodes codes for as long as none of them can meet an edge: a block header, the last
    // eight bytes of input in the buffer, the end of the ring within a match, or the count
    // reaching `limit` (the next look at the bar, or the original size). The count of codes
    // that cannot reach an edge is worked out first, so each code then costs one table probe
    // and one top-up, and only its count is tested; the decode loop takes the codes at the
    // edges one at a time.
    //
    // The probe for the next code comes before the top-up: after any code at least 21 bits
    // are left, enough for the 12 the table reads. The top-up's load, whose address waits on
    // the bits just taken, is then off the path from one code to the next.
    QUOR_ALWAYS_INLINE void stretch(uint8_t* dictionary, uint32_t ringSize, uint32_t lengthBias,
                                    uint32_t& writePos, uint64_t& decodedCount, uint64_t limit)
    {
        const uint32_t MATCH_ROOM = 256 + 16;  // the longest match and its overrun
        // A top-up moves `next` on by at most 7 bytes, and a code writes at most 256.
        const uint32_t MOST_BYTES_IN = 7;
        const uint32_t MOST_BYTES_OUT = 256;
        if (decoder.corrupt || writePos + MATCH_ROOM >= ringSize || decodedCount >= limit) return;
        load();
        if (fastEnd - next < 8) return;
        const uint32_t distanceMask = (1u << decoder.dictBits) - 1;
        uint8_t* out = dictionary + writePos;
        uint8_t* const start = out;
        uint8_t* outEnd = dictionary + ringSize - MATCH_ROOM;
        if ((uint32_t)(outEnd - out) > limit - decodedCount) outEnd = out + (uint32_t)(limit - decodedCount);
        const uint8_t* inEnd = fastEnd - 8;
        bool atEdge = false;  // a plain step left fewer than eight bytes of the member ahead
        for (;;) {
            // One top-up here and one per code, each at most 7 bytes on and each reading 8.
            uint32_t budget = blockRemaining;
            uint32_t in = next <= inEnd ? (uint32_t)(inEnd - next) / MOST_BYTES_IN : 0;
            uint32_t room = out < outEnd ? (uint32_t)(outEnd - out + MOST_BYTES_OUT - 1) / MOST_BYTES_OUT : 0;
            if (in < budget) budget = in;
            if (room < budget) budget = room;
            if (atEdge || budget == 0) break;
            blockRemaining = (uint16_t)(blockRemaining - budget);
            topUp();
            uint32_t e = decoder.codeFast[window >> (64 - CODE_TABLE_BITS)];
            do {
                if (!(e & (FAST_LONG | FAST_MATCH))) {  // a literal of at most 16 bits
                    consume(e & FAST_LENGTH);
                    *out++ = (uint8_t)(e >> FAST_SYMBOL_SHIFT);
                    e = decoder.codeFast[window >> (64 - CODE_TABLE_BITS)];
                    topUp();
                    continue;
                }
                uint32_t code = e >> FAST_SYMBOL_SHIFT;
                uint32_t distance = 0;
                bool plain = (e & FAST_LONG) != 0;
                if (!plain) {
                    consume(e & FAST_LENGTH);
                    uint32_t d = decoder.auxFast[window >> (64 - AUX_TABLE_BITS)];
                    plain = (d & FAST_LONG) != 0;
                    if (!plain) {
                        consume(d & FAST_LENGTH);
                        if ((d >> FAST_SYMBOL_SHIFT) != 0) {
                            // At least 36 bits are left for the extra bits, at most 15 (-lh7-).
                            uint32_t extra = (d >> FAST_SYMBOL_SHIFT) - 1;
                            distance = ((1u << extra) + (uint32_t)((window >> 32) >> (32 - extra))) & distanceMask;
                            consume(extra);
                        }
                    }
                }
                if (plain) {
                    // A code longer than the table's bits (the character code, else the
                    // distance code): the rest of this code the plain way. Its bits may have
                    // refilled the input buffer, so the count is worked out again after this
                    // code, and the stretch ends unless eight bytes of the member are ahead in
                    // the new fill.
                    blockRemaining = (uint16_t)(blockRemaining + budget);  // this one and the rest
                    if (!(e & FAST_LONG)) --blockRemaining;  // plainNextCode counts a long one
                    store();
                    if (e & FAST_LONG) code = plainNextCode();
                    if (code >= 256 && !decoder.corrupt) distance = plainNextDistance();
                    load();
                    if (decoder.corrupt) goto done;
                    atEdge = fastEnd - next < 8;
                    if (!atEdge) inEnd = fastEnd - 8;
                    budget = 1;
                    if (code < 256) *out++ = (uint8_t)code;
                    else putMatch(dictionary, ringSize, out, distance + 1, code - lengthBias);
                    continue;
                }
                putMatch(dictionary, ringSize, out, distance + 1, code - lengthBias);
                e = decoder.codeFast[window >> (64 - CODE_TABLE_BITS)];
                topUp();
            } while (--budget != 0);
        }
    done:
        store();
        writePos = (uint32_t)(out - dictionary);
        decodedCount += (uint32_t)(out - start);
    }
#else
    void stretch(uint8_t*, uint32_t, uint32_t, uint32_t&, uint64_t&, uint64_t) {}
#endif
};

}  // namespace

void blockStartDecode()
{
    decoder.distSymbols = distanceSymbolsFor(decoder.dictBits);
    decoder.distCountBits = distanceCountBitsFor(decoder.dictBits);
    initBits();
    decoder.blockRemaining = 0;  // the first code reads a block header
}

uint16_t blockNextCode()
{
    return plainNextCode();
}

uint16_t blockNextDistance()
{
    return plainNextDistance();
}

#if !QUOR_SMALL
bool decodeBlockMember(uint32_t dictSize)
{
    BlockCodes codes;
    return decodeLoop(codes, dictSize, MATCH_LENGTH_BIAS);
}
#endif

// Lengths of an auxiliary code (the code-length code or the distance code): `n` fields of 3
// bits, where 7 is extended by one for every 1 bit that follows, up to a 0 bit (at most 13
// further bits are examined, so a length reaches at most 20; above 16 the table builder
// refuses it). After `zeroCountAfter` lengths a 2-bit count of further zero lengths follows.
void readAuxLengths(uint16_t count, uint16_t countBits, int16_t zeroCountAfter, bool distances)
{
    // The tool builds the code-length code packed too, into auxFast, which the distance code
    // then replaces: readCodeLengths gets a symbol and its length in one load. Should the
    // header fail before the distance code, decoding stops before any table is used again.
    const bool packed = distances || !QUOR_SMALL;
    uint16_t* table = packed ? decoder.auxFast : decoder.auxTable;
    uint32_t n = getBits((uint8_t)countBits);
    if (count > AUX_SYMBOLS || n > AUX_SYMBOLS - 3) {  // n is at most 31 for every caller
        rejectBlock();
        return;
    }
    if (n == 0) {
        uint32_t c = getBits((uint8_t)countBits);
        if (c >= count) {  // a value that is no symbol would send lookups into stale nodes
            rejectBlock();
            return;
        }
        memset(decoder.auxLen, 0, count);
        fillTable(table, 1u << AUX_TABLE_BITS, (uint16_t)(packed ? c << FAST_SYMBOL_SHIFT : c));
        return;
    }
    uint32_t i = 0;
    while (i < n) {
        uint32_t c = decoder.bits.bitBuffer >> (16 - AUX_LENGTH_FIELD_BITS);
        if (c == AUX_LENGTH_EXTENDED) {
            for (uint32_t bit = 0x1000; decoder.bits.bitBuffer & bit; bit >>= 1) ++c;
            fillBits((uint8_t)(c - 3));  // the field, the 1 bits and the 0 bit after them
        } else {
            fillBits(AUX_LENGTH_FIELD_BITS);
        }
        decoder.auxLen[i++] = (uint8_t)c;
        if ((int32_t)i == zeroCountAfter) {
            // i is 3 here and the count at most 3, so this stays inside auxLen.
            uint32_t zeros = getBits(CODE_LENGTH_ZERO_COUNT_BITS);
            while (zeros--) decoder.auxLen[i++] = 0;
        }
    }
    // Lengths read beyond count stay in auxLen but take no part.
    while (i < count) decoder.auxLen[i++] = 0;
    if (!buildTable(count, decoder.auxLen, AUX_TABLE_BITS, table, packed)) return;
    // A code without any length is harmless while nothing asks for it (a block without
    // matches needs no distance code); should something ask, it gets symbol 0 for no bits
    // instead of the tables of an earlier block.
    if (!anyLength(decoder.auxLen, count)) fillTable(table, 1u << AUX_TABLE_BITS, 0);
}

// Lengths of the literal/length code, each given by a symbol of the code-length code:
//   0       one zero length
//   1       4 bits + 3 zero lengths (3 to 18)
//   2       9 bits + 20 zero lengths (20 to 531)
//   3..18   one length of c - 2 (1 to 16)
// Up to 510 lengths a block: the bit reader is held in locals for the loop (HeaderBits), so
// that each length costs no round trip of the window through the decoder context.
void readCodeLengths()
{
    uint32_t n = getBits(CODE_COUNT_BITS);
    if (n == 0) {
        uint32_t c = getBits(CODE_COUNT_BITS);
        if (c >= CODE_SYMBOLS) {
            rejectBlock();
            return;
        }
        memset(decoder.codeLen, 0, CODE_SYMBOLS);
        fillTable(decoder.codeFast, 1u << CODE_TABLE_BITS, (uint16_t)(c << FAST_SYMBOL_SHIFT));
        return;
    }
    if (n > CODE_SYMBOLS) {
        rejectBlock();
        return;
    }
    HeaderBits bits;
    bits.load();
    uint32_t i = 0;
    while (i < n) {
        uint32_t look = bits.peek();
#if !QUOR_SMALL
        uint32_t e = decoder.auxFast[look >> (16 - AUX_TABLE_BITS)];
        uint32_t c = e >> FAST_SYMBOL_SHIFT;
        uint32_t length = e & FAST_LENGTH;
        if (e & FAST_LONG) c = e & ~FAST_LONG;  // a root node, numbered from 19 on
#else
        uint32_t c = decoder.auxTable[look >> (16 - AUX_TABLE_BITS)];
#endif
        if (c >= CODE_LENGTH_SYMBOLS) {
            // Codes longer than 8 bits continue in the low byte of the look-ahead; the walk
            // looks at those bits without consuming them.
            uint32_t bit = 0x80;
            while (c >= CODE_LENGTH_SYMBOLS) {
                if (bit == 0) {  // only a tree that is not this block's could get here
                    bits.store();
                    rejectBlock();
                    return;
                }
                c = (look & bit) ? decoder.treeRight[c] : decoder.treeLeft[c];
                bit >>= 1;
            }
#if !QUOR_SMALL
            length = decoder.auxLen[c];
#endif
        }
#if QUOR_SMALL
        uint32_t length = decoder.auxLen[c];
#endif
        bits.fill(length);
        if (c == 0) {
            decoder.codeLen[i++] = 0;
        } else if (c <= 2) {
            uint32_t run = c == 1 ? bits.get(SHORT_ZERO_RUN_BITS) + SHORT_ZERO_RUN : bits.get(LONG_ZERO_RUN_BITS) + LONG_ZERO_RUN;
            if (i + run > CODE_SYMBOLS) {
                bits.store();
                rejectBlock();
                return;
            }
            memset(decoder.codeLen + i, 0, run);
            i += run;
        } else {
            decoder.codeLen[i++] = (uint8_t)(c - CODE_LENGTH_BIAS);
        }
    }
    bits.store();
    while (i < CODE_SYMBOLS) decoder.codeLen[i++] = 0;
    // Every block decodes at least one code, so a literal/length code without any length
    // can only come from a damaged stream.
    if (!anyLength(decoder.codeLen, CODE_SYMBOLS)) {
        rejectBlock();
        return;
    }
    buildTable(CODE_SYMBOLS, decoder.codeLen, CODE_TABLE_BITS, decoder.codeFast, true);
}
