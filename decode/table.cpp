#include "decode/table.h"

#include "decode/frame.h"

namespace {

// A damaged block: every lookup now gives symbol 0 and no walk starts.
bool refuse(uint16_t* table, uint32_t tableBits)
{
    decoder.corrupt = true;
    if (tableBits <= MAX_CODE_LENGTH) {
        for (uint32_t i = 0; i < (1u << tableBits); ++i) table[i] = 0;
    }
    return false;
}

#if !QUOR_SMALL
// True when the eight lengths from s on are all 0, as most of a literal/length code's are:
// the tool passes over them in one test.
inline bool zeroEight(const uint8_t* lengths, uint32_t s, uint32_t symbolCount)
{
    uint64_t eight;
    if (s + 8 > symbolCount) return false;
    memcpy(&eight, lengths + s, 8);
    return eight == 0;
}
#endif

}  // namespace

bool buildTable(uint16_t symbolCount, const uint8_t* lengths, uint16_t tableBits, uint16_t* table,
                bool packed)
{
    const uint32_t CODE_SPACE = 1u << MAX_CODE_LENGTH;  // codes left-aligned in 16 bits
    if (tableBits == 0 || tableBits > MAX_CODE_LENGTH || symbolCount >= TREE_NODES)
        return refuse(table, tableBits);

    // count[0] takes no part in what follows.
    uint32_t count[MAX_CODE_LENGTH + 1] = {};
    uint32_t s = 0;
#if !QUOR_SMALL
    // Eight lengths at a time, passing over those that are all 0, in two sets of counts so
    // that equal lengths next to each other do not wait for each other's count.
    uint32_t odd[MAX_CODE_LENGTH + 1] = {};
    for (; s + 8 <= symbolCount; s += 8) {
        if (zeroEight(lengths, s, symbolCount)) continue;
        uint32_t top = 0;
        for (uint32_t k = 0; k < 8; ++k) top = lengths[s + k] > top ? lengths[s + k] : top;
        if (top > MAX_CODE_LENGTH) return refuse(table, tableBits);
        for (uint32_t k = 0; k < 8; k += 2) {
            ++count[lengths[s + k]];
            ++odd[lengths[s + k + 1]];
        }
    }
    for (uint32_t len = 1; len <= MAX_CODE_LENGTH; ++len) count[len] += odd[len];
#endif
    for (; s < symbolCount; ++s) {
        if (lengths[s] > MAX_CODE_LENGTH) return refuse(table, tableBits);
        ++count[lengths[s]];
    }

    // start[len]: the first code of length len, left-aligned in 16 bits. Held in 32 bits,
    // so that a complete code ends at 65,536 and an over-full one shows as more.
    uint32_t start[MAX_CODE_LENGTH + 2];
    start[1] = 0;
    for (uint32_t len = 1; len <= MAX_CODE_LENGTH; ++len)
        start[len + 1] = start[len] + (count[len] << (MAX_CODE_LENGTH - len));
    uint32_t used = start[MAX_CODE_LENGTH + 1];
    if (used > CODE_SPACE) return refuse(table, tableBits);
    if (used == 0) return true;  // nothing coded: leave everything as it is

    // Entries from `first` on belong to codes longer than tableBits or to no code at all;
    // they are cleared so that the longer codes find empty roots, and the rest reads as
    // symbol 0. Without any short code there is no entry of this build below `first`, and
    // the stale roots could lead anywhere: such a code is refused.
    const uint32_t shift = MAX_CODE_LENGTH - tableBits;
    const uint32_t tableSize = 1u << tableBits;
    uint32_t first = start[tableBits + 1] >> shift;
    bool longCodes = used > start[tableBits + 1];
    if (longCodes && first == 0) return refuse(table, tableBits);
    const uint16_t uncovered = packed ? lengths[0] : 0;
    for (uint32_t i = first; i < tableSize; ++i) table[i] = uncovered;

    uint32_t avail = symbolCount;  // the next free node number
#if !QUOR_SMALL
    // The tool fills the table in table order, length by length, so that every run of one
    // length has the same size and the fill takes no branch that depends on the symbol: the
    // codes that fit are sorted by length first (within a length they stay in symbol order,
    // as their codes are), the longer ones are kept in symbol order for the tree below, so
    // that its nodes get the same numbers as in the stub.
    uint16_t order[TREE_NODES];
    uint16_t longSymbols[TREE_NODES];
    uint32_t longCount = 0;
    uint32_t next[MAX_CODE_LENGTH + 1];
    next[1] = 0;
    for (uint32_t len = 1; len < tableBits; ++len) next[len + 1] = next[len] + count[len];
    for (uint32_t s = 0; s < symbolCount; ++s) {
        uint32_t len = lengths[s];
        if (len == 0) {
            while (zeroEight(lengths, s + 1, symbolCount)) s += 8;
            continue;
        }
        if (len <= tableBits)
            order[next[len]++] = (uint16_t)s;
        else
            longSymbols[longCount++] = (uint16_t)s;
    }
    const uint16_t* sorted = order;
    for (uint32_t len = 1; len <= tableBits; ++len) {
        // Runs of 2^(tableBits - len) entries from start[len] on, each at a multiple of its
        // size; most codes of a literal/length table have 9 or 10 bits, so four entries go
        // in one store.
        uint16_t* at = table + (start[len] >> shift);
        const uint32_t run = 1u << (tableBits - len);
        const uint32_t symbolShift = packed ? FAST_SYMBOL_SHIFT : 0;
        const uint32_t lengthBits = packed ? len : 0;
        for (const uint16_t* end = sorted + count[len]; sorted < end; ++sorted, at += run) {
            uint16_t entry = (uint16_t)(*sorted << symbolShift | lengthBits);
            if (run >= 4) {
                uint64_t pattern = entry * 0x0001000100010001ull;
                for (uint32_t i = 0; i < run; i += 4) memcpy(at + i, &pattern, 8);
            } else {
                for (uint32_t i = 0; i < run; ++i) at[i] = entry;
            }
        }
    }
    for (uint32_t k = 0; k < longCount; ++k) {
        uint32_t s = longSymbols[k];
        uint32_t len = lengths[s];
        uint32_t code = start[len];
        start[len] = code + (1u << (MAX_CODE_LENGTH - len));
#else
    for (uint32_t s = 0; s < symbolCount; ++s) {
        uint32_t len = lengths[s];
        if (len == 0) continue;
        uint32_t code = start[len];
        uint32_t weight = 1u << (MAX_CODE_LENGTH - len);
        start[len] = code + weight;
        if (len <= tableBits) {
            // Every entry this code is a prefix of; below `first`, since the code fits.
            uint16_t entry = (uint16_t)(packed ? s << FAST_SYMBOL_SHIFT | len : s);
            for (uint32_t i = code >> shift; i < (code + weight) >> shift; ++i) table[i] = entry;
            continue;
        }
#endif
        // The first tableBits bits pick the root, each further bit one branch.
        uint16_t* p = &table[code >> shift];
        uint32_t rest = code << tableBits;  // the remaining bits, next one at bit 15
        // The root's entry is packed in a packed table (empty: `uncovered`, a node: FAST_LONG
        // and its number); the nodes below it are plain (empty: 0).
        uint32_t empty = uncovered;
        uint32_t nodeFlag = packed ? FAST_LONG : 0;
        for (uint32_t step = tableBits; step < len; ++step) {
            if (*p == empty) {
                if (avail >= TREE_NODES) return refuse(table, tableBits);
                decoder.treeLeft[avail] = 0;
                decoder.treeRight[avail] = 0;
                *p = (uint16_t)(avail++ | nodeFlag);
            }
            // A symbol here would be a shorter code that is a prefix of this one: that cannot
            // happen within the code space, and is kept as the guard of the node arrays.
            uint32_t node = *p ^ nodeFlag;
            if (node < symbolCount || node >= TREE_NODES) return refuse(table, tableBits);
            p = (rest & 0x8000) ? &decoder.treeRight[node] : &decoder.treeLeft[node];
            rest <<= 1;
            empty = 0;
            nodeFlag = 0;
        }
        *p = (uint16_t)s;
    }
    return true;
}
