#include "encode/match_finder.h"

MatchFinder::MatchFinder(uint32_t capacity, uint32_t maxDistance)
    : maxDistance(maxDistance), head3(1u << HASH_BITS, -1), head4(1u << HASH_BITS, -1), prev(capacity, -1)
{
}

uint32_t MatchFinder::find(const uint8_t* buffer, uint32_t pos, uint32_t maxLength, uint32_t maxChain,
                           uint32_t niceLength, Match* out)
{
    const int32_t farthest = (int32_t)pos - (int32_t)maxDistance;
    const uint8_t* here = buffer + pos;
    uint32_t best = MIN_MATCH - 1;
    uint32_t found = 0;
    if (niceLength > maxLength) niceLength = maxLength;

    int32_t candidate = -1;
    if (maxLength >= 4) {
        uint32_t h = hash4(here);
        candidate = head4[h];
        prev[pos] = candidate;
        head4[h] = (int32_t)pos;
    }
    uint32_t h3 = hash3(here);
    int32_t near = head3[h3];
    head3[h3] = (int32_t)pos;
    if (near >= 0 && near >= farthest && memcmp(buffer + near, here, MIN_MATCH) == 0) {
        best = commonLength(here, buffer + near, maxLength);
        out[found++] = {(uint16_t)best, (uint16_t)(pos - (uint32_t)near - 1)};
        if (best >= niceLength) return found;
    }

    // Once a match is this long, a longer one is less likely to pay for the search: the
    // rest of the walk is cut to a quarter.
    const uint32_t GOOD_LENGTH = 32;
    bool cut = false;
    uint16_t tail;  // the two bytes that end a match one longer than the best
    memcpy(&tail, here + best - 1, 2);
    while (candidate >= 0 && candidate >= farthest && maxChain-- > 0) {
        const uint8_t* there = buffer + candidate;
        // Only a candidate that could be longer than the best is compared whole.
        uint16_t thereTail;
        memcpy(&thereTail, there + best - 1, 2);
        if (thereTail == tail && there[0] == here[0]) {
            uint32_t length = commonLength(here, there, maxLength);
            if (length > best) {
                best = length;
                // A nearer match drops the farther ones it is as long as (the three-byte one).
                uint16_t value = (uint16_t)(pos - (uint32_t)candidate - 1);
                while (found > 0 && out[found - 1].value >= value) --found;
                out[found++] = {(uint16_t)length, value};
                if (length >= niceLength) break;
                memcpy(&tail, here + best - 1, 2);
                if (best >= GOOD_LENGTH && !cut) {
                    cut = true;
                    maxChain >>= 2;
                }
            }
        }
        candidate = prev[(uint32_t)candidate];
    }
    return found;
}

void MatchFinder::slide(uint32_t shift)
{
    auto move = [shift](int32_t v) { return v >= (int32_t)shift ? v - (int32_t)shift : -1; };
    for (auto& v : head3) v = move(v);
    for (auto& v : head4) v = move(v);
    for (size_t i = shift; i < prev.size(); ++i) prev[i - shift] = move(prev[i]);
}

TreeFinder::TreeFinder(uint32_t dictSize, uint32_t hash3Bits)
    : dictSize(dictSize), hash3Shift(32 - hash3Bits), base(dictSize)
{
    if (dictSize == 0) return;
    head3Size = 1u << (32 - hash3Shift);
    head3.reset((uint32_t*)calloc(head3Size, sizeof(uint32_t)));
    if (!head3) throw std::bad_alloc();
    head4.assign(1u << HASH_BITS, 0);
    children.assign(2 * dictSize, 0);
}

// Puts position `pos` (buffer index) at the root of its tree: walks down from the old root,
// and splits the tree into the positions whose bytes sort below pos's (hung on the left
// child, through `left`) and above (the right child, through `right`). `lowLen` and
// `highLen` are the bytes the current bound on each side shares with pos, so every
// comparison starts at the smaller of the two. Reports each match longer than `best` to
// `out` when out is not null. A match of `limit` bytes takes the old node's place whole.
uint32_t TreeFinder::descend(const uint8_t* buffer, uint32_t pos, uint32_t limit, uint32_t maxDepth,
                             uint32_t best, Match* out, uint32_t found)
{
    const uint8_t* here = buffer + pos;
    const uint32_t now = pos + base;
    const uint32_t mask = dictSize - 1;
    uint32_t h = hash4(here);
    uint32_t candidate = head4[h];
    head4[h] = now;
    uint32_t* right = &children[2 * (now & mask)];
    uint32_t* left = right + 1;
    uint32_t lowLen = 0, highLen = 0;
    for (;;) {
        uint32_t delta = now - candidate;
        if (maxDepth-- == 0 || delta >= dictSize) {
            *left = *right = 0;
            return found;
        }
        uint32_t* pair = &children[2 * (candidate & mask)];
        const uint8_t* there = here - delta;
        uint32_t length = std::min(lowLen, highLen);
        length += commonLength(here + length, there + length, limit - length);
        if (out && length > best) {
            // Counted again from the start: the report never rests on the tree's order.
            length = commonLength(here, there, limit);
            best = length;
            uint16_t value = (uint16_t)(delta - 1);
            while (found > 0 && out[found - 1].value >= value) --found;
            out[found++] = {(uint16_t)length, value};
        }
        if (length == limit) {
            *right = pair[0];
            *left = pair[1];
            return found;
        }
        if (there[length] < here[length]) {
            *right = candidate;
            right = pair + 1;
            candidate = *right;
            highLen = length;
        } else {
            *left = candidate;
            left = pair;
            candidate = *left;
            lowLen = length;
        }
    }
}

uint32_t TreeFinder::find(const uint8_t* buffer, uint32_t pos, uint32_t available, uint32_t maxLength,
                          uint32_t maxDepth, Match* out)
{
    const uint8_t* here = buffer + pos;
    uint32_t limit = std::min<uint32_t>(available, MAX_MATCH);
    uint32_t found = 0;
    uint32_t best = MIN_MATCH - 1;
    uint32_t h3 = hash3(here);
    // The next position's table slots, asked for now: the descent below takes long enough
    // to hide their fetch, which was the largest single wait of the search (4 % of level 6).
    if (limit > 4) {
        __builtin_prefetch(&head4[hash4(here + 1)]);
        __builtin_prefetch(&head3.get()[hash3(here + 1)]);
    }
    uint32_t near = head3.get()[h3];
    head3.get()[h3] = pos + base;
    uint32_t delta = pos + base - near;
    if (delta < dictSize && memcmp(here - delta, here, MIN_MATCH) == 0) {
        best = commonLength(here, here - delta, limit);
        out[found++] = {(uint16_t)best, (uint16_t)(delta - 1)};
    }
    if (limit >= 4) found = descend(buffer, pos, limit, maxDepth, best, out, found);
    // Lengths past maxLength are cut; of several matches that then end alike, the nearest
    // stays.
    uint32_t kept = 0;
    for (uint32_t k = 0; k < found; ++k) {
        Match m = out[k];
        if (m.length > maxLength) m.length = (uint16_t)maxLength;
        if (kept > 0 && out[kept - 1].length >= m.length) continue;
        out[kept++] = m;
    }
    return kept;
}

void TreeFinder::insert(const uint8_t* buffer, uint32_t pos, uint32_t available, uint32_t maxDepth)
{
    uint32_t limit = std::min<uint32_t>(available, MAX_MATCH);
    if (limit < MIN_MATCH) return;
    head3.get()[hash3(buffer + pos)] = pos + base;
    if (limit >= 4) descend(buffer, pos, limit, maxDepth, MAX_MATCH, nullptr, 0);
}

void TreeFinder::slide(uint32_t shift)
{
    base += shift;
    // Positions count in 32 bits. Long before they wrap (which would bring the "none" value 0
    // back within reach), every position is moved down so that base is dictSize again;
    // positions before base lie behind the buffer and out of reach, and become none.
    const uint32_t RENUMBER_AT = 1u << 31;
    if (base < RENUMBER_AT) return;
    const uint32_t down = base - dictSize;
    auto renumber = [&](uint32_t& v) { v = v >= base ? v - down : 0; };
    for (uint32_t k = 0; k < head3Size; ++k) renumber(head3.get()[k]);
    for (auto& v : head4) renumber(v);
    for (auto& v : children) renumber(v);
    base = dictSize;
}
