// The encoder's stream: input gathered in a window buffer, parsed into items (literals and
// matches), and the items sent in blocks.
//
// The buffer holds the dictionary behind the parse position (up to dictSize - 1 bytes, the
// farthest a match reaches back) and the input ahead of it. When it is full, everything up
// to MAX_MATCH bytes before its end is parsed (so that every match there can reach its full
// length), and the buffer slides to keep only the dictionary behind the new position.
#include "encode/lh_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include "encode/block_writer.h"
#include "encode/match_finder.h"
#include "encode/parse_blocks.h"

namespace {

// Input parsed at a time, beyond the dictionary: also the most the buffer holds ahead.
const uint32_t SEGMENT = 1u << 20;
// Matches kept per position, and per segment (4 bytes each).
const uint32_t MOST_KEPT = 16;
const uint32_t MATCH_BUDGET = 5u << 19;
// Positions at the end of a long match that still enter the match finder.
const uint32_t KEEP_IN_LONG_MATCH = 16;
// Items sent in one block; the block size field is 16 bits, and 0 would mean 65,536, which
// not every reader takes.
const uint32_t MOST_BLOCK_ITEMS = 65535;

struct LevelParams {
    uint32_t maxChain;    // positions a search visits (chain or tree)
    uint32_t niceLength;  // a match this long ends the search (and, when optimal, is taken)
    bool lazy;            // look one byte ahead before taking a match
    uint32_t passes;      // 0: sequential parse; else shortest-path passes over a segment
    uint32_t reparse;     // parses of each block with its own codes' prices
    uint32_t resplits;    // rounds of cutting the reparsed items into blocks again
    uint32_t blockPiece;  // items per piece that blocks are merged from (see chooseBlocks)
};

const LevelParams LEVELS[10] = {
    {4, 16, false, 0, 0, 0, 8192},     // (0: unused)
    {4, 16, false, 0, 0, 0, 8192},     // 1: greedy
    {8, 32, true, 0, 0, 0, 4096},      // 2: lazy
    {32, 64, true, 0, 0, 0, 1024},     // 3
    {8, 32, false, 1, 0, 0, 1024},     // 4: shortest path
    {16, 64, false, 1, 1, 0, 512},     // 5
    {32, 128, false, 2, 1, 0, 512},    // 6
    {64, 192, false, 2, 1, 0, 256},    // 7
    {128, 256, false, 3, 1, 1, 256},   // 8
    {1024, 256, false, 4, 3, 2, 192},  // 9
};

// Prices in bits of each literal/length symbol and distance symbol (extra bits included),
// from a block's code lengths. A symbol the code leaves out is priced as a rare one would be.
struct Prices {
    uint32_t symbol[CODE_SYMBOLS];
    uint32_t distance[17];

    Prices(const BlockCodes& codes, uint32_t distSymbols)
    {
        const uint32_t ABSENT = 14;
        const uint8_t* s = codes.symbolLengths();
        const uint8_t* d = codes.distanceLengths();
        for (uint32_t k = 0; k < CODE_SYMBOLS; ++k) symbol[k] = s[k] ? s[k] : ABSENT;
        for (uint32_t k = 0; k < 17; ++k)
            distance[k] = (k < distSymbols && d[k] ? d[k] : ABSENT / 2) + (k > 1 ? k - 1 : 0);
        // A single-value code costs no bits at all for its one value.
        if (codes.singleSymbolValue() >= 0) symbol[codes.singleSymbolValue()] = 0;
        int32_t single = codes.singleDistanceValue();
        if (single >= 0) distance[single] = single > 1 ? single - 1 : 0;
    }
};

}  // namespace

struct LhEncoder::State {
    State(const EncoderSettings& settings, Sink sink)
        : dictBits((uint32_t)settings.dictionaryBits),
          level(std::clamp(settings.level, 1, 9)),
          params(LEVELS[level]),
          maxDistance((1u << dictBits) - 1),
          capacity((1u << dictBits) + SEGMENT + MAX_MATCH),
          thorough(params.resplits > 1),
          buffer(capacity),
          finder(params.passes ? 0 : capacity, maxDistance),
          tree(params.passes ? 1u << dictBits : 0, thorough ? dictBits + 4 : 16),
          out(std::move(sink))
    {
        if (params.passes > 0) {
            // The shortest path's arrays at their largest from the start: grown by doubling,
            // the match list would briefly hold its old and its new copy.
            matches.reserve(MATCH_BUDGET + MOST_KEPT);
            firstMatch.reserve(SEGMENT + 1);
            cost.reserve(SEGMENT + 1);
            step.reserve(SEGMENT + 1);
        }
    }

    void write(const uint8_t* data, size_t size);
    void finish();

    void parse(uint32_t limit);
    void parseSequential(uint32_t end);
    uint32_t collectMatches(uint32_t start, uint32_t end);
    void shortestPath(uint32_t start, uint32_t end, const Prices& prices, std::vector<Item>& result);
    void emitSegment(uint32_t start);
    void slide();

    const uint32_t dictBits;
    const int level;
    const LevelParams params;
    const uint32_t maxDistance;
    const uint32_t capacity;
    // Level 9: the wide three-byte table, the code lengths' zero runs folded at their prices,
    // block cuts refined item by item, and each block parsed from its neighbour's prices too.
    // Each of these alone moves the other levels' sizes by chance either way.
    const bool thorough;
    std::vector<uint8_t> buffer;
    uint32_t filled = 0;  // bytes in the buffer
    uint32_t pos = 0;     // the parse position: bytes before it are coded
    MatchFinder finder;  // for the sequential parse
    TreeFinder tree;     // for the shortest path
    std::vector<Item> items;  // the segment's, in order
    // The optimal parse's view of a segment: matches per position, and the path's state.
    uint32_t matchesFrom = 0;          // the segment's first position
    std::vector<uint32_t> firstMatch;  // per position from matchesFrom, and one more
    std::vector<Match> matches;
    std::vector<uint32_t> cost;
    std::vector<Item> step;  // the item that reaches each position at `cost`
    std::unique_ptr<BlockCodes> lastCodes;  // the codes of the last block sent
    BitWriter out;
    bool finished = false;
};

void LhEncoder::State::write(const uint8_t* data, size_t size)
{
    while (size > 0) {
        size_t n = std::min<size_t>(size, capacity - filled);
        memcpy(buffer.data() + filled, data, n);
        filled += (uint32_t)n;
        data += n;
        size -= n;
        if (filled == capacity) {
            parse(filled - MAX_MATCH);
            slide();
        }
    }
}

void LhEncoder::State::finish()
{
    if (finished) return;
    finished = true;
    parse(filled);
    out.finish();
}

void LhEncoder::State::slide()
{
    uint32_t keep = 1u << dictBits;
    if (pos <= keep) return;
    uint32_t shift = pos - keep;
    memmove(buffer.data(), buffer.data() + shift, filled - shift);
    filled -= shift;
    pos -= shift;
    finder.slide(shift);
    tree.slide(shift);
}

void LhEncoder::State::parse(uint32_t limit)
{
    while (pos < limit) {
        uint32_t start = pos;
        uint32_t end = std::min(limit, pos + SEGMENT);
        items.clear();
        if (params.passes == 0) {
            parseSequential(end);
        } else {
            end = collectMatches(start, end);
            // The first pass prices by the last block's codes, or, at the start, by the
            // codes of a parse that takes every longest match.
            std::unique_ptr<BlockCodes> codes = std::move(lastCodes);
            if (!codes) {
                BlockCounts counts;
                for (uint32_t p = start; p < end;) {
                    uint32_t n = firstMatch[p - start + 1] - firstMatch[p - start];
                    Item item = {0, buffer[p]};
                    if (n > 0) {
                        const Match& m = matches[firstMatch[p - start] + n - 1];
                        item = {std::min<uint16_t>(m.length, (uint16_t)(end - p)), m.value};
                        if (item.length < MIN_MATCH) item = {0, buffer[p]};
                    }
                    counts.add(item);
                    p += item.length ? item.length : 1;
                }
                codes.reset(new BlockCodes(counts, dictBits, thorough));
            }
            for (uint32_t pass = 0; pass < params.passes; ++pass) {
                shortestPath(start, end, Prices(*codes, distanceSymbolsFor(dictBits)), items);
                if (pass + 1 == params.passes) break;
                BlockCounts counts;
                for (const Item& item : items) counts.add(item);
                codes.reset(new BlockCodes(counts, dictBits, thorough));
            }
            pos = end;
        }
        emitSegment(start);
    }
}

// Cuts the segment's items into blocks and sends them. Where the level reparses, each block
// is parsed again with its own codes' prices, and with `resplits`, the reparsed items are
// cut anew and reparsed again before they go out: the cuts and the parse depend on each
// other, and each round can only lower the bits (a block keeps its items when its new parse
// costs more).
void LhEncoder::State::emitSegment(uint32_t start)
{
    std::vector<Item> reparsed, again;
    for (uint32_t round = 0;; ++round) {
        const bool last = round >= params.resplits || params.reparse == 0;
        std::vector<uint32_t> ends =
            chooseBlocks(items.data(), (uint32_t)items.size(), dictBits, MOST_BLOCK_ITEMS, params.blockPiece,
                         thorough);
        uint32_t from = 0;
        uint32_t bytes = start;  // where the block's first item starts
        reparsed.clear();
        std::unique_ptr<BlockCodes> neighbour;
        if (lastCodes) neighbour.reset(new BlockCodes(*lastCodes));
        for (uint32_t end : ends) {
            BlockCounts counts;
            uint32_t blockBytes = 0;
            for (uint32_t k = from; k < end; ++k) {
                counts.add(items[k]);
                blockBytes += items[k].length ? items[k].length : 1;
            }
            std::unique_ptr<BlockCodes> codes(new BlockCodes(counts, dictBits, thorough));
            std::vector<Item> blockItems(items.begin() + from, items.begin() + end);
            // At level 9 the parse may also start from the prices of the block before, when
            // that ends cheaper: a block's own first parse was priced by a whole segment.
            if (thorough && neighbour) {
                shortestPath(bytes, bytes + blockBytes, Prices(*neighbour, distanceSymbolsFor(dictBits)), again);
                BlockCounts newCounts;
                for (const Item& item : again) newCounts.add(item);
                std::unique_ptr<BlockCodes> newCodes(new BlockCodes(newCounts, dictBits, thorough));
                if (again.size() <= MOST_BLOCK_ITEMS && newCodes->bits() < codes->bits()) {
                    codes = std::move(newCodes);
                    blockItems.swap(again);
                }
            }
            for (uint32_t k = 0; k < params.reparse; ++k) {
                shortestPath(bytes, bytes + blockBytes, Prices(*codes, distanceSymbolsFor(dictBits)), again);
                BlockCounts newCounts;
                for (const Item& item : again) newCounts.add(item);
                std::unique_ptr<BlockCodes> newCodes(new BlockCodes(newCounts, dictBits, thorough));
                if (again.size() > MOST_BLOCK_ITEMS || newCodes->bits() >= codes->bits()) break;
                codes = std::move(newCodes);
                blockItems.swap(again);
            }
            neighbour.reset(new BlockCodes(*codes));
            if (last) {
                codes->write(out, blockItems.data(), blockItems.size());
                lastCodes = std::move(codes);
            } else {
                reparsed.insert(reparsed.end(), blockItems.begin(), blockItems.end());
            }
            bytes += blockBytes;
            from = end;
        }
        if (last) return;
        items.swap(reparsed);
    }
}

// Every position of [start, end) is entered in the match finder; for each, the matches that
// are longer than every nearer one are kept (the longest MOST_KEPT), their lengths cut at
// `end`. Behind a match of niceLength or more, positions are only entered: the path takes
// such a match whole. Returns where it stopped: `end`, or earlier when the segment's
// matches reach MATCH_BUDGET, which bounds the memory whatever the input.
uint32_t LhEncoder::State::collectMatches(uint32_t start, uint32_t end)
{
    const uint8_t* data = buffer.data();
    matchesFrom = start;
    firstMatch.assign(end - start + 1, 0);
    matches.clear();
    Match found[MatchFinder::MOST_MATCHES];
    uint32_t skipUntil = start;
    for (uint32_t p = start; p < end; ++p) {
        firstMatch[p - start] = (uint32_t)matches.size();
        if (matches.size() + MOST_KEPT > MATCH_BUDGET && p >= skipUntil) {
            firstMatch.resize(p - start + 1);
            return p;
        }
        uint32_t avail = std::min<uint32_t>(end - p, MAX_MATCH);
        if (p < skipUntil || avail < MIN_MATCH) {
            // Inside a long match only its last positions go into the trees: in a long
            // repeat every descent would compare whole matches at each step, and the
            // positions before repeat the same bytes as those kept.
            if (p + KEEP_IN_LONG_MATCH >= skipUntil) tree.insert(data, p, filled - p, params.maxChain);
            continue;
        }
        uint32_t n = tree.find(data, p, filled - p, avail, params.maxChain, found);
        uint32_t from = n > MOST_KEPT ? n - MOST_KEPT : 0;
        matches.insert(matches.end(), found + from, found + n);
        if (n > 0 && found[n - 1].length >= params.niceLength) skipUntil = p + found[n - 1].length;
    }
    firstMatch[end - start] = (uint32_t)matches.size();
    return end;
}

// The cheapest items for [start, end) under `prices`: a shortest path over the positions,
// each position reached by a literal from the one before or by a match from one behind.
// A length is tried at the nearest match that reaches it only. (Trying it also at farther
// matches whose distance costs less, as a block's distance code allows, measured larger
// at levels 5, 6 and 9 and smaller only at level 4.)
void LhEncoder::State::shortestPath(uint32_t start, uint32_t end, const Prices& prices, std::vector<Item>& result)
{
    const uint8_t* data = buffer.data();
    const uint32_t n = end - start;
    cost.assign(n + 1, UINT32_MAX);
    step.resize(n + 1);
    cost[0] = 0;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t here = cost[i];
        if (here == UINT32_MAX) continue;
        uint32_t literal = here + prices.symbol[data[start + i]];
        if (literal < cost[i + 1]) {
            cost[i + 1] = literal;
            step[i + 1] = {0, data[start + i]};
        }
        uint32_t at = start + i - matchesFrom;  // a block's path runs inside the segment
        uint32_t shorter = MIN_MATCH - 1;
        for (uint32_t k = firstMatch[at]; k < firstMatch[at + 1]; ++k) {
            const Match& m = matches[k];
            uint32_t longest = std::min<uint32_t>(m.length, n - i);
            uint32_t distance = here + prices.distance[distanceSymbol(m.value)];
            for (uint32_t length = shorter + 1; length <= longest; ++length) {
                uint32_t c = distance + prices.symbol[length + MATCH_LENGTH_BIAS];
                if (c < cost[i + length]) {
                    cost[i + length] = c;
                    step[i + length] = {(uint16_t)length, m.value};
                }
            }
            shorter = std::max(shorter, longest);
        }
    }
    result.clear();
    for (uint32_t i = n; i > 0;) {
        const Item& item = step[i];
        result.push_back(item);
        i -= item.length ? item.length : 1;
    }
    std::reverse(result.begin(), result.end());
}

// Greedy, or lazy: a match is taken unless the next position has a longer one, in which
// case a literal goes out and the next position's match is weighed in turn.
void LhEncoder::State::parseSequential(uint32_t end)
{
    const uint8_t* data = buffer.data();
    Match found[MatchFinder::MOST_MATCHES];
    Match current = {0, 0};
    bool haveCurrent = false;  // `current` is the match found at pos
    while (pos < end) {
        uint32_t avail = std::min<uint32_t>(filled - pos, MAX_MATCH);
        if (!haveCurrent) {
            current = {0, 0};
            if (avail >= MIN_MATCH) {
                uint32_t n = finder.find(data, pos, avail, params.maxChain, params.niceLength, found);
                if (n > 0) current = found[n - 1];
            }
        }
        haveCurrent = false;
        if (current.length < MIN_MATCH) {
            items.push_back({0, data[pos]});
            ++pos;
            continue;
        }
        uint32_t entered = pos + 1;  // positions before this are in the finder
        if (params.lazy && current.length < params.niceLength && pos + 1 < end) {
            uint32_t nextAvail = std::min<uint32_t>(filled - pos - 1, MAX_MATCH);
            Match next = {0, 0};
            if (nextAvail >= MIN_MATCH) {
                uint32_t n = finder.find(data, pos + 1, nextAvail, params.maxChain, params.niceLength, found);
                if (n > 0) next = found[n - 1];
                entered = pos + 2;
            }
            if (next.length > current.length) {
                items.push_back({0, data[pos]});
                ++pos;
                current = next;
                haveCurrent = true;
                continue;
            }
        }
        items.push_back({current.length, current.value});
        for (uint32_t p = entered; p < pos + current.length; ++p)
            if (p + MIN_MATCH <= filled) finder.insert(data, p, filled - p);
        pos += current.length;
    }
}

LhEncoder::LhEncoder(const EncoderSettings& settings, Sink sink)
    : state(new State(settings, std::move(sink)))
{
}

LhEncoder::~LhEncoder() = default;

void LhEncoder::write(const uint8_t* data, size_t size)
{
    state->write(data, size);
}

void LhEncoder::finish()
{
    state->finish();
}

uint64_t LhEncoder::packedSize() const
{
    return state->out.bytesOut();
}
