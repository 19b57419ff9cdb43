#include "encode/match_finder.h"

MatchFinder::MatchFinder(uint32_t capacity, uint32_t maxDistance)
    : maxDistance(maxDistance), head(1u << HASH_BITS, -1), prev(capacity, -1)
{
}

uint32_t MatchFinder::find(const uint8_t* buffer, uint32_t pos, uint32_t maxLength, uint32_t maxChain,
                           uint32_t niceLength, Match* out)
{
    uint32_t h = hash(buffer + pos);
    int32_t candidate = head[h];
    prev[pos] = candidate;
    head[h] = (int32_t)pos;

    const int32_t farthest = (int32_t)pos - (int32_t)maxDistance;
    const uint8_t* here = buffer + pos;
    uint32_t best = MIN_MATCH - 1;
    uint32_t found = 0;
    if (niceLength > maxLength) niceLength = maxLength;
    while (candidate >= 0 && candidate >= farthest && maxChain-- > 0) {
        const uint8_t* there = buffer + candidate;
        // Only a candidate that could be longer than the best is compared whole.
        if (there[best] == here[best] && there[0] == here[0]) {
            uint32_t length = commonLength(here, there, maxLength);
            if (length > best) {
                best = length;
                out[found++] = {(uint16_t)length, (uint16_t)(pos - (uint32_t)candidate - 1)};
                if (length >= niceLength) break;
            }
        }
        candidate = prev[(uint32_t)candidate];
    }
    return found;
}

void MatchFinder::slide(uint32_t shift)
{
    auto move = [shift](int32_t v) { return v >= (int32_t)shift ? v - (int32_t)shift : -1; };
    for (auto& v : head) v = move(v);
    for (size_t i = shift; i < prev.size(); ++i) prev[i - shift] = move(prev[i]);
}
