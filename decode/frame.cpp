#include "decode/frame.h"

#include <stdlib.h>
#include <string.h>

#include "decode/methods.h"

#if !QUOR_SMALL && defined(__x86_64__) && defined(__GNUC__)
#define QUOR_FOLD_CRC 1
#include <immintrin.h>
#else
#define QUOR_FOLD_CRC 0
#endif

#if QUOR_SMALL
DecoderContext decoderState;
#else
DecoderContext decoder;
#endif
uint16_t crc16Table[256];

namespace {

#if QUOR_FOLD_CRC
// CRC-16/ARC by carry-less multiplication, 16 bytes per step. A reflected CRC with the
// 17-bit polynomial P equals the low 16 bits of a reflected 32-bit CRC with P * x^16, so the
// usual 32-bit folding applies: each step multiplies the running 128 bits by x^128 mod P'
// in two halves and adds the next 16 bytes; the end reduces 128 bits to 64, then to 32, and
// takes the remainder by Barrett reduction. Long runs keep four such sums 64 bytes apart,
// folded by x^512, so that four multiplications are under way at once instead of waiting on
// each other. The constants, for P' = x^32 + 0x80050000, bit-reflected (' below) as the
// reflected order needs:
//   FOLD_128 = (x^(128+32) mod P')' << 1,  FOLD_64 = (x^(128-32) mod P')' << 1,
//   FOLD_512 = (x^(512+32) mod P')' << 1,  FOLD_448 = (x^(512-32) mod P')' << 1,
//   FOLD_32 = (x^64 mod P')' << 1,  P' reflected (33 bits), MU = (x^64 div P')' (33 bits).
const uint64_t FOLD_128 = 0x1d0c2;
const uint64_t FOLD_64 = 0x18cc2;
const uint64_t FOLD_512 = 0x1b0c2;
const uint64_t FOLD_448 = 0xbffa;
const uint64_t FOLD_32 = 0x1bc02;
const uint64_t POLY_REFLECTED = 0x14003;
const uint64_t MU_REFLECTED = 0x1cfffbfff;
const uint32_t FOLD_MIN_BYTES = 64;  // below this the tables are as quick
bool foldAvailable = false;

// `length` is a multiple of 16, at least 16.
__attribute__((target("pclmul,sse4.1"))) uint16_t foldCrc16(uint16_t crc, const uint8_t* data, uint32_t length)
{
    __m128i x = _mm_xor_si128(_mm_loadu_si128((const __m128i*)data), _mm_cvtsi32_si128(crc));
    const __m128i folds = _mm_set_epi64x((long long)FOLD_64, (long long)FOLD_128);
    uint32_t at = 16;
    if (length >= 128) {
        const __m128i folds4 = _mm_set_epi64x((long long)FOLD_448, (long long)FOLD_512);
        __m128i sums[4] = {x, _mm_loadu_si128((const __m128i*)(data + 16)),
                           _mm_loadu_si128((const __m128i*)(data + 32)),
                           _mm_loadu_si128((const __m128i*)(data + 48))};
        for (at = 64; at + 64 <= length; at += 64) {
            for (int i = 0; i < 4; ++i) {
                __m128i low = _mm_clmulepi64_si128(sums[i], folds4, 0x00);
                __m128i high = _mm_clmulepi64_si128(sums[i], folds4, 0x11);
                sums[i] = _mm_xor_si128(_mm_xor_si128(low, high),
                                        _mm_loadu_si128((const __m128i*)(data + at + 16 * i)));
            }
        }
        x = sums[0];
        for (int i = 1; i < 4; ++i) {
            __m128i low = _mm_clmulepi64_si128(x, folds, 0x00);
            __m128i high = _mm_clmulepi64_si128(x, folds, 0x11);
            x = _mm_xor_si128(_mm_xor_si128(low, high), sums[i]);
        }
    }
    for (; at < length; at += 16) {
        __m128i low = _mm_clmulepi64_si128(x, folds, 0x00);
        __m128i high = _mm_clmulepi64_si128(x, folds, 0x11);
        x = _mm_xor_si128(_mm_xor_si128(low, high), _mm_loadu_si128((const __m128i*)(data + at)));
    }
    x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, folds, 0x10));
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    __m128i upper = _mm_srli_si128(x, 4);
    x = _mm_clmulepi64_si128(_mm_and_si128(x, low32), _mm_set_epi64x(0, (long long)FOLD_32), 0x00);
    x = _mm_xor_si128(x, upper);
    const __m128i barrett = _mm_set_epi64x((long long)MU_REFLECTED, (long long)POLY_REFLECTED);
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
    return (uint16_t)_mm_extract_epi32(_mm_xor_si128(t, x), 1);
}
#endif

// crc16Slices[k][b]: the CRC change of byte b followed by k zero bytes. With them eight bytes
// take eight independent lookups instead of a chain of eight, and give the same CRC as the
// byte-wise table.
const uint32_t CRC_SLICES = 8;
uint16_t crc16Slices[CRC_SLICES][256];

}  // namespace

void buildCrc16Table()
{
    const uint16_t POLYNOMIAL = 0xA001;  // 0x8005 reflected
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t c = (uint16_t)i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (uint16_t)((c >> 1) ^ POLYNOMIAL) : (uint16_t)(c >> 1);
        crc16Table[i] = c;
        crc16Slices[0][i] = c;
    }
#if QUOR_FOLD_CRC
    foldAvailable = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif
    for (uint32_t k = 1; k < CRC_SLICES && !QUOR_SMALL; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint16_t c = crc16Slices[k - 1][i];
            crc16Slices[k][i] = (uint16_t)((c >> 8) ^ crc16Table[c & 0xFF]);
        }
    }
}

uint16_t updateCrc16(uint16_t crc, const uint8_t* data, uint32_t length)
{
#if QUOR_FOLD_CRC
    if (foldAvailable && length >= FOLD_MIN_BYTES) {
        uint32_t folded = length & ~15u;
        crc = foldCrc16(crc, data, folded);
        data += folded;
        length -= folded;
    }
#endif
    while (!QUOR_SMALL && length >= CRC_SLICES) {
        uint32_t c = crc ^ (data[0] | (uint32_t)data[1] << 8);
        crc = (uint16_t)(crc16Slices[7][c & 0xFF] ^ crc16Slices[6][c >> 8] ^
                         crc16Slices[5][data[2]] ^ crc16Slices[4][data[3]] ^
                         crc16Slices[3][data[4]] ^ crc16Slices[2][data[5]] ^
                         crc16Slices[1][data[6]] ^ crc16Slices[0][data[7]]);
        data += CRC_SLICES;
        length -= CRC_SLICES;
    }
    while (length--) crc = (uint16_t)((crc >> 8) ^ crc16Table[(crc ^ *data++) & 0xFF]);
    return crc;
}

// ---- InputBuffer

void refillInput()
{
    InputBuffer& in = decoder.in;
    in.consumed += in.readPosition;
    in.readPosition = 0;
    if (in.unread == 0) {
        // The member's bytes are all taken (only -lz5-, which reads whole bytes, gets here):
        // a stream that wants more is damaged, and nothing behind the member is read for it.
        decoder.corrupt = true;
        memset(in.data, 0, in.capacity);
        return;
    }
    size_t got = fread(in.data, 1, in.capacity, decoder.input);
    // A read short of the member's own bytes means the archive was cut. What the read brings
    // from behind the member (the next header) reads as 0, like what it could not bring.
    uint32_t wanted = in.unread < in.capacity ? (uint32_t)in.unread : in.capacity;
    if (got < wanted) decoder.corrupt = true;
    uint32_t member = got < wanted ? (uint32_t)got : wanted;
    in.unread -= member;
    memset(in.data + member, 0, in.capacity - member);
}

// The buffer holds the whole member when it is small, else READ_AHEAD bytes, and never more
// than the free physical memory. One read of a whole large member would be fewer calls, but
// it faults in every page of a fresh block and then finds none of it in the cache when the
// bits are taken: measured, a 17 MiB member decodes about 40 % faster from a 256 KiB buffer,
// and a 64 KiB one is as fast again while it keeps the resident size down.
// A packed size of 0 gets no buffer at all: nothing may be read for such a member.
bool DecodeJob::prepareInput(uint64_t packedSize)
{
    const uint32_t READ_AHEAD = 64 * 1024;
    const uint32_t FALLBACK_CAPACITY = 16384;
    InputBuffer& in = decoder.in;
    in.data = nullptr;
    in.capacity = 0;
    in.readPosition = 0;
    in.unread = 0;
    in.consumed = 0;
    if (packedSize == 0) return true;

    uint32_t capacity = packedSize < READ_AHEAD ? (uint32_t)packedSize : READ_AHEAD;
    if (decoder.availPhys != 0 && capacity > decoder.availPhys) capacity = decoder.availPhys;
    uint8_t* data = (uint8_t*)malloc(capacity);
    if (data == nullptr) {
        capacity = FALLBACK_CAPACITY;
        data = (uint8_t*)malloc(capacity);
        if (data == nullptr) return false;
    }
    in.data = data;
    in.capacity = capacity;
    in.unread = packedSize;
    refillInput();
    in.consumed = 0;
    return true;
}

// ---- BitReader

void refillBits()
{
    BitReader& b = decoder.bits;
    InputBuffer& in = decoder.in;
    // Eight bytes at once, where the buffer holds them; only the whole bytes that fit are
    // taken. The build for size takes them one by one below: the same bits, less code.
    if (!QUOR_SMALL && b.packedRemaining >= 8 && in.capacity - in.readPosition >= 8 &&
        b.windowBits <= 56) {
        const uint8_t* p = in.data + in.readPosition;
        uint64_t v = ((uint64_t)p[0] << 56) | ((uint64_t)p[1] << 48) | ((uint64_t)p[2] << 40) |
                     ((uint64_t)p[3] << 32) | ((uint64_t)p[4] << 24) | ((uint64_t)p[5] << 16) |
                     ((uint64_t)p[6] << 8) | (uint64_t)p[7];
        uint32_t bytes = (64 - b.windowBits) >> 3;
        v &= ~(uint64_t)0 << (64 - 8 * bytes);
        b.window |= v >> b.windowBits;
        b.windowBits += 8 * bytes;
        in.readPosition += bytes;
        b.packedRemaining -= bytes;
        return;
    }
    while (b.windowBits <= 56) {
        if (b.packedRemaining == 0) {
            // The bits below the valid ones are already 0. A stream that goes on reading
            // them (a damaged member, or a header that claims more than the data holds) stops
            // here, within a few bytes, however large its original size.
            b.zeroBytes += (64 - b.windowBits) >> 3;
            if (b.zeroBytes > PACKED_SLACK_BYTES) decoder.corrupt = true;
            b.windowBits = 64;
            return;
        }
        --b.packedRemaining;
        b.window |= (uint64_t)nextByte() << (56 - b.windowBits);
        b.windowBits += 8;
    }
}

void fillBitsSlow(uint32_t n)
{
    BitReader& b = decoder.bits;
    while (n > 0) {
        uint32_t step = n > 32 ? 32 : n;
        if (step + 16 > b.windowBits) refillBits();
        b.window <<= step;
        b.windowBits -= step;
        n -= step;
    }
    b.bitBuffer = (uint16_t)(b.window >> 48);
}

// ---- Output

namespace {

bool writeFile(const uint8_t* data, uint32_t length)
{
    if (length == 0 || fwrite(data, 1, length, decoder.output) == length) return true;
    decoder.writeFailed = true;
    return false;
}

}  // namespace

bool writeOut(const uint8_t* data, uint32_t length)
{
    decoder.crc16 = updateCrc16(decoder.crc16, data, length);
    if (QUOR_SMALL || decoder.stage == nullptr || length > STAGE_SIZE)
        return writeFile(data, length);
    if (decoder.staged + length > STAGE_SIZE && !flushOutput()) return false;
    memcpy(decoder.stage + decoder.staged, data, length);
    decoder.staged += length;
    return true;
}

bool flushOutput()
{
    uint32_t length = decoder.staged;
    decoder.staged = 0;
    return QUOR_SMALL || decoder.stage == nullptr || writeFile(decoder.stage, length);
}

// ---- The job

namespace {

// Any method: one indirect call per code.
struct TableCodes {
    static const bool readsContext = true;
    static const bool stretches = false;
    void stretch(uint8_t*, uint32_t, uint32_t, uint32_t&, uint64_t&, uint64_t) {}
    DecodeSet set;
    uint16_t nextCode() { return set.nextCode(); }
    uint16_t nextDistance() { return set.nextDistance(); }
    bool damaged() const { return decoder.corrupt; }
};

const uint32_t METHOD_COUNT = 12;
const uint32_t LZS_INDEX = 8;
const uint32_t MAX_DICT_BITS = 16;  // distances are 16-bit values
const uint8_t DICTIONARY_FILL = 0x20;

}  // namespace

bool DecodeJob::run()
{
    decoder.writeFailed = false;
    decoder.crc16 = 0;
    decoder.writePos = 0;
    decoder.decodedCount = 0;
    if (methodIndex >= METHOD_COUNT || DecodeSetTable[methodIndex].nextCode == nullptr ||
        dictBits == 0 || dictBits > MAX_DICT_BITS) {
        // Stored members and folders never reach a decoder; refuse rather than guess.
        decoder.corrupt = true;
        return false;
    }
    decoder.input = input;
    decoder.output = output;
    decoder.dictBits = (uint16_t)dictBits;
    decoder.originalSize = originalSize;
    decoder.progress = progress;
    decoder.progressContext = progressContext;
    decoder.bits.packedRemaining = packedSize;
    set = DecodeSetTable[methodIndex];

    // No dictionary or no input buffer: the member fails, the walk goes on.
    dictSize = 1u << dictBits;
#if !QUOR_SMALL
    // The block methods decode into a ring of BLOCK_RING_SIZE: far more bytes between two
    // wraps for the fast way through (see BlockCodes::stretch), room for its 8-byte copies to
    // run past a match, and output written straight from the ring in large pieces. Their
    // distances are taken modulo the dictionary size, so the bytes are those of a ring of it.
    const uint32_t BLOCK_RING_SIZE = 128 * 1024;
    if (set.nextCode == blockNextCode) dictSize = BLOCK_RING_SIZE;
#endif
    decoder.dictionary = (uint8_t*)malloc(dictSize);
    if (decoder.dictionary == nullptr) {
        decoder.corrupt = true;
        return false;
    }
    memset(decoder.dictionary, DICTIONARY_FILL, dictSize);
    if (!prepareInput(packedSize)) {
        free(decoder.dictionary);
        decoder.dictionary = nullptr;
        decoder.corrupt = true;
        return false;
    }
    // Without the gathering block every dictionary goes out on its own: slower, same bytes.
    // The build for size always does without it.
    decoder.stage = !QUOR_SMALL && dictSize < STAGE_SIZE ? (uint8_t*)malloc(STAGE_SIZE) : nullptr;
    decoder.staged = 0;

    set.startDecode();
    uint32_t lengthBias = methodIndex == LZS_INDEX ? 254 : 253;

    bool aborted = false;
    if (!decoder.corrupt) {
#if !QUOR_SMALL
        if (set.nextCode == blockNextCode) {
            aborted = decodeBlockMember(dictSize);
        } else if (set.nextCode == lzsNextCode || set.nextCode == lz5NextCode) {
            aborted = decodeLarcMember(dictSize, set.nextCode == lz5NextCode);
        } else
#endif
        {
            TableCodes codes = {set};
            aborted = decodeLoop(codes, dictSize, lengthBias);
        }
    }
    // An encoder ends on the original size exactly. A last match that runs past it can only
    // come from damaged data, which must fail also in a member whose header has no CRC; so
    // must a -lz5- member that took bytes beyond its packed data.
    if (!aborted && decoder.decodedCount != originalSize) decoder.corrupt = true;
    if (decoder.in.consumed + decoder.in.readPosition > packedSize) decoder.corrupt = true;
    // On abort the partial dictionary stays unwritten; whole ones already handed over leave.
    if (!aborted && decoder.writePos != 0 && !decoder.writeFailed)
        writeOut(decoder.dictionary, decoder.writePos);
    if (!decoder.writeFailed) flushOutput();

    free(decoder.stage);
    decoder.stage = nullptr;
    free(decoder.dictionary);
    decoder.dictionary = nullptr;
    free(decoder.in.data);
    decoder.in.data = nullptr;
    decoder.in.capacity = 0;
    decoder.in.readPosition = 0;
    return aborted;
}
