// The decoder frame shared by every compressed method: bit input (BitReader) over a
// read-ahead buffer (InputBuffer), the sliding dictionary that is also the output buffer,
// output with the running CRC-16, progress reports and the RunFlag poll. A method supplies
// only its three operations (DecodeSet); the one decode loop, decodeLoop below, drives them.
//
// All decoder state lives in one process-wide DecoderContext: one member is decoded at a
// time, always on the extraction thread.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <string.h>

// For the few small functions of the per-code path that the compiler must inline even where
// it would rather not (it keeps the decoder's locals in registers only when nothing takes
// their address). A build for size (the stub) leaves the choice to the compiler.
#if defined(__GNUC__) && !defined(__OPTIMIZE_SIZE__)
#define QUOR_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QUOR_ALWAYS_INLINE inline
#endif

// A build for size (the stub, which must fit before its configuration block) takes the plain
// form of what the tool unrolls for speed: one decode loop for every method, no stretches of
// block codes, a byte-wise match copy and CRC. Both forms give the same bytes for every sound
// member; the tests run the fast one, the stub's end-to-end tests the small one. A damaged
// member fails in both, but where it stops may differ by a few codes: the bit reader's zero
// bytes past the packed data are counted as the window is topped up, and the stretches top
// it up at other moments.
#if defined(__OPTIMIZE_SIZE__)
#define QUOR_SMALL 1
#else
#define QUOR_SMALL 0
#endif

// ---- CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final inversion.
extern uint16_t crc16Table[256];
void buildCrc16Table();
uint16_t updateCrc16(uint16_t crc, const uint8_t* data, uint32_t length);

// The packed stream, taken most significant bit first. `bitBuffer` is the 16-bit view the
// method code looks ahead with (its bit 15 is the next bit); it is always the top of
// `window`, which holds `windowBits` further bits of look-ahead, left-aligned, with zeros
// below them. Holding up to 64 bits lets the bit reader take eight bytes at a time; the bits
// themselves are the same as a reader that pulls one byte whenever it runs short.
// Bits beyond the member's packed data read as 0, but only a few: an encoder ends its stream
// with its last code, so a member that reads on past its data is damaged, and stopping it
// there keeps the work linear in the packed size whatever original size the header claims.
// The 64-bit fields come first here and in the structures below: no padding, so that the
// fields the methods use most stay within a byte's offset of the state's start (see decoder).
struct BitReader {
    uint64_t window;           // the next windowBits bits of the stream, left-aligned
    uint64_t packedRemaining;  // packed bytes not yet taken from the InputBuffer
    uint16_t bitBuffer;        // the next 16 bits; equals window >> 48
    uint32_t windowBits;       // 16 to 64 once initBits has run
    uint32_t zeroBytes;        // zero bytes put into the window after the packed data ran out
};

// Zero bytes the bit reader may supply past the packed data before the member counts as
// damaged: the 8 bytes of look-ahead that the window holds beyond what a code consumes, and as
// much again for an encoder that left off a last byte of zero bits.
const uint32_t PACKED_SLACK_BYTES = 16;

// Read-ahead of packed data: the whole member in one fread when memory allows.
struct InputBuffer {
    uint64_t unread;        // packed bytes of the member not yet read from the file
    uint64_t consumed;      // bytes taken from the fills before the current one
    uint8_t* data;          // null when capacity is 0
    uint32_t capacity;      // bytes of data
    uint32_t readPosition;  // index of the next byte in data
};

// How a decode run reports progress without knowing who listens: called with the bytes of the
// member produced so far, it answers the count from which on it wants to be called again
// (more than the count it was given), or 0 to stop decoding at once (Abort). The loop calls
// it once that count is reached, and at least every RUN_CHECK_INTERVAL bytes, so that a
// listener which only polls an abort flag still stops a member within a few milliseconds.
// A plain function and a context keep the stub free of anything heavier.
// Counts have 64 bits: a member may hold 4 GiB and more (its sizes in extended header 0x42).
typedef uint64_t (*DecodeProgress)(void* context, uint64_t produced);

struct DecodeSet {
    uint16_t (*nextCode)();      // 0-255 literal, 256 and above a match length code
    uint16_t (*nextDistance)();  // the match starts (value + 1) bytes behind writePos
    void (*startDecode)();
};

// Tables of the static Huffman methods, shared by -lh3- and -lh1- (see decode/table.h).
const uint32_t CODE_SYMBOLS = 510;   // literal/length symbols of -lh4- to -lh7-
const uint32_t CODE_TABLE_BITS = 12;
const uint32_t AUX_SYMBOLS = 128;
const uint32_t AUX_TABLE_BITS = 8;
const uint32_t TREE_NODES = 1019;
const uint32_t MAX_CODE_LENGTH = 16;  // every code fits the 16-bit look-ahead

// Node arrays of the adaptive Huffman methods -lh1- and -lh2-.
const uint32_t ADAPTIVE_NODES = 884;
const uint32_t ADAPTIVE_LEAVES = 442;

struct DecoderContext {
    // ---- frame
    uint64_t originalSize;
    uint64_t decodedCount;
    BitReader bits;
    InputBuffer in;
    FILE* input;
    FILE* output;
    uint8_t* dictionary;
    uint32_t writePos;
    uint32_t availPhys;  // free physical memory as the host reported it; 0 = unknown
    uint8_t* stage;      // output gathered into pieces of up to STAGE_SIZE bytes, or null
    uint32_t staged;     // bytes waiting in stage
    DecodeProgress progress;  // the job's listener, or null: no reports, no abort
    void* progressContext;
    uint16_t dictBits;
    uint16_t crc16;
    bool corrupt;        // a method met data that names nothing; the member fails its CRC
    bool writeFailed;    // fwrite took fewer bytes than it was given; decoding stops

    // ---- static Huffman (-lh4- to -lh7-), also used by -lh3- and -lh1-
    uint8_t codeLen[CODE_SYMBOLS];
    uint16_t codeTable[1u << CODE_TABLE_BITS];
    uint8_t auxLen[AUX_SYMBOLS];
    uint16_t auxTable[1u << AUX_TABLE_BITS];
    uint16_t treeLeft[TREE_NODES];
    uint16_t treeRight[TREE_NODES];
    // The tables of -lh4- to -lh7-, with each symbol's length beside it so that one load
    // yields both (see decode/table.h).
    uint16_t codeFast[1u << CODE_TABLE_BITS];
    uint16_t auxFast[1u << AUX_TABLE_BITS];
    uint16_t blockRemaining;
    uint32_t distSymbols;
    uint32_t distCountBits;

    // ---- -lh3- (and the -lh1- distance code)
    uint32_t distCodeCount;
    uint16_t lh3BlockRemaining;

    // ---- adaptive Huffman (-lh1-, -lh2-)
    uint16_t nodeFreq[ADAPTIVE_NODES];
    int16_t nodeChild[ADAPTIVE_NODES];
    uint16_t nodeParent[ADAPTIVE_NODES];
    uint16_t nodeBlock[ADAPTIVE_NODES];
    uint16_t blockLeader[ADAPTIVE_NODES];
    uint16_t freeBlocks[ADAPTIVE_NODES];
    uint16_t leafNode[ADAPTIVE_LEAVES];
    uint32_t charSymbols;
    uint16_t maxMatch;
    uint32_t escapeCode;
    uint32_t freeBlockTop;
    uint32_t lastDistNode;
    uint16_t distTotal;
    uint32_t nextGrowth;
    uint32_t distLimit;

    // ---- LArc (-lzs-, -lz5-)
    uint32_t matchPos;
    uint32_t flagCount;
    uint32_t flagByte;
};

// A build for size reaches the state through a register rather than by its address. On i686
// each instruction that names a global's address needs an entry in the relocation table of
// the movable image (this state alone had over 300), and on both targets an offset from a
// register is often shorter. The empty asm hides from the compiler that the pointer is a
// constant, so it loads it once per function and addresses the fields relative to it. The
// other builds keep the direct form, which is faster.
#if QUOR_SMALL
extern DecoderContext decoderState;
inline DecoderContext* decoderBase()
{
    DecoderContext* p = &decoderState;
    __asm__("" : "+r"(p));
    return p;
}
#define decoder (*decoderBase())
#else
extern DecoderContext decoder;
#endif

// One compressed member. Built by the driver, run once, dropped.
class DecodeJob {
public:
    DecodeJob(FILE* input, FILE* output, uint64_t originalSize, uint64_t packedSize,
              uint32_t dictBits, uint32_t methodIndex, DecodeProgress progress = nullptr,
              void* progressContext = nullptr)
        : dictSize(0), set(), input(input), output(output), originalSize(originalSize),
          packedSize(packedSize), dictBits(dictBits), methodIndex(methodIndex),
          progress(progress), progressContext(progressContext) {}

    // True when decoding stopped because RunFlag became 0, false when at least
    // originalSize bytes were produced, or when the member could not be decoded at all
    // (decoder.corrupt is then set: no operations for methodIndex, no memory, bad data).
    bool run();

private:
    bool prepareInput(uint64_t packedSize);

    uint32_t dictSize;
    DecodeSet set;
    FILE* input;
    FILE* output;
    uint64_t originalSize;
    uint64_t packedSize;
    uint32_t dictBits;
    uint32_t methodIndex;
    DecodeProgress progress;
    void* progressContext;
};

// ---- InputBuffer

// Refills the buffer with one fread of `capacity` bytes. A member cut off by the end of the
// file is damaged: the bytes the read could not supply read as 0, never as stale memory, and
// the member fails even when its header carries no CRC to tell.
void refillInput();

// The next packed byte. A buffer of capacity 0 (packed size 0) holds none: it gives 0 and
// marks the member damaged, as a buffer whose member is used up does.
inline uint8_t nextByte()
{
    InputBuffer& in = decoder.in;
    if (in.readPosition == in.capacity) {
        if (in.capacity == 0) {
            decoder.corrupt = true;
            return 0;
        }
        refillInput();
    }
    return in.data[in.readPosition++];
}

// ---- BitReader

// Tops `window` up to at least 57 bits: whole bytes from the InputBuffer while the member
// has packed bytes left, zeros after that.
void refillBits();
void fillBitsSlow(uint32_t n);

// Drops n bits from the top of bitBuffer and pulls n new bits in behind them. Any n works.
inline void fillBits(uint8_t n)
{
    BitReader& b = decoder.bits;
    if (n + 16u > b.windowBits) {
        fillBitsSlow(n);
        return;
    }
    b.window <<= n;  // n <= 48 here
    b.windowBits -= n;
    b.bitBuffer = (uint16_t)(b.window >> 48);
}

// The next n bits (0 to 16) as a number, consumed.
inline uint16_t getBits(uint8_t n)
{
    uint16_t value = n == 0 ? 0 : (uint16_t)(decoder.bits.bitBuffer >> (16 - n));
    fillBits(n);
    return value;
}

// Starts the bit stream of a member: bitBuffer then holds its first two packed bytes.
inline void initBits()
{
    BitReader& b = decoder.bits;
    b.window = 0;
    b.windowBits = 0;
    b.zeroBytes = 0;
    refillBits();
    b.bitBuffer = (uint16_t)(b.window >> 48);
}

// ---- Output

// Updates crc16 over the bytes in order and hands them to the output file. Dictionaries
// smaller than STAGE_SIZE are gathered first, so that a small dictionary does not cost one
// system call per 2 to 32 KiB. False once the file took fewer bytes than it was given
// (decoder.writeFailed is then set).
const uint32_t STAGE_SIZE = 64 * 1024;
bool writeOut(const uint8_t* data, uint32_t length);
// Writes what writeOut has gathered. False when the file refused bytes.
bool flushOutput();

// ---- Static Huffman block headers (decode/block.cpp)

// Reads the lengths of an auxiliary code of `count` symbols into auxLen and builds auxTable,
// or auxFast (packed) for the `distances` code and, in the tool, also for the code-length
// code; `zeroCountAfter` is the number of lengths after which a 2-bit
// count of further zero lengths follows, or -1 for none.
void readAuxLengths(uint16_t count, uint16_t countBits, int16_t zeroCountAfter, bool distances = false);
// Reads codeLen through the code-length code and builds codeFast.
void readCodeLengths();

// The decode loop of -lh4- to -lh7-, which the tool runs mostly in stretches with the bit
// reader held in registers; run() uses it whenever the job's set is the block set, so those
// methods pay no indirect call per code.
bool decodeBlockMember(uint32_t dictSize);
// The same for -lzs- and -lz5-, which the tool also decodes without an indirect call per code.
bool decodeLarcMember(uint32_t dictSize, bool lz5);

// ---- The decode loop

// Copies a match of `length` bytes from dictionary index `from` to writePos, byte by byte in
// effect: where the source overlaps the bytes being written, the last (writePos - from)
// bytes repeat. The source runs modulo the dictionary size, and a full dictionary is written
// out whenever writePos reaches its end (a block write does not clear it). Returns false when
// the output refused bytes.
QUOR_ALWAYS_INLINE bool copyMatch(uint8_t* dictionary, uint32_t dictSize, uint32_t& writePos, uint32_t from,
                      uint32_t length)
{
    uint32_t to = writePos;
    if (!QUOR_SMALL && to + length < dictSize && from + length <= dictSize && from < to) {
        // Neither side wraps, no block is written in between, and the source lies behind.
        writePos = to + length;
        uint8_t* out = dictionary + to;
        const uint8_t* src = dictionary + from;
        uint32_t gap = to - from;
        if (gap >= 8) {
            if (length >= 8) {
                // Every 8-byte piece reads only bytes that are final before it is written;
                // the last piece ends exactly at the match end and rewrites some bytes with
                // the values they already have.
                for (uint32_t k = 0; k + 8 < length; k += 8) memcpy(out + k, src + k, 8);
                memcpy(out + length - 8, src + length - 8, 8);
            } else if (length >= 4) {
                // 4 to 7 bytes, no overlap: two 4-byte pieces.
                uint32_t head, tail;
                memcpy(&head, src, 4);
                memcpy(&tail, src + length - 4, 4);
                memcpy(out, &head, 4);
                memcpy(out + length - 4, &tail, 4);
            } else {
                out[0] = src[0];
                out[1] = src[1];
                if (length == 3) out[2] = src[2];
            }
        } else if (gap >= 4 && length >= 4) {
            // A short period: 4-byte pieces still read only final bytes.
            for (uint32_t k = 0; k + 4 < length; k += 4) memcpy(out + k, src + k, 4);
            memcpy(out + length - 4, src + length - 4, 4);
        } else if (gap == 1) {
            memset(out, *src, length);
        } else {
            for (uint32_t k = 0; k < length; ++k) out[k] = src[k];
        }
        return true;
    }
    uint32_t mask = dictSize - 1;
    bool written = true;
    for (uint32_t k = 0; k < length; ++k) {
        dictionary[to] = dictionary[(from + k) & mask];
        if (++to == dictSize) {
            if (!writeOut(dictionary, dictSize)) written = false;
            to = 0;
        }
    }
    writePos = to;
    return written;
}

// Output between two polls of RunFlag when the bar moves less often: a few milliseconds of
// decoding, so that Abort still stops a member at once.
const uint32_t RUN_CHECK_INTERVAL = 64 * 1024;

// The loop every method shares. `Codes` supplies nextCode(), nextDistance() and damaged()
// (true once decoder.corrupt is set: the loop then ends as if the member were done). When
// Codes::stretches is true, its stretch() decodes runs of codes away from every edge (see
// BlockCodes) and the loop takes only the codes between them. When Codes::readsContext is
// true, nextCode() and nextDistance() may read decoder.writePos and decoder.decodedCount,
// which are then kept current before each call. Returns true when RunFlag stopped it (the
// bytes produced since the last block write are then not written); on the way out
// decoder.writePos and decoder.decodedCount hold the final values.
//
// The job's DecodeProgress is called whenever it asked to be, and at least every
// RUN_CHECK_INTERVAL bytes: a bar shows the same positions as with a call after every code,
// and an abort pressed from the bar's own update stops at that very code.
template <class Codes>
QUOR_ALWAYS_INLINE bool decodeLoop(Codes& codes, uint32_t dictSize, uint32_t lengthBias)
{
    uint8_t* const dictionary = decoder.dictionary;
    const uint64_t originalSize = decoder.originalSize;
    const uint32_t mask = dictSize - 1;
    uint32_t writePos = 0;
    uint64_t decodedCount = 0;
    bool aborted = false;
    bool written = true;
    uint64_t checkAt = 0;

    while (decodedCount < originalSize) {
        uint64_t stretchedFrom = decodedCount;
        if (Codes::stretches) {
            codes.stretch(dictionary, dictSize, lengthBias, writePos, decodedCount,
                          checkAt < originalSize ? checkAt : originalSize);
            if (codes.damaged()) break;
        }
        if (decodedCount == stretchedFrom) {
            // One code the plain way: at an edge, or for a method without a stretch.
            if (Codes::readsContext) {
                decoder.writePos = writePos;
                decoder.decodedCount = decodedCount;
            }
            uint32_t code = codes.nextCode();
            if (codes.damaged()) break;
            if (code < 256) {
                dictionary[writePos] = (uint8_t)code;
                decodedCount += 1;
                if (++writePos == dictSize) {
                    written = writeOut(dictionary, dictSize);
                    writePos = 0;
                    if (!written) break;
                }
            } else {
                uint32_t length = code - lengthBias;
                uint32_t distance = codes.nextDistance();
                if (codes.damaged()) break;
                decodedCount += length;
                uint32_t from = (writePos - distance - 1) & mask;
                written = copyMatch(dictionary, dictSize, writePos, from, length);
                if (!written) break;
            }
        }
        if (decodedCount >= checkAt) {
            uint64_t due = UINT64_MAX;
            if (decoder.progress) {
                due = decoder.progress(decoder.progressContext, decodedCount);
                if (due == 0) {
                    aborted = true;
                    break;
                }
            }
            checkAt = decodedCount + RUN_CHECK_INTERVAL < due ? decodedCount + RUN_CHECK_INTERVAL : due;
        }
    }
    decoder.writePos = writePos;
    decoder.decodedCount = decodedCount;
    return aborted;
}
