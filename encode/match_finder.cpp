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
