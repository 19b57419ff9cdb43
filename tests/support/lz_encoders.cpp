#include "support/lz_encoders.h"

#include <algorithm>
#include <queue>
#include <stdexcept>
#include <utility>

#include "support/block_streams.h"

namespace lz {

namespace {

using blocks::BitWriter;

const uint32_t MIN_MATCH = 3;
const uint32_t MAX_MATCH = 287;     // code 285 and an extra byte: 32 + 255
const uint32_t WINDOW = 8192;       // distance values 0 to 8,191
const uint32_t CHAR_SYMBOLS = 286;  // 256 literals, lengths 3 to 31, the escape
const uint32_t ESCAPE = 285;        // followed by 8 bits: length 32 + e
const uint32_t DIST_CODES = 128;    // distance value = code * 64 + 6 raw bits

uint32_t charSymbolOf(const Item& item)
{
    if (item.length == 0) return item.value;
    return item.length < 32 ? item.length + 253 : ESCAPE;
}

}  // namespace

std::vector<Item> parse(const Bytes& data, uint32_t maxMatch)
{
    const uint32_t HASH_SIZE = 1u << 15;
    const int CHAIN = 256;  // candidates tried per position
    std::vector<int32_t> head(HASH_SIZE, -1), prev(data.size(), -1);
    auto hash = [&](size_t i) { return (data[i] << 10 ^ data[i + 1] << 5 ^ data[i + 2]) % HASH_SIZE; };
    auto insert = [&](size_t i) {
        if (i + MIN_MATCH > data.size()) return;
        prev[i] = head[hash(i)];
        head[hash(i)] = (int32_t)i;
    };
    std::vector<Item> items;
    for (size_t pos = 0; pos < data.size();) {
        size_t best = 0, bestFrom = 0;
        if (pos + MIN_MATCH <= data.size()) {
            size_t limit = std::min<size_t>(std::min(maxMatch, MAX_MATCH), data.size() - pos);
            int32_t from = head[hash(pos)];
            for (int n = 0; from >= 0 && pos - (size_t)from <= WINDOW && n < CHAIN; ++n, from = prev[from]) {
                size_t len = 0;
                while (len < limit && data[(size_t)from + len] == data[pos + len]) ++len;
                if (len > best) best = len, bestFrom = (size_t)from;
                if (len == limit) break;
            }
        }
        if (best >= MIN_MATCH) {
            items.push_back({(uint32_t)best, (uint32_t)(pos - bestFrom - 1)});
        } else {
            best = 1;
            items.push_back({0, data[pos]});
        }
        for (size_t k = 0; k < best; ++k) insert(pos + k);
        pos += best;
    }
    return items;
}

// ---- -lh3- -------------------------------------------------------------------------------

namespace {

// Huffman code lengths of the used symbols, no longer than `limit`: while the tree is too
// deep, the frequencies are halved (a used symbol stays used) and the tree built again.
std::vector<uint8_t> huffmanLengths(std::vector<uint32_t> freq, uint32_t limit)
{
    for (;;) {
        using Entry = std::pair<uint64_t, size_t>;  // weight, node
        std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue;
        std::vector<size_t> parent(2 * freq.size(), SIZE_MAX);
        for (size_t s = 0; s < freq.size(); ++s)
            if (freq[s]) queue.push({freq[s], s});
        for (size_t next = freq.size(); queue.size() > 1; ++next) {
            Entry a = queue.top();
            queue.pop();
            Entry b = queue.top();
            queue.pop();
            parent[a.second] = parent[b.second] = next;
            queue.push({a.first + b.first, next});
        }
        std::vector<uint8_t> lengths(freq.size(), 0);
        uint32_t deepest = 0;
        for (size_t s = 0; s < freq.size(); ++s) {
            if (!freq[s]) continue;
            uint32_t depth = 0;
            for (size_t n = s; parent[n] != SIZE_MAX; n = parent[n]) ++depth;
            lengths[s] = (uint8_t)depth;
            deepest = std::max(deepest, depth);
        }
        if (deepest <= limit) return lengths;
        for (uint32_t& f : freq) f = (f + 1) / 2;
    }
}

// The preset distance lengths: 2 bits for code 0, one bit more at each listed code.
std::vector<uint8_t> presetLengths()
{
    static const uint32_t growsAt[] = {1, 1, 3, 6, 13, 31, 78};
    std::vector<uint8_t> lengths(DIST_CODES);
    uint8_t len = 2;
    size_t k = 0;
    for (uint32_t code = 0; code < DIST_CODES; ++code) {
        while (k < 7 && growsAt[k] == code) ++len, ++k;
        lengths[code] = len;
    }
    return lengths;
}

uint64_t costOf(const std::vector<uint32_t>& freq, const std::vector<uint8_t>& lengths)
{
    uint64_t bits = 0;
    for (size_t s = 0; s < freq.size(); ++s) bits += (uint64_t)freq[s] * lengths[s];
    return bits;
}

void putCode(BitWriter& w, const std::vector<blocks::Code>& codes, uint32_t symbol)
{
    if (codes.at(symbol).length == 0) throw std::logic_error("symbol without a code");
    w.put(codes[symbol].bits, codes[symbol].length);
}

}  // namespace

Bytes encodeLh3(const Bytes& data, const Lh3Options& options, Forms* forms)
{
    Forms unused;
    Forms& used = forms ? *forms : unused;
    std::vector<Item> items = parse(data, options.maxMatch);
    BitWriter w;
    for (size_t start = 0; start < items.size();) {
        size_t end = std::min(items.size(), start + options.blockCodes);
        std::vector<uint32_t> charFreq(CHAR_SYMBOLS), distFreq(DIST_CODES);
        for (size_t i = start; i < end; ++i) {
            ++charFreq[charSymbolOf(items[i])];
            if (items[i].length) ++distFreq[items[i].value >> 6];
        }
        w.put((uint32_t)(end - start) & 0xFFFF, 16);  // 65,536 goes out as 0
        ++used.blocks;
        used.blocksOf65536 += end - start == 65536;

        // Characters: a flag bit per symbol, then length - 1 in 4 bits; a single symbol goes
        // out as three lengths of 1 (no prefix code has them) and its number in 9 bits.
        std::vector<blocks::Code> chars;
        size_t charsUsed = CHAR_SYMBOLS - (size_t)std::count(charFreq.begin(), charFreq.end(), 0u);
        if (charsUsed == 1) {
            ++used.singleChar;
            for (int i = 0; i < 3; ++i) w.put(1, 1), w.put(0, 4);
            w.put((uint32_t)(std::find_if(charFreq.begin(), charFreq.end(), [](uint32_t f) { return f; }) -
                             charFreq.begin()),
                  9);
        } else {
            std::vector<uint8_t> lengths = huffmanLengths(charFreq, 16);
            for (uint8_t len : lengths) {
                w.put(len ? 1 : 0, 1);
                if (len) w.put(len - 1u, 4);
            }
            chars = blocks::canonicalCodes(lengths);
        }

        // Distances: the cheapest of the preset lengths (flag 0), 128 lengths of 4 bits, or
        // the single form (three lengths of 1 and the code in 7 bits).
        std::vector<uint8_t> preset = presetLengths(), sent;
        size_t distsUsed = DIST_CODES - (size_t)std::count(distFreq.begin(), distFreq.end(), 0u);
        uint64_t presetCost = costOf(distFreq, preset), sentCost = UINT64_MAX, singleCost = UINT64_MAX;
        if (distsUsed == 1) singleCost = 3 * 4 + 7;
        if (distsUsed > 1) {
            sent = huffmanLengths(distFreq, 15);
            sentCost = DIST_CODES * 4 + costOf(distFreq, sent);
        }
        std::vector<blocks::Code> dists;
        bool singleDist = false;
        if (options.presetDistances || (presetCost <= sentCost && presetCost <= singleCost)) {
            ++used.presetDist;
            w.put(0, 1);
            dists = blocks::canonicalCodes(preset);
        } else if (singleCost < sentCost) {
            ++used.singleDist;
            w.put(1, 1);
            for (int i = 0; i < 3; ++i) w.put(1, 4);
            w.put((uint32_t)(std::find_if(distFreq.begin(), distFreq.end(), [](uint32_t f) { return f; }) -
                             distFreq.begin()),
                  7);
            singleDist = true;
        } else {
            ++used.sentDist;
            w.put(1, 1);
            for (uint8_t len : sent) w.put(len, 4);
            dists = blocks::canonicalCodes(sent);
        }

        for (size_t i = start; i < end; ++i) {
            const Item& item = items[i];
            uint32_t symbol = charSymbolOf(item);
            if (charsUsed > 1) putCode(w, chars, symbol);
            if (symbol == ESCAPE) w.put(item.length - 32, 8);
            if (item.length == 0) continue;
            if (!singleDist) putCode(w, dists, item.value >> 6);
            w.put(item.value & 63, 6);
        }
        start = end;
    }
    return w.finish();
}

// ---- -lh2- -------------------------------------------------------------------------------

namespace {

// One adaptive Huffman tree. Node 0 is the root; frequencies never increase with the node
// index, so the nodes of one frequency form a run, and the first node of that run is where
// a node goes before its frequency grows (the sibling property stays true). An internal node
// names its first child k: k is reached by bit 0, k - 1 by bit 1.
class AdaptiveTree {
public:
    // The tree laid out from leaves given as (frequency, symbol) in node order, highest
    // frequency first: the leaves and new internal nodes are placed from the last node
    // backwards, each internal node over the last two placed nodes not yet joined, and any
    // leaf whose frequency is at most the new node's goes behind it.
    void layOut(std::vector<std::pair<uint32_t, uint32_t>> leaves)
    {
        int32_t n = (int32_t)(2 * leaves.size() - 1);
        freq.assign((size_t)n, 0);
        child.assign((size_t)n, 0);
        parent.assign((size_t)n, -1);
        int32_t pos = n - 1;
        auto placeLeaf = [&] {
            freq[(size_t)pos] = leaves.back().first;
            child[(size_t)pos--] = -1 - (int32_t)leaves.back().second;
            leaves.pop_back();
        };
        for (int32_t pair = n - 2; pos >= 0; pair -= 2) {
            while (pos >= pair && !leaves.empty()) placeLeaf();
            if (pos < 0) break;  // a lone leaf is the whole tree
            uint32_t f = freq[(size_t)pair] + freq[(size_t)pair + 1];
            while (!leaves.empty() && leaves.back().first <= f) placeLeaf();
            freq[(size_t)pos] = f;
            child[(size_t)pos--] = pair + 1;
        }
        for (int32_t i = 0; i < n; ++i) relink(i);
    }

    // Halves every leaf's frequency, rounding up, and lays the tree out again.
    void rebuild()
    {
        std::vector<std::pair<uint32_t, uint32_t>> leaves;
        for (size_t i = 0; i < freq.size(); ++i)
            if (child[i] < 0) leaves.push_back({(freq[i] + 1) / 2, (uint32_t)(-1 - child[i])});
        layOut(leaves);
    }

    // The last node (a leaf) becomes internal over its old leaf and a new leaf of frequency
    // 0 for `symbol`: the new leaf takes bit 0, the old one bit 1.
    void split(uint32_t symbol)
    {
        int32_t last = (int32_t)freq.size() - 1;
        uint32_t oldFreq = freq.back();
        int32_t oldLeaf = child.back();
        freq.insert(freq.end(), {oldFreq, 0});
        child.insert(child.end(), {oldLeaf, -1 - (int32_t)symbol});
        parent.resize(freq.size());
        child[(size_t)last] = last + 2;
        for (int32_t i = last; i <= last + 2; ++i) relink(i);
    }

    // The path from the symbol's leaf up to the root, sent root first.
    void send(uint32_t symbol, BitWriter& w) const
    {
        std::vector<uint32_t> bits;
        for (int32_t n = leafOf.at(symbol); n != 0; n = parent[(size_t)n])
            bits.push_back(child[(size_t)parent[(size_t)n]] == n ? 0 : 1);
        for (size_t i = bits.size(); i-- > 0;) w.put(bits[i], 1);
    }

    // One more use of `symbol`: every node on its path below the root first trades places
    // with the first node of its frequency, then counts one more.
    void raise(uint32_t symbol)
    {
        for (int32_t n = leafOf.at(symbol); n != 0; n = parent[(size_t)n]) {
            int32_t first = n;
            while (first > 1 && freq[(size_t)first - 1] == freq[(size_t)n]) --first;
            if (first != n) {
                std::swap(child[(size_t)first], child[(size_t)n]);
                relink(first);
                relink(n);
                n = first;
            }
            ++freq[(size_t)n];
        }
    }

    std::vector<uint32_t> freq;

private:
    void relink(int32_t i)
    {
        int32_t c = child[(size_t)i];
        if (c < 0) {
            if (leafOf.size() <= (size_t)(-1 - c)) leafOf.resize((size_t)(-c));
            leafOf[(size_t)(-1 - c)] = i;
        } else {
            parent[(size_t)c] = parent[(size_t)c - 1] = i;
        }
    }

    std::vector<int32_t> child;  // leaf: -1 - symbol
    std::vector<int32_t> parent;
    std::vector<int32_t> leafOf;
};

const uint32_t REBUILD_AT = 0x8000;  // total use count at which a tree's counts are halved
const uint32_t GROWTH_STEP = 64;     // output bytes per new distance code

}  // namespace

Bytes encodeLh2(const Bytes& data, Forms* forms)
{
    Forms unused;
    Forms& used = forms ? *forms : unused;
    // The character tree starts as the layout of 286 leaves of count 1, symbol 0 last.
    AdaptiveTree chars, dists;
    std::vector<std::pair<uint32_t, uint32_t>> leaves;
    for (uint32_t s = CHAR_SYMBOLS; s-- > 0;) leaves.push_back({1, s});
    chars.layOut(leaves);
    // The distance tree starts as the lone leaf of code 0, whose uses are not counted in
    // the tree (a leaf that is the root has no path to count along), only in the total.
    dists.layOut({{1, 0}});
    uint32_t distTotal = 0;
    auto useDistance = [&](uint32_t code) {
        if (distTotal == REBUILD_AT) {
            dists.rebuild();
            ++used.distRebuilds;
            distTotal = dists.freq[0];
        }
        dists.raise(code);
        ++distTotal;
    };

    BitWriter w;
    uint64_t produced = 0, nextGrowth = GROWTH_STEP;
    for (const Item& item : parse(data, MAX_MATCH)) {
        uint32_t symbol = charSymbolOf(item);
        chars.send(symbol, w);
        if (chars.freq[0] == REBUILD_AT) {
            chars.rebuild();
            ++used.charRebuilds;
        }
        ++chars.freq[0];
        chars.raise(symbol);
        if (symbol == ESCAPE) w.put(item.length - 32, 8);
        if (item.length) {
            // A new code once more than each multiple of 64 bytes is out, up to 127.
            while (produced > nextGrowth) {
                dists.split((uint32_t)(nextGrowth / GROWTH_STEP));
                used.distCodes = std::max(used.distCodes, (uint32_t)(nextGrowth / GROWTH_STEP) + 1);
                useDistance((uint32_t)(nextGrowth / GROWTH_STEP));
                nextGrowth += GROWTH_STEP;
                if (nextGrowth >= WINDOW) nextGrowth = UINT64_MAX;
            }
            dists.send(item.value >> 6, w);
            useDistance(item.value >> 6);
            w.put(item.value & 63, 6);
        }
        produced += item.length ? item.length : 1;
    }
    return w.finish();
}

}  // namespace lz
