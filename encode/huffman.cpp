#include "encode/huffman.h"

#include <algorithm>

void huffmanLengths(const uint32_t* freq, uint32_t count, uint32_t maxLength, uint8_t* lengths)
{
    std::fill(lengths, lengths + count, 0);
    // Leaves by increasing count, ties by symbol: one key each, count above symbol. Codes
    // are built for up to CODE_SYMBOLS symbols; the arrays hold a tree of that many leaves.
    const uint32_t MOST = 512;
    const uint32_t SYMBOL_BITS = 10;
    uint64_t key[MOST];
    uint32_t n = 0;
    uint64_t keyBits = 0;
    for (uint32_t s = 0; s < count && n < MOST; ++s) {
        if (freq[s] == 0) continue;
        key[n++] = (uint64_t)freq[s] << SYMBOL_BITS | s;
        keyBits |= key[n - 1];
    }
    if (n < 2) return;
    // The keys are made in symbol order, so a stable sort by count alone orders them: a
    // radix sort, a byte of the counts a pass, least significant first. Codes are made for
    // every block the encoder weighs, and for a few hundred leaves this takes a fraction of
    // the comparisons (and their mispredicted branches) of a comparison sort.
    uint64_t sorted[MOST];
    for (uint32_t shift = SYMBOL_BITS; keyBits >> shift != 0; shift += 8) {
        uint32_t first[256] = {};
        for (uint32_t i = 0; i < n; ++i) ++first[key[i] >> shift & 255];
        for (uint32_t digit = 0, at = 0; digit < 256; ++digit) {
            uint32_t these = first[digit];
            first[digit] = at;
            at += these;
        }
        for (uint32_t i = 0; i < n; ++i) sorted[first[key[i] >> shift & 255]++] = key[i];
        std::copy(sorted, sorted + n, key);
    }

    // The two-queue construction: leaves in order, and internal nodes, which are made in
    // order of increasing weight. Node i is leaf i for i < n, else internal.
    uint64_t weight[2 * MOST];
    uint32_t parent[2 * MOST];
    for (uint32_t i = 0; i < n; ++i) weight[i] = key[i] >> SYMBOL_BITS;
    uint32_t leaf = 0, inner = n, made = n;
    auto take = [&]() {
        if (leaf < n && (inner >= made || weight[leaf] <= weight[inner])) return leaf++;
        return inner++;
    };
    while (made < 2 * n - 1) {
        uint32_t a = take(), b = take();
        weight[made] = weight[a] + weight[b];
        parent[a] = parent[b] = made;
        ++made;
    }
    // Depths, root first; counts per depth (deep trees only come from skewed counts, and a
    // depth beyond 63 needs more symbols than any block holds).
    uint32_t depth[2 * MOST];
    uint32_t perLength[64] = {};
    depth[2 * n - 2] = 0;
    for (uint32_t i = 2 * n - 2; i-- > 0;) depth[i] = depth[parent[i]] + 1;
    for (uint32_t i = 0; i < n; ++i) ++perLength[std::min<uint32_t>(depth[i], 63)];

    // Over-long codes: move pairs of the deepest leaves up, as JPEG's code-length adjustment
    // does. Taking two leaves at depth i and one at a shorter depth j, the pair's sibling
    // moves up to i - 1 and the j leaf becomes the parent of the pair at j + 1: the code stays
    // complete and no code grows beyond j + 1.
    for (uint32_t i = 63; i > maxLength; --i) {
        while (perLength[i] > 0) {
            uint32_t j = i - 2;
            while (perLength[j] == 0) --j;
            perLength[i] -= 2;
            perLength[i - 1] += 1;
            perLength[j + 1] += 2;
            perLength[j] -= 1;
        }
    }
    // The most frequent symbols take the shortest lengths.
    uint32_t next = n;
    for (uint32_t len = 1; len <= maxLength; ++len)
        for (uint32_t k = 0; k < perLength[len]; ++k) lengths[key[--next] & ((1u << SYMBOL_BITS) - 1)] = (uint8_t)len;
}

void canonicalCodes(const uint8_t* lengths, uint32_t count, uint16_t* codes)
{
    uint32_t perLength[17] = {};
    for (uint32_t s = 0; s < count; ++s) ++perLength[lengths[s]];
    perLength[0] = 0;
    uint32_t next[17] = {};
    uint32_t code = 0;
    for (uint32_t len = 1; len <= 16; ++len) {
        code = (code + perLength[len - 1]) << 1;
        next[len] = code;
    }
    for (uint32_t s = 0; s < count; ++s)
        codes[s] = lengths[s] ? (uint16_t)next[lengths[s]]++ : 0;
}
