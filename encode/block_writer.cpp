#include "encode/block_writer.h"

#include <algorithm>

#include "encode/huffman.h"

void BlockCounts::add(const BlockCounts& other)
{
    items += other.items;
    for (uint32_t s = 0; s < CODE_SYMBOLS; ++s) symbols[s] += other.symbols[s];
    for (uint32_t s = 0; s < 17; ++s) distances[s] += other.distances[s];
}

namespace {

// The bits of one length of the code-length code or the distance code: 3 bits up to 6, else
// 7 in 3 bits, one 1 bit for each step above 7, and a 0 bit.
uint32_t auxLengthBits(uint32_t length)
{
    return length < AUX_LENGTH_EXTENDED ? AUX_LENGTH_FIELD_BITS : length - AUX_LENGTH_EXTENDED + 4;
}

// The one used symbol of a code, or -1 when none or several are used.
int32_t singleOf(const uint32_t* freq, uint32_t count)
{
    int32_t found = -1;
    for (uint32_t s = 0; s < count; ++s) {
        if (freq[s] == 0) continue;
        if (found >= 0) return -1;
        found = (int32_t)s;
    }
    return found;
}

// Lengths sent of an auxiliary code: up to its last used symbol.
uint32_t sentCount(const uint8_t* lengths, uint32_t count)
{
    while (count > 0 && lengths[count - 1] == 0) --count;
    return count;
}

}  // namespace

BlockCodes::BlockCodes(const BlockCounts& counts, uint32_t dictBits, CodeEffort effort)
    : distSymbols(distanceSymbolsFor(dictBits)), distCountBits(distanceCountBitsFor(dictBits))
{
    const bool thorough = effort != CodeEffort::usual;
    huffmanLengths(counts.symbols, CODE_SYMBOLS, MAX_CODE_LENGTH, symbolLen);
    huffmanLengths(counts.distances, distSymbols, MAX_CODE_LENGTH, distanceLen);
    singleSymbol = singleOf(counts.symbols, CODE_SYMBOLS);
    singleDistance = singleOf(counts.distances, distSymbols);
    if (singleDistance < 0 && sentCount(distanceLen, distSymbols) == 0) singleDistance = 0;
    symbolCount = singleSymbol >= 0 ? 0 : sentCount(symbolLen, CODE_SYMBOLS);

    uint64_t symbolBits = settleSymbolLengths(counts, thorough);
    if (thorough && singleSymbol < 0) {
        // A symbol used once or twice costs about as much in the header (its length breaks a
        // zero run, and odd lengths make the code-length code longer) as in the body. Raised
        // to RARE_COUNT, the rare symbols share a few lengths: a few bits more in the body,
        // often fewer in the header.
        const uint32_t RARE_COUNT = 3;
        uint8_t usual[CODE_SYMBOLS];
        std::copy(symbolLen, symbolLen + CODE_SYMBOLS, usual);
        uint32_t raised[CODE_SYMBOLS];
        for (uint32_t s = 0; s < CODE_SYMBOLS; ++s)
            raised[s] = counts.symbols[s] ? std::max(counts.symbols[s], RARE_COUNT) : 0;
        huffmanLengths(raised, CODE_SYMBOLS, MAX_CODE_LENGTH, symbolLen);
        uint64_t bits = settleSymbolLengths(counts, thorough);
        if (bits < symbolBits) {
            symbolBits = bits;
        } else {
            std::copy(usual, usual + CODE_SYMBOLS, symbolLen);
            settleSymbolLengths(counts, thorough);
        }
    }
    if (effort == CodeEffort::fitted && singleSymbol < 0) symbolBits = fitLengths(counts, symbolBits);
    uint64_t symbolBodyBits = 0;
    for (uint32_t s = 0; s < CODE_SYMBOLS; ++s) symbolBodyBits += (uint64_t)counts.symbols[s] * symbolLen[s];
    headerBits = BLOCK_SIZE_BITS + symbolBits - symbolBodyBits;
    // The distance code.
    if (singleDistance >= 0) {
        headerBits += 2 * distCountBits;
    } else {
        headerBits += distCountBits;
        uint32_t n = sentCount(distanceLen, distSymbols);
        for (uint32_t i = 0; i < n; ++i) headerBits += auxLengthBits(distanceLen[i]);
    }

    bodyBits = symbolBodyBits;
    for (uint32_t s = 0; s < distSymbols; ++s)
        bodyBits += (uint64_t)counts.distances[s] * (distanceLen[s] + (s > 1 ? s - 1 : 0));
}

// Turns the literal/length lengths into code-length symbols and makes their code: first with
// the zero runs folded the usual way, then, when `thorough`, folded again at the prices of
// the code that gives, kept if cheaper. Returns the bits of the code-length code, of the
// literal/length lengths, and of the block's literal/length codes.
uint64_t BlockCodes::settleSymbolLengths(const BlockCounts& counts, bool thorough)
{
    foldLengths(nullptr);
    uint64_t bits = lengthHeaderBits();
    if (thorough && symbolCount > 0) {
        uint32_t price[CODE_LENGTH_SYMBOLS];
        for (uint32_t s = 0; s < CODE_LENGTH_SYMBOLS; ++s)
            price[s] = singleLength >= 0 ? (s == (uint32_t)singleLength ? 0 : MAX_CODE_LENGTH)
                                         : (lengthLen[s] ? lengthLen[s] : MAX_CODE_LENGTH);
        LengthCodeCopy usual;
        keepLengthCode(usual);
        uint64_t folded = foldLengths(price) ? lengthHeaderBits() : UINT64_MAX;
        if (folded < bits)
            bits = folded;
        else
            restoreLengthCode(usual);
    }
    for (uint32_t s = 0; s < CODE_SYMBOLS; ++s) bits += (uint64_t)counts.symbols[s] * symbolLen[s];
    return bits;
}

void BlockCodes::keepLengthCode(LengthCodeCopy& copy) const
{
    copy.itemCount = lengthItemCount;
    std::copy(lengthItems, lengthItems + lengthItemCount, copy.items);
    std::copy(lengthLen, lengthLen + CODE_LENGTH_SYMBOLS, copy.lengths);
    copy.single = singleLength;
}

void BlockCodes::restoreLengthCode(const LengthCodeCopy& copy)
{
    lengthItemCount = copy.itemCount;
    std::copy(copy.items, copy.items + copy.itemCount, lengthItems);
    std::copy(copy.lengths, copy.lengths + CODE_LENGTH_SYMBOLS, lengthLen);
    singleLength = copy.single;
}

// A Huffman code gives each symbol its best length for the body alone, but every length is
// also sent, at the price of its symbol in the code-length code: a length the block uses
// rarely costs more there, and moving a symbol to a common length can save more in the
// header than it costs in the body. So each used symbol takes the length that minimises
//   count * length + header price of the length + lambda * 2^(16 - length),
// the last term the symbol's share of the code space, with lambda the least that keeps the
// code within its space; what space is left goes to the symbols that gain most from a length
// one shorter, so that the code stays complete, as readers require. The header prices come
// from the code before, so this repeats while the block gets smaller. In integers (prices
// and lambda in 1/2^16 of a bit), so that every system writes the same bytes. Returns the
// bits of the literal/length lengths and codes, as settleSymbolLengths does.
uint64_t BlockCodes::fitLengths(const BlockCounts& counts, uint64_t symbolBits)
{
    const uint32_t ROUNDS = 3;  // a fourth saves next to nothing
    const uint64_t SPACE = 1u << MAX_CODE_LENGTH;
    uint16_t used[CODE_SYMBOLS];
    uint32_t usedCount = 0;
    for (uint32_t s = 0; s < CODE_SYMBOLS; ++s)
        if (counts.symbols[s]) used[usedCount++] = (uint16_t)s;
    if (usedCount < 2) return symbolBits;  // no code, or a single value: no lengths to fit
    for (uint32_t round = 0; round < ROUNDS; ++round) {
        // A length missing from the code-length code would have to be added to it: priced a
        // little above its longest code (the one value of a single-value code costs nothing).
        const uint32_t missing =
            (singleLength >= 0 ? 1 : *std::max_element(lengthLen, lengthLen + CODE_LENGTH_SYMBOLS)) + 2;
        uint64_t price[MAX_CODE_LENGTH + 1];
        for (uint32_t length = 1; length <= MAX_CODE_LENGTH; ++length) {
            uint32_t v = length + CODE_LENGTH_BIAS;
            uint32_t bits = singleLength >= 0 ? (v == (uint32_t)singleLength ? 0 : missing)
                                              : (lengthLen[v] ? lengthLen[v] : missing);
            price[length] = (uint64_t)bits << 16;
        }
        uint8_t len[CODE_SYMBOLS] = {};
        auto choose = [&](uint64_t lambda) {
            uint64_t space = 0;
            for (uint32_t k = 0; k < usedCount; ++k) {
                uint32_t s = used[k];
                uint64_t body = (uint64_t)counts.symbols[s] << 16, best = UINT64_MAX;
                for (uint32_t length = 1; length <= MAX_CODE_LENGTH; ++length) {
                    uint64_t cost = body * length + price[length] + (lambda << (MAX_CODE_LENGTH - length));
                    if (cost < best) best = cost, len[s] = (uint8_t)length;
                }
                space += SPACE >> len[s];
            }
            return space;
        };
        // Lambda to within 1/64: closer changes a length here and there, which the filling
        // below makes up for.
        uint64_t low = 0, high = 1;
        while (choose(high) > SPACE) low = high, high *= 2;
        while (high - low > std::max<uint64_t>(1, high / 64)) {
            uint64_t mid = low + (high - low) / 2;
            (choose(mid) > SPACE ? low : high) = mid;
        }
        uint64_t space = choose(high);
        // Whatever space is left is a multiple of the longest code's share, so shortening
        // codes whose share fits always fills it.
        while (space < SPACE) {
            int64_t bestGain = INT64_MIN;
            uint32_t pick = 0;
            for (uint32_t k = 0; k < usedCount; ++k) {
                uint32_t s = used[k], length = len[s];
                if (length <= 1 || (SPACE >> length) > SPACE - space) continue;
                int64_t gain = ((int64_t)counts.symbols[s] << 16) + (int64_t)price[length] - (int64_t)price[length - 1];
                if (gain > bestGain) bestGain = gain, pick = s;
            }
            space += SPACE >> len[pick];
            --len[pick];
        }

        uint8_t before[CODE_SYMBOLS];
        std::copy(symbolLen, symbolLen + CODE_SYMBOLS, before);
        LengthCodeCopy beforeCode;
        keepLengthCode(beforeCode);
        std::copy(len, len + CODE_SYMBOLS, symbolLen);
        uint64_t bits = settleSymbolLengths(counts, true);
        if (bits < symbolBits) {
            symbolBits = bits;
            continue;
        }
        std::copy(before, before + CODE_SYMBOLS, symbolLen);
        restoreLengthCode(beforeCode);
        break;
    }
    return symbolBits;
}

// Folds each run of zero lengths into single zeros (symbol 0), short runs (symbol 1) and a
// long run (symbol 2), the cheapest way at `price` bits per symbol (extra bits added); with
// no prices, the usual way: single zeros below three, else the one run symbol that fits.
// Then makes the code-length code of the symbols; but with prices, returns false (and
// leaves the code alone) when every run is folded the usual way.
bool BlockCodes::foldLengths(const uint32_t* price)
{
    bool changed = false;
    const uint32_t MOST_SHORT = SHORT_ZERO_RUN + (1u << SHORT_ZERO_RUN_BITS) - 1;
    lengthItemCount = 0;
    for (uint32_t i = 0; i < symbolCount;) {
        uint32_t length = symbolLen[i++];
        if (length != 0) {
            lengthItems[lengthItemCount++] = {(uint8_t)(length + CODE_LENGTH_BIAS), 0};
            continue;
        }
        uint32_t run = 1;
        while (i < symbolCount && symbolLen[i] == 0) ++i, ++run;
        // Short runs and single zeros: `shorts` runs cover up to MOST_SHORT zeros each.
        uint32_t shorts = 0, zeros = 0;
        bool useLong = false;
        if (!price) {
            shorts = run < SHORT_ZERO_RUN ? 0 : 1;
            zeros = run < SHORT_ZERO_RUN ? run : run - std::min(run, MOST_SHORT);
            useLong = run >= LONG_ZERO_RUN;
        } else {
            uint64_t best = UINT64_MAX;
            for (uint32_t n = 0; n * SHORT_ZERO_RUN <= run; ++n) {
                uint32_t z = run - std::min(run, n * MOST_SHORT);
                uint64_t bits = (uint64_t)n * (price[1] + SHORT_ZERO_RUN_BITS) + (uint64_t)z * price[0];
                if (bits < best) best = bits, shorts = n, zeros = z;
            }
            useLong = run >= LONG_ZERO_RUN && price[2] + LONG_ZERO_RUN_BITS < best;
            bool usualLong = run >= LONG_ZERO_RUN;
            uint32_t usualShorts = run < SHORT_ZERO_RUN ? 0 : 1;
            if (useLong != usualLong || (!useLong && shorts != usualShorts)) changed = true;
        }
        if (useLong) {
            lengthItems[lengthItemCount++] = {2, (uint16_t)(run - LONG_ZERO_RUN)};
            continue;
        }
        while (zeros-- > 0) lengthItems[lengthItemCount++] = {0, 0};
        for (uint32_t left = run - (run - std::min(run, shorts * MOST_SHORT)); shorts > 0; --shorts) {
            uint32_t take = std::min(MOST_SHORT, left - (shorts - 1) * SHORT_ZERO_RUN);
            lengthItems[lengthItemCount++] = {1, (uint16_t)(take - SHORT_ZERO_RUN)};
            left -= take;
        }
    }
    if (price && !changed) return false;
    uint32_t lengthFreq[CODE_LENGTH_SYMBOLS] = {};
    for (uint32_t k = 0; k < lengthItemCount; ++k) ++lengthFreq[lengthItems[k].first];
    huffmanLengths(lengthFreq, CODE_LENGTH_SYMBOLS, MAX_CODE_LENGTH, lengthLen);
    singleLength = singleOf(lengthFreq, CODE_LENGTH_SYMBOLS);
    if (singleLength < 0 && symbolCount == 0) singleLength = 0;
    return true;
}

// The bits of the code-length code and of the literal/length code.
uint64_t BlockCodes::lengthHeaderBits() const
{
    uint64_t bits = 0;
    if (singleLength >= 0) {
        bits += 2 * CODE_LENGTH_COUNT_BITS;
    } else {
        uint32_t n = sentCount(lengthLen, CODE_LENGTH_SYMBOLS);
        bits += CODE_LENGTH_COUNT_BITS;
        for (uint32_t i = 0; i < n; ++i) {
            bits += auxLengthBits(lengthLen[i]);
            if ((int32_t)i + 1 == CODE_LENGTH_ZERO_COUNT_AFTER) {
                bits += CODE_LENGTH_ZERO_COUNT_BITS;
                while (i + 1 < n && i + 1 < (uint32_t)CODE_LENGTH_ZERO_COUNT_AFTER + 3 && lengthLen[i + 1] == 0) ++i;
            }
        }
    }
    bits += 2 * CODE_COUNT_BITS;
    if (singleSymbol < 0) {
        bits -= CODE_COUNT_BITS;
        for (uint32_t k = 0; k < lengthItemCount; ++k) {
            const LengthItem& item = lengthItems[k];
            bits += lengthLen[item.first];
            if (item.first == 1) bits += SHORT_ZERO_RUN_BITS;
            if (item.first == 2) bits += LONG_ZERO_RUN_BITS;
        }
    }
    return bits;
}

void BlockCodes::writeAuxLengths(BitWriter& out, const uint8_t* lengths, uint32_t count,
                                 uint32_t countBits, int32_t zeroCountAfter) const
{
    uint32_t n = sentCount(lengths, count);
    out.put(n, countBits);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t length = lengths[i];
        if (length < AUX_LENGTH_EXTENDED) {
            out.put(length, AUX_LENGTH_FIELD_BITS);
        } else {
            uint32_t ones = length - AUX_LENGTH_EXTENDED;
            out.put(AUX_LENGTH_EXTENDED, AUX_LENGTH_FIELD_BITS);
            out.put(((1u << ones) - 1) << 1, ones + 1);
        }
        if ((int32_t)i + 1 == zeroCountAfter) {
            // Up to three zero lengths right after, and never past the lengths sent.
            uint32_t zeros = 0;
            while (zeros < 3 && i + 1 + zeros < n && lengths[i + 1 + zeros] == 0) ++zeros;
            out.put(zeros, CODE_LENGTH_ZERO_COUNT_BITS);
            i += zeros;
        }
    }
}

void BlockCodes::write(BitWriter& out, const Item* items, size_t count) const
{
    uint16_t symbolCode[CODE_SYMBOLS], distanceCode[17], lengthCode[CODE_LENGTH_SYMBOLS];
    canonicalCodes(symbolLen, CODE_SYMBOLS, symbolCode);
    canonicalCodes(distanceLen, distSymbols, distanceCode);
    canonicalCodes(lengthLen, CODE_LENGTH_SYMBOLS, lengthCode);
    out.put((uint32_t)count, BLOCK_SIZE_BITS);
    if (singleLength >= 0) {
        out.put(0, CODE_LENGTH_COUNT_BITS);
        out.put((uint32_t)singleLength, CODE_LENGTH_COUNT_BITS);
    } else {
        writeAuxLengths(out, lengthLen, CODE_LENGTH_SYMBOLS, CODE_LENGTH_COUNT_BITS, CODE_LENGTH_ZERO_COUNT_AFTER);
    }
    if (singleSymbol >= 0) {
        out.put(0, CODE_COUNT_BITS);
        out.put((uint32_t)singleSymbol, CODE_COUNT_BITS);
    } else {
        out.put(symbolCount, CODE_COUNT_BITS);
        for (uint32_t k = 0; k < lengthItemCount; ++k) {
            const LengthItem& item = lengthItems[k];
            out.put(lengthCode[item.first], lengthLen[item.first]);
            if (item.first == 1) out.put(item.second, SHORT_ZERO_RUN_BITS);
            if (item.first == 2) out.put(item.second, LONG_ZERO_RUN_BITS);
        }
    }
    if (singleDistance >= 0) {
        out.put(0, distCountBits);
        out.put((uint32_t)singleDistance, distCountBits);
    } else {
        writeAuxLengths(out, distanceLen, distSymbols, distCountBits, -1);
    }
    for (size_t k = 0; k < count; ++k) {
        const Item& item = items[k];
        uint32_t symbol = itemSymbol(item);
        out.put(symbolCode[symbol], symbolLen[symbol]);
        if (item.length == 0) continue;
        uint32_t d = distanceSymbol(item.value);
        out.put(distanceCode[d], distanceLen[d]);
        if (d > 1) out.put(item.value - (1u << (d - 1)), d - 1);
    }
}
