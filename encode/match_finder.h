// The match finders: hash chains (MatchFinder, levels 1-3) and binary trees (TreeFinder,
// levels 4-9, described below) over the window buffer. In the chains every position is
// entered under a hash of its first four bytes; the chain of a hash links each position to
// the previous one with the same hash, so walking it visits earlier positions nearest first.
// A second table keeps only the newest position of each three-byte hash: for a match of
// three bytes the nearest one is the cheapest, so no chain is needed there, and the
// four-byte chains visit fewer positions that cannot lead to a longer match. Positions are
// indexes into the encoder's buffer, and move with it when the buffer slides.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "decode/block_format.h"

// One way to code the bytes at a position: `length` bytes from (value + 1) bytes back.
struct Match {
    uint16_t length;
    uint16_t value;
};

class MatchFinder {
public:
    // `capacity`: the buffer's size; `maxDistance`: the farthest a match may start back.
    MatchFinder(uint32_t capacity, uint32_t maxDistance);

    // Walks the chain of `pos` (at least MIN_MATCH bytes must be available) for up to
    // `maxChain` earlier positions, and enters `pos`. Writes the matches that are longer than
    // every nearer one (increasing length, increasing distance) to `out` and returns their
    // number; the walk stops at `niceLength` or `maxLength` bytes.
    uint32_t find(const uint8_t* buffer, uint32_t pos, uint32_t maxLength, uint32_t maxChain,
                  uint32_t niceLength, Match* out);
    // Enters `pos` (at least MIN_MATCH bytes available) without looking for a match.
    void insert(const uint8_t* buffer, uint32_t pos, uint32_t available)
    {
        head3[hash3(buffer + pos)] = (int32_t)pos;
        if (available < 4) return;
        uint32_t h = hash4(buffer + pos);
        prev[pos] = head4[h];
        head4[h] = (int32_t)pos;
    }
    // The buffer dropped its first `shift` bytes.
    void slide(uint32_t shift);

    // Matches a walk can report: one per length from MIN_MATCH to MAX_MATCH at most.
    static const uint32_t MOST_MATCHES = MAX_MATCH - MIN_MATCH + 1;

private:
    static const uint32_t HASH_BITS = 16;
    static uint32_t hash3(const uint8_t* p)
    {
        uint32_t v = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16;
        return (v * 2654435761u) >> (32 - HASH_BITS);
    }
    static uint32_t hash4(const uint8_t* p)
    {
        uint32_t v;
        memcpy(&v, p, 4);
        return (v * 2246822519u) >> (32 - HASH_BITS);
    }

    uint32_t maxDistance;
    std::vector<int32_t> head3;  // newest position of each three-byte hash, -1 for none
    std::vector<int32_t> head4;  // newest position of each four-byte hash, -1 for none
    std::vector<int32_t> prev;   // per position: the previous one of its hash, -1 for none
};

// The number of equal bytes at a and b, up to `limit`.
inline uint32_t commonLength(const uint8_t* a, const uint8_t* b, uint32_t limit)
{
    uint32_t n = 0;
    while (n + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + n, 8);
        memcpy(&y, b + n, 8);
        if (x != y) return n + (uint32_t)(__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

// The match finder of the shortest-path levels: binary trees over the window. Every position
// is the root of the tree of its four-byte hash when it is entered; the tree below it holds
// the earlier positions of that hash within the dictionary, ordered by the bytes that follow
// them, so that one descent finds the longest match of each length while it re-hangs the
// tree under the new root. Against a chain it visits far fewer positions for the same
// matches. The three-byte table gives the nearest three-byte match, as in MatchFinder.
//
// Positions are counted from the start of the input (plus dictSize, so that 0 means none
// and lies out of reach); the buffer index of a position is that count minus `base`, which
// grows as the buffer slides. Each node's two children live in `children` at its position
// modulo dictSize: a node is dropped when the window passes it.
class TreeFinder {
public:
    // dictSize 0: a finder that is never used, and holds no tables. The three-byte table
    // has 2^hash3Bits slots: a slot that other bytes took over loses the nearest match of
    // its own, and binary data lives on short, near matches (a font packed 0.13 % larger
    // at level 9 with one slot per dictionary position than with 16); but a table beyond
    // the processor's caches costs time on every byte.
    TreeFinder(uint32_t dictSize, uint32_t hash3Bits);

    // As MatchFinder::find, with `available` the bytes in the buffer from `pos` (the tree is
    // ordered up to min(MAX_MATCH, available) bytes; it may fall below MAX_MATCH only at the
    // end of the input). Lengths are cut at maxLength.
    uint32_t find(const uint8_t* buffer, uint32_t pos, uint32_t available, uint32_t maxLength,
                  uint32_t maxDepth, Match* out);
    // Enters `pos` without reporting matches.
    void insert(const uint8_t* buffer, uint32_t pos, uint32_t available, uint32_t maxDepth);
    // The buffer dropped its first `shift` bytes. A shift of the buffer's size plus dictSize
    // puts every position entered so far out of reach: the finder starts afresh on a new
    // buffer without clearing its tables.
    void slide(uint32_t shift);

private:
    static const uint32_t HASH_BITS = 18;
    static uint32_t hash4(const uint8_t* p)
    {
        uint32_t v;
        memcpy(&v, p, 4);
        return (v * 2654435761u) >> (32 - HASH_BITS);
    }
    uint32_t hash3(const uint8_t* p) const
    {
        uint32_t v = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16;
        return (v * 2246822519u) >> hash3Shift;
    }
    uint32_t descend(const uint8_t* buffer, uint32_t pos, uint32_t limit, uint32_t maxDepth, uint32_t best,
                     Match* out, uint32_t found);

    uint32_t dictSize;
    uint32_t hash3Shift;
    uint32_t base;                 // position count of buffer index 0
    // Newest position of each three-byte hash. Taken zeroed from the system (calloc), so a
    // small member touches only the pages it uses of this large table.
    std::unique_ptr<uint32_t, void (*)(void*)> head3{nullptr, free};
    uint32_t head3Size = 0;
    std::vector<uint32_t> head4;   // tree root of each four-byte hash
    std::vector<uint32_t> children;  // per position modulo dictSize: smaller, larger subtree
};
