// The writing side of the -lh4- to -lh7- block format (laid out at the top of
// decode/block.cpp): a most-significant-bit-first bit writer, the parse's items, and one
// block's codes: their lengths from the block's counts, the exact size of the block in bits,
// and the block itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "decode/block_format.h"
#include "decode/frame.h"

// One item of the parse: a literal, or a match of MIN_MATCH to MAX_MATCH bytes that starts
// (distance value + 1) bytes back.
struct Item {
    uint16_t length;  // 0 for a literal
    uint16_t value;   // the literal byte or the distance value
};

// The literal/length symbol of an item.
inline uint32_t itemSymbol(const Item& item)
{
    return item.length == 0 ? item.value : item.length + MATCH_LENGTH_BIAS;
}

// The distance symbol of a distance value: 0 for 0, else its bit count; the symbol's extra
// bits are the value's bits below its top one.
inline uint32_t distanceSymbol(uint32_t value)
{
    return value == 0 ? 0 : 32 - (uint32_t)__builtin_clz(value);
}

// Fields most significant bit first, with no padding; whole bytes go to the sink in pieces.
class BitWriter {
public:
    using Sink = std::function<void(const uint8_t* data, size_t size)>;
    explicit BitWriter(Sink sink) : sink(std::move(sink)) {}

    // value < 2^bits, bits <= 32.
    void put(uint32_t value, uint32_t bits)
    {
        acc = (acc << bits) | value;
        used += bits;
        while (used >= 8) {
            used -= 8;
            buffer.push_back((uint8_t)(acc >> used));
        }
        if (buffer.size() >= FLUSH_SIZE) flush();
    }
    // The last byte padded with 0 bits, and everything handed to the sink.
    void finish()
    {
        if (used > 0) put(0, 8 - used);
        flush();
    }
    // Whole bytes, as if each were put with 8 bits (the fast way when the writer is at a byte
    // boundary): the bits of a piece of the stream coded apart.
    void putBytes(const uint8_t* data, size_t size)
    {
        if (used == 0) {
            buffer.insert(buffer.end(), data, data + size);
        } else {
            for (size_t k = 0; k < size; ++k) {
                acc = (acc << 8) | data[k];
                buffer.push_back((uint8_t)(acc >> used));
            }
        }
        if (buffer.size() >= FLUSH_SIZE) flush();
    }
    // Hands every whole byte to the sink and returns the bits after them (value < 2^bits,
    // bits < 8), which the writer then forgets: the end of a piece coded apart.
    uint32_t takeTail(uint32_t& bits)
    {
        flush();
        bits = used;
        uint32_t value = (uint32_t)acc & ((1u << used) - 1);
        used = 0;
        acc = 0;
        return value;
    }
    uint64_t bytesOut() const { return given; }
    uint64_t bitsWritten() const { return (given + buffer.size()) * 8 + used; }

private:
    static const size_t FLUSH_SIZE = 1 << 16;
    void flush()
    {
        if (!buffer.empty()) sink(buffer.data(), buffer.size());
        given += buffer.size();
        buffer.clear();
    }
    Sink sink;
    std::vector<uint8_t> buffer;
    uint64_t acc = 0;  // the low `used` bits are not written yet
    uint32_t used = 0;
    uint64_t given = 0;
};

// The symbol counts of a stretch of items.
struct BlockCounts {
    uint32_t symbols[CODE_SYMBOLS] = {};
    uint32_t distances[17] = {};
    uint32_t items = 0;

    void add(const Item& item)
    {
        ++items;
        ++symbols[itemSymbol(item)];
        if (item.length != 0) ++distances[distanceSymbol(item.value)];
    }
    void remove(const Item& item)
    {
        --items;
        --symbols[itemSymbol(item)];
        if (item.length != 0) --distances[distanceSymbol(item.value)];
    }
    void add(const BlockCounts& other);
};

// How hard a block's codes are fitted to its counts.
enum class CodeEffort {
    usual,     // Huffman codes, zero runs folded the usual way
    thorough,  // the zero runs of the literal/length lengths also folded at the prices of
               // the code-length code, and a literal/length code with the rarest symbols'
               // counts raised tried too, each kept when it makes the block smaller
    fitted,    // thorough, then the literal/length lengths chosen against their header
               // cost too (see fitLengths): slower, so for the blocks a parse weighs, not
               // for every cut tried
};

// The three codes of one block, made from its counts.
class BlockCodes {
public:
    BlockCodes(const BlockCounts& counts, uint32_t dictBits, CodeEffort effort = CodeEffort::usual);

    // The block's size in bits, header included.
    uint64_t bits() const { return headerBits + bodyBits; }
    // The code lengths in bits: 0 for a symbol the block does not use, and for the one
    // symbol of a single-value code.
    const uint8_t* symbolLengths() const { return symbolLen; }
    const uint8_t* distanceLengths() const { return distanceLen; }
    // The value of a code in single-value form, else -1.
    int32_t singleSymbolValue() const { return singleSymbol; }
    int32_t singleDistanceValue() const { return singleDistance; }

    // Makes the codes from their lengths and sends the block: most blocks the encoder weighs
    // are only priced, so the codes themselves are made here.
    void write(BitWriter& out, const Item* items, size_t count) const;

private:
    uint64_t settleSymbolLengths(const BlockCounts& counts, bool thorough);
    bool foldLengths(const uint32_t* price);
    uint64_t fitLengths(const BlockCounts& counts, uint64_t symbolBits);
    uint64_t lengthHeaderBits() const;
    void writeAuxLengths(BitWriter& out, const uint8_t* lengths, uint32_t count, uint32_t countBits,
                         int32_t zeroCountAfter) const;

    uint32_t distSymbols;
    uint32_t distCountBits;
    uint8_t symbolLen[CODE_SYMBOLS];
    uint8_t distanceLen[17];
    uint8_t lengthLen[CODE_LENGTH_SYMBOLS];
    int32_t singleSymbol;    // the value of a single-value code, else -1
    int32_t singleDistance;  // likewise (0 when the block has no match)
    int32_t singleLength;
    // The literal/length lengths as code-length symbols: symbol, and the extra bits' value.
    // Each stands for one length or more, so there are at most CODE_SYMBOLS; in place, as
    // the encoder weighs thousands of blocks for each one it sends.
    struct LengthItem {
        uint8_t first;
        uint16_t second;
    };
    LengthItem lengthItems[CODE_SYMBOLS];
    uint32_t lengthItemCount = 0;
    // The code-length code and the lengths as its symbols, kept aside while another way of
    // sending the lengths is tried (only the items in use are copied).
    struct LengthCodeCopy {
        LengthItem items[CODE_SYMBOLS];
        uint32_t itemCount;
        uint8_t lengths[CODE_LENGTH_SYMBOLS];
        int32_t single;
    };
    void keepLengthCode(LengthCodeCopy& copy) const;
    void restoreLengthCode(const LengthCodeCopy& copy);
    uint32_t symbolCount;  // literal/length lengths sent (trailing zeros are not)
    uint64_t headerBits;
    uint64_t bodyBits;
};
