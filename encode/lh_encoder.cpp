// The encoder's stream: input gathered in a window buffer, parsed into items (literals and
// matches), and the items sent in blocks.
//
// The sequential levels (1-3) parse the buffer as it fills: it holds the dictionary behind
// the parse position and the input ahead of it; when it is full, everything up to MAX_MATCH
// bytes before its end is parsed (so that every match there can reach its full length), and
// the buffer slides to keep only the dictionary behind the new position.
//
// The shortest-path levels (4-9) cut the input into segments on a fixed grid (SEGMENT bytes
// each from the start of the member, the last one shorter) and code each segment on its own:
// its match finder starts from the dictionary's worth of bytes before it, its prices from its
// own data, its blocks end where it ends. Segments can thus be coded by several threads at
// once, and their bits, joined in order, are the same whatever the number of threads.
#include "encode/lh_encoder.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "encode/block_writer.h"
#include "encode/match_finder.h"
#include "encode/parse_blocks.h"

namespace {

// Input parsed at a time by the sequential levels, beyond the dictionary.
const uint32_t SEQUENTIAL_PIECE = 1u << 20;
// The shortest-path levels' grid. Smaller segments would give threads more to share in
// files of a few megabytes, but each one costs the priming of its match finder (a
// dictionary's worth of insertions, 1/16 of the segment's own at 1 MiB with -lh7-) and
// blocks that end where it does. Nor are larger ones smaller: at level 9 a program and a
// font packed 0.017 % larger with segments of 4 MiB (0.011 % with 512 KiB), as one
// stretch's first prices fit its parts less well; pricing the first passes by pieces of
// 256 KiB within the segment lost 0.012 %.
const uint32_t SEGMENT = 1u << 20;
// Matches kept per position, and per stretch of a segment (4 bytes each): a segment whose
// matches reach the budget is parsed in stretches.
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
    uint32_t spanEnds;    // lengths tried at each end of a match's new lengths; 0: all
    bool countPrices;     // each reparse also tries prices from the block's counts
};

// Level 6, the default, parses once before the per-block reparse and merges blocks from
// pieces of 2,048 items: against two passes and pieces of 512, a quarter less time for
// archives 0.2 % larger. It also tries only the ends of a match's new lengths and takes
// matches of 80 bytes whole: about 3 % less time for archives 0.07 % larger.
//
// Level 9 is about as small as a Deflate64 encoder's best, and the format sets the bound: its
// distances have one class per power of two where Deflate64 has two, and on a program the
// items level 9 chooses, coded with Deflate64's classes and lengths instead, come out 0.22 %
// smaller (the font 0.09 %; C headers 1.0 % larger, as -lh7- gives every length a symbol).
const LevelParams LEVELS[10] = {
    {4, 16, false, 0, 0, 0, 8192, 0, false},       // (0: unused)
    {4, 16, false, 0, 0, 0, 8192, 0, false},       // 1: greedy
    {8, 32, true, 0, 0, 0, 4096, 0, false},        // 2: lazy
    {32, 64, true, 0, 0, 0, 1024, 0, false},       // 3
    {8, 32, false, 1, 0, 0, 1024, 0, false},       // 4: shortest path
    {16, 64, false, 1, 1, 0, 512, 0, false},       // 5
    {32, 80, false, 1, 1, 0, 2048, 8, false},      // 6
    {64, 192, false, 2, 1, 0, 256, 0, false},      // 7
    {128, 256, false, 3, 1, 1, 256, 0, false},     // 8
    {1024, 256, false, 4, 3, 2, 192, 0, true},     // 9
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

    // Prices from a block's counts: each symbol's information content, -log2 of its share,
    // in sixteenths of a bit (a parse compares prices of one kind only). Unlike whole code
    // lengths they tell apart symbols that a code gives one length, so a parse priced by
    // them can leave the spot where a block's own code lengths hold it. An unused symbol is
    // priced as one used once.
    Prices(const BlockCounts& counts, uint32_t distSymbols)
    {
        auto price = [](uint32_t count, uint32_t total) {
            return log2Sixteenths(std::max(total, 1u)) - log2Sixteenths(std::max(count, 1u));
        };
        uint32_t matches = 0;
        for (uint32_t k = 0; k < distSymbols; ++k) matches += counts.distances[k];
        for (uint32_t k = 0; k < CODE_SYMBOLS; ++k) symbol[k] = price(counts.symbols[k], counts.items);
        for (uint32_t k = 0; k < 17; ++k)
            distance[k] = price(k < distSymbols ? counts.distances[k] : 0, matches) + 16 * (k > 1 ? k - 1 : 0);
    }

    // log2(x) in sixteenths, rounded down, for x >= 1; in integers, so that the tool writes
    // the same bytes on every system: the whole part from the top bit, then each fraction
    // bit from squaring the mantissa (a 1.32 fixed-point number below 2).
    static uint32_t log2Sixteenths(uint32_t x)
    {
        uint32_t whole = 31 - (uint32_t)__builtin_clz(x);
        uint64_t mantissa = (uint64_t)x << (32 - whole);
        uint32_t result = whole;
        for (int bit = 0; bit < 4; ++bit) {
            mantissa = (mantissa >> 16) * (mantissa >> 16);
            result <<= 1;
            if (mantissa >= (uint64_t)2 << 32) {
                mantissa >>= 1;
                result |= 1;
            }
        }
        return result;
    }
};

uint32_t longestOf(const uint8_t* lengths, uint32_t count)
{
    return count ? *std::max_element(lengths, lengths + count) : 0;
}

// Some readers (unar) take every code by looking as many bits ahead as the longest code of
// its table, and refuse a stream that ends before those bits do. The last item of a stream
// leaves enough bits when its own codes and extra bits cover the look-ahead of each of its
// codes; the padding of the last byte is not counted, as a segment coded apart does not
// know where in a byte it ends.
bool leavesLookAhead(const BlockCodes& codes, const Item& item, uint32_t distSymbols)
{
    uint32_t after = 0;  // bits after the literal/length code
    if (item.length != 0) {
        uint32_t d = distanceSymbol(item.value);
        after = codes.distanceLengths()[d] + (d > 1 ? d - 1 : 0);
        if (after < longestOf(codes.distanceLengths(), distSymbols)) return false;
    }
    return codes.symbolLengths()[itemSymbol(item)] + after >= longestOf(codes.symbolLengths(), CODE_SYMBOLS);
}

// Sends one block. When it ends the stream and its last item would leave a reader's
// look-ahead short, that item goes out as a block of its own: single-value codes, which
// take no bits and so no look-ahead (about 7 bytes of header, against the far larger cost
// of lengthening a code that the block uses often).
void sendBlock(BitWriter& out, std::unique_ptr<BlockCodes> codes, const Item* items, size_t count,
               bool endsStream, uint32_t dictBits, CodeEffort effort)
{
    if (endsStream && count > 1 && !leavesLookAhead(*codes, items[count - 1], distanceSymbolsFor(dictBits))) {
        BlockCounts head, last;
        for (size_t k = 0; k + 1 < count; ++k) head.add(items[k]);
        last.add(items[count - 1]);
        BlockCodes(head, dictBits, effort).write(out, items, count - 1);
        BlockCodes(last, dictBits, effort).write(out, items + count - 1, 1);
        return;
    }
    codes->write(out, items, count);
}

// Codes segments of the shortest-path levels: the match finder, the parse and the block
// coder of one thread, kept from segment to segment so that their tables are allocated
// once.
class SegmentCoder {
public:
    SegmentCoder(uint32_t dictBits, int level, const LevelParams& params, bool thorough)
        : dictBits(dictBits), level(level), params(params), thorough(thorough),
          effort(thorough ? CodeEffort::fitted : CodeEffort::usual),
          tree(1u << dictBits, thorough ? dictBits + 4 : 16)
    {
        // The arrays at their largest from the start: grown by doubling, the match list
        // would briefly hold its old and its new copy.
        matches.reserve(MATCH_BUDGET + MOST_KEPT);
        firstMatch.reserve(SEGMENT + 1);
        reach.reserve(SEGMENT + 1);
    }

    // Codes data[start, end) to `out`. data[0, start) is the window before the segment,
    // data[end, size) only orders the match finder's trees (matches end at `end`).
    void code(const uint8_t* data, uint32_t size, uint32_t start, uint32_t end, bool endsStream, BitWriter& out);

    bool codes(uint32_t bits, int lev) const { return bits == dictBits && lev == level; }

private:
    uint32_t collectMatches(uint32_t start, uint32_t end);
    void shortestPath(uint32_t start, uint32_t end, const Prices& prices, std::vector<Item>& result);
    void emit(uint32_t start, bool endsStream, BitWriter& out);

    const uint32_t dictBits;
    const int level;
    const LevelParams params;
    // Level 9: the wide three-byte table, the code lengths' zero runs folded at their prices
    // and the lengths fitted to their header cost, block cuts refined item by item, and each
    // block parsed from its neighbour's prices too.
    // Each of these alone moves the other levels' sizes by chance either way.
    const bool thorough;
    const CodeEffort effort;  // of the codes a parse is priced or weighed by
    TreeFinder tree;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    std::vector<Item> items;  // the stretch's, in order
    // The optimal parse's view of a stretch: matches per position, and the path's state.
    uint32_t matchesFrom = 0;          // the stretch's first position
    std::vector<uint32_t> firstMatch;  // per position from matchesFrom, and one more
    std::vector<Match> matches;
    // Per position of the path: the cost of reaching it and the item that does, as one key
    // (see shortestPath).
    std::vector<uint64_t> reach;
    std::unique_ptr<BlockCodes> lastCodes;  // the codes of the last block sent in the segment
};

void SegmentCoder::code(const uint8_t* bytes, uint32_t bytesSize, uint32_t start, uint32_t end, bool endsStream,
                        BitWriter& out)
{
    // What the trees hold of the last segment moves out of reach: its positions now lie
    // more than a dictionary behind every new one.
    tree.slide(size + (1u << dictBits));
    data = bytes;
    size = bytesSize;
    for (uint32_t p = 0; p < start; ++p) tree.insert(data, p, size - p, params.maxChain);
    lastCodes.reset();
    for (uint32_t from = start; from < end;) {
        uint32_t to = collectMatches(from, end);
        // The first pass prices by the codes of a parse that takes every longest match.
        BlockCounts counts;
        for (uint32_t p = from; p < to;) {
            uint32_t n = firstMatch[p - from + 1] - firstMatch[p - from];
            Item item = {0, data[p]};
            if (n > 0) {
                const Match& m = matches[firstMatch[p - from] + n - 1];
                item = {std::min<uint16_t>(m.length, (uint16_t)(to - p)), m.value};
                if (item.length < MIN_MATCH) item = {0, data[p]};
            }
            counts.add(item);
            p += item.length ? item.length : 1;
        }
        std::unique_ptr<BlockCodes> codes(new BlockCodes(counts, dictBits, effort));
        for (uint32_t pass = 0; pass < params.passes; ++pass) {
            shortestPath(from, to, Prices(*codes, distanceSymbolsFor(dictBits)), items);
            if (pass + 1 == params.passes) break;
            BlockCounts passCounts;
            for (const Item& item : items) passCounts.add(item);
            codes.reset(new BlockCodes(passCounts, dictBits, effort));
        }
        emit(from, endsStream && to == end, out);
        from = to;
    }
}

// Cuts the stretch's items into blocks and sends them. Where the level reparses, each block
// is parsed again with its own codes' prices, and with `resplits`, the reparsed items are
// cut anew and reparsed again before they go out: the cuts and the parse depend on each
// other, and each round can only lower the bits (a block keeps its items when its new parse
// costs more).
void SegmentCoder::emit(uint32_t start, bool endsStream, BitWriter& out)
{
    const uint32_t distSymbols = distanceSymbolsFor(dictBits);
    std::vector<Item> reparsed, again;
    for (uint32_t round = 0;; ++round) {
        const bool last = round >= params.resplits || params.reparse == 0;
        std::vector<uint32_t> ends =
            chooseBlocks(items.data(), (uint32_t)items.size(), dictBits, MOST_BLOCK_ITEMS, params.blockPiece,
                         thorough);
        uint32_t from = 0;
        uint32_t bytes = start;  // where the block's first item starts
        reparsed.clear();
        const BlockCodes* neighbour = lastCodes.get();
        std::unique_ptr<BlockCodes> previous;  // this round's block before
        for (uint32_t end : ends) {
            BlockCounts counts;
            uint32_t blockBytes = 0;
            for (uint32_t k = from; k < end; ++k) {
                counts.add(items[k]);
                blockBytes += items[k].length ? items[k].length : 1;
            }
            std::unique_ptr<BlockCodes> codes(new BlockCodes(counts, dictBits, effort));
            const Item* blockItems = items.data() + from;
            size_t blockCount = end - from;
            std::vector<Item> kept;  // the block's items once a new parse is taken
            BlockCounts current = counts;  // of blockItems
            auto take = [&](std::unique_ptr<BlockCodes>& newCodes, const BlockCounts& newCounts) {
                codes = std::move(newCodes);
                current = newCounts;
                kept.swap(again);
                blockItems = kept.data();
                blockCount = kept.size();
            };
            // At level 9 the parse may also start from the prices of the block before, when
            // that ends cheaper: a block's own first parse was priced by a whole stretch.
            if (thorough && neighbour) {
                shortestPath(bytes, bytes + blockBytes, Prices(*neighbour, distSymbols), again);
                BlockCounts newCounts;
                for (const Item& item : again) newCounts.add(item);
                std::unique_ptr<BlockCodes> newCodes(new BlockCodes(newCounts, dictBits, effort));
                if (again.size() <= MOST_BLOCK_ITEMS && newCodes->bits() < codes->bits()) take(newCodes, newCounts);
            }
            // Each round parses with the prices of the block's code and, with countPrices, of
            // its counts too; the rounds end when no parse makes the block smaller.
            for (uint32_t k = 0; k < params.reparse; ++k) {
                bool gained = false;
                for (uint32_t kind = 0; kind < (params.countPrices ? 2u : 1u); ++kind) {
                    shortestPath(bytes, bytes + blockBytes,
                                 kind == 0 ? Prices(*codes, distSymbols) : Prices(current, distSymbols), again);
                    BlockCounts newCounts;
                    for (const Item& item : again) newCounts.add(item);
                    std::unique_ptr<BlockCodes> newCodes(new BlockCodes(newCounts, dictBits, effort));
                    if (again.size() > MOST_BLOCK_ITEMS || newCodes->bits() >= codes->bits()) continue;
                    take(newCodes, newCounts);
                    gained = true;
                }
                if (!gained) break;
            }
            if (last) {
                bool endOfStream = endsStream && end == ends.back();
                if (!endOfStream) {
                    codes->write(out, blockItems, blockCount);
                    lastCodes = std::move(codes);
                    neighbour = lastCodes.get();
                } else {
                    sendBlock(out, std::move(codes), blockItems, blockCount, true, dictBits, effort);
                }
            } else {
                reparsed.insert(reparsed.end(), blockItems, blockItems + blockCount);
                previous = std::move(codes);
                neighbour = previous.get();
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
// such a match whole. Returns where it stopped: `end`, or earlier when the stretch's
// matches reach MATCH_BUDGET, which bounds the memory whatever the input.
uint32_t SegmentCoder::collectMatches(uint32_t start, uint32_t end)
{
    matchesFrom = start;
    firstMatch.resize(end - start + 1);  // every entry is set below
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
            if (p + KEEP_IN_LONG_MATCH >= skipUntil) tree.insert(data, p, size - p, params.maxChain);
            continue;
        }
        uint32_t n = tree.find(data, p, size - p, avail, params.maxChain, found);
        // One by one: a call to copy the one or two matches of a position costs more.
        for (uint32_t k = n > MOST_KEPT ? n - MOST_KEPT : 0; k < n; ++k) matches.push_back(found[k]);
        if (n > 0 && found[n - 1].length >= params.niceLength) skipUntil = p + found[n - 1].length;
    }
    firstMatch[end - start] = (uint32_t)matches.size();
    return end;
}

// The cheapest items for [start, end) under `prices`: a shortest path over the positions,
// each position reached by a literal from the one before or by a match from one behind.
// A length is tried at the nearest match that reaches it only. (Trying it also at farther
// matches whose distance costs less, as a block's distance code allows, measured larger
// at levels 5, 6 and 9 and smaller only at level 4. Having the tree's descent also report,
// for each distance class, the longest match it meets there, tried over all its lengths at
// level 9, saved 0.008 % for 1.47 times the processor time.) With spanEnds, a match whose new
// lengths are many tries only those at either end: its longest, and the shortest, where it
// takes over from the nearer match. In a long repeat every position has such a match, so
// the lengths between still reach their positions from a later start, at nearly the
// same cost, and the tries per byte no longer grow with the length of the repeat.
void SegmentCoder::shortestPath(uint32_t start, uint32_t end, const Prices& prices, std::vector<Item>& result)
{
    // A position's key holds the cost of reaching it in its high half (far below 2^32: by
    // literals alone, no position costs more than 16 bits a byte, or 256 price units when the
    // prices are in sixteenths of a bit), above the item that does:
    // its length inverted, then its value. Each arc lowers the key of the position it reaches
    // to the smaller of the two, a choice without a branch; of arcs that cost the same, the
    // longest stays, which is the one tried first (arcs from one position reach different
    // positions).
    const uint32_t COST_SHIFT = 32, LENGTH_SHIFT = 16;
    auto keyOf = [](uint32_t bits, uint32_t length, uint32_t value) {
        return (uint64_t)bits << COST_SHIFT | (uint64_t)(UINT16_MAX - length) << LENGTH_SHIFT | value;
    };
    uint64_t lengthKey[MAX_MATCH + 1];
    for (uint32_t length = MIN_MATCH; length <= MAX_MATCH; ++length)
        lengthKey[length] = keyOf(prices.symbol[length + MATCH_LENGTH_BIAS], length, 0);

    const uint32_t n = end - start;
    reach.assign(n + 1, UINT64_MAX);
    uint64_t* node = reach.data();
    node[0] = 0;
    // Every position is reached, by a literal from the one before at least.
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t here = node[i] >> COST_SHIFT << COST_SHIFT;
        const uint8_t byte = data[start + i];
        node[i + 1] = std::min(node[i + 1], here + keyOf(prices.symbol[byte], 0, byte));
        uint32_t at = start + i - matchesFrom;  // a block's path runs inside the stretch
        uint32_t shorter = MIN_MATCH - 1;
        for (uint32_t k = firstMatch[at]; k < firstMatch[at + 1]; ++k) {
            const Match& m = matches[k];
            uint32_t longest = std::min<uint32_t>(m.length, n - i);
            uint64_t distance = here + ((uint64_t)prices.distance[distanceSymbol(m.value)] << COST_SHIFT | m.value);
            uint64_t* to = node + i;
            auto relax = [&](uint32_t first, uint32_t last) {
                for (uint32_t length = first; length <= last; ++length)
                    to[length] = std::min(to[length], distance + lengthKey[length]);
            };
            if (params.spanEnds == 0 || longest <= shorter + 2 * params.spanEnds) {
                relax(shorter + 1, longest);
            } else {
                relax(shorter + 1, shorter + params.spanEnds);
                relax(longest + 1 - params.spanEnds, longest);
            }
            shorter = std::max(shorter, longest);
        }
    }
    result.clear();
    for (uint32_t i = n; i > 0;) {
        Item item = {(uint16_t)(UINT16_MAX - (uint16_t)(node[i] >> LENGTH_SHIFT)), (uint16_t)node[i]};
        result.push_back(item);
        i -= item.length ? item.length : 1;
    }
    std::reverse(result.begin(), result.end());
}

// One segment of the grid: its bytes with the window before and the look-ahead after, and,
// once coded, its bits.
struct Job {
    std::vector<uint8_t> bytes;
    uint32_t start = 0, end = 0;
    bool endsStream = false;
    std::vector<uint8_t> coded;  // whole bytes
    uint32_t tail = 0, tailBits = 0;
    bool done = false;
};

// The coder the calling thread used for its last member, kept for the next one: a member
// of a few kilobytes would otherwise spend more time making the match finder's tables than
// coding. A plain pointer, given back by keepSpare and LhEncoder::releaseThreadTables: a
// thread_local with a destructor runs at thread exit, where mingw-w64's emulated TLS of the
// thread may already be gone (the Windows tool crashed there, now and then, as threads ended).
SegmentCoder*& spareCoder()
{
    static thread_local SegmentCoder* spare = nullptr;
    return spare;
}

void keepSpare(std::unique_ptr<SegmentCoder> coder)
{
    delete spareCoder();
    spareCoder() = coder.release();
}

void runJob(SegmentCoder& coder, Job& job)
{
    BitWriter bits([&job](const uint8_t* data, size_t n) { job.coded.insert(job.coded.end(), data, data + n); });
    coder.code(job.bytes.data(), (uint32_t)job.bytes.size(), job.start, job.end, job.endsStream, bits);
    job.tail = bits.takeTail(job.tailBits);
    std::vector<uint8_t>().swap(job.bytes);
}

}  // namespace

struct LhEncoder::State {
    State(const EncoderSettings& settings, Sink sink)
        : dictBits((uint32_t)settings.dictionaryBits),
          level(std::clamp(settings.level, 1, 9)),
          params(LEVELS[level]),
          threads((uint32_t)std::max(1, settings.threads)),
          maxDistance((1u << dictBits) - 1),
          capacity((1u << dictBits) + (params.passes ? SEGMENT : SEQUENTIAL_PIECE) + MAX_MATCH),
          buffer(capacity),
          finder(params.passes ? 0 : capacity, maxDistance),
          out(std::move(sink))
    {
    }
    ~State()
    {
        stopWorkers();
        if (coder) keepSpare(std::move(coder));
    }

    void write(const uint8_t* data, size_t size);
    void finish();

    // The sequential levels.
    void parse(uint32_t limit);
    void parseSequential(uint32_t end);
    void emitSequential(bool endsStream);
    void slide();

    // The shortest-path levels.
    void dispatch(uint32_t start, uint32_t end, bool endsStream);
    void join(Job& job);
    void startWorkers();
    void stopWorkers();
    void work();

    const uint32_t dictBits;
    const int level;
    const LevelParams params;
    const uint32_t threads;
    const uint32_t maxDistance;
    const uint32_t capacity;
    std::vector<uint8_t> buffer;
    uint32_t filled = 0;  // bytes in the buffer
    uint32_t pos = 0;     // the sequential parse position, or the next segment's start
    MatchFinder finder;  // for the sequential parse
    std::vector<Item> items;

    // Segments handed out and not yet joined, in order; those no thread has taken yet.
    std::deque<std::unique_ptr<Job>> pending;
    std::deque<Job*> queue;
    std::unique_ptr<SegmentCoder> coder;  // the calling thread's, when it codes alone
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable wake;     // for the workers: a job, or the end
    std::condition_variable jobDone;  // for the caller
    bool stopping = false;
    std::exception_ptr failure;

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
        if (params.passes == 0) {
            if (filled == capacity) {
                parse(filled - MAX_MATCH);
                slide();
            }
            continue;
        }
        // A segment goes as soon as the bytes after it that order its trees are in.
        while (filled - pos >= SEGMENT + MAX_MATCH) {
            dispatch(pos, pos + SEGMENT, false);
            pos += SEGMENT;
            uint32_t shift = pos - std::min(pos, 1u << dictBits);
            memmove(buffer.data(), buffer.data() + shift, filled - shift);
            filled -= shift;
            pos -= shift;
        }
    }
}

void LhEncoder::State::finish()
{
    if (finished) return;
    finished = true;
    if (params.passes == 0) {
        parse(filled);
    } else {
        if (filled > pos) dispatch(pos, filled, true);
        while (!pending.empty()) {
            std::unique_lock<std::mutex> lock(mutex);
            jobDone.wait(lock, [&] { return pending.front()->done; });
            lock.unlock();
            join(*pending.front());
            pending.pop_front();
        }
        stopWorkers();
    }
    out.finish();
}

// Hands the segment [start, end) of the buffer to a thread, or codes it here when there is
// one thread. At most one segment waits for a thread beyond those being coded: the memory
// stays bounded, and the bits go out in order as they come.
void LhEncoder::State::dispatch(uint32_t start, uint32_t end, bool endsStream)
{
    std::unique_ptr<Job> job(new Job);
    uint32_t from = start - std::min(start, 1u << dictBits);
    uint32_t to = endsStream ? filled : end + MAX_MATCH;
    job->bytes.assign(buffer.begin() + from, buffer.begin() + to);
    job->start = start - from;
    job->end = end - from;
    job->endsStream = endsStream;
    if (threads > 1 && workers.empty() && !endsStream) startWorkers();
    if (workers.empty()) {
        if (!coder) {
            SegmentCoder*& spare = spareCoder();
            if (spare && spare->codes(dictBits, level)) {
                coder.reset(spare);
                spare = nullptr;
            } else {
                coder.reset(new SegmentCoder(dictBits, level, params, params.resplits > 1));
            }
        }
        runJob(*coder, *job);
        join(*job);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    queue.push_back(job.get());
    pending.push_back(std::move(job));
    wake.notify_one();
    for (;;) {
        if (failure) std::rethrow_exception(failure);
        if (!pending.front()->done) {
            if (pending.size() <= threads) return;
            jobDone.wait(lock);
            continue;
        }
        lock.unlock();
        join(*pending.front());
        pending.pop_front();
        lock.lock();
        if (pending.empty()) return;
    }
}

void LhEncoder::State::join(Job& job)
{
    // Called without the lock; a worker sets `failure` under it.
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (failure) std::rethrow_exception(failure);
    }
    out.putBytes(job.coded.data(), job.coded.size());
    out.put(job.tail, job.tailBits);
}

void LhEncoder::State::startWorkers()
{
    keepSpare(nullptr);  // each worker makes its own
    try {
        for (uint32_t k = 0; k < threads; ++k) workers.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
        // No more threads to be had: those started share the work, or this one does it.
    }
}

void LhEncoder::State::stopWorkers()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        queue.clear();  // an abandoned member: what is not begun is not done
    }
    wake.notify_all();
    for (std::thread& t : workers) t.join();
    workers.clear();
}

void LhEncoder::State::work()
{
    std::unique_ptr<SegmentCoder> own;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || !queue.empty(); });
        if (queue.empty()) return;
        Job* job = queue.front();
        queue.pop_front();
        lock.unlock();
        try {
            if (!own) own.reset(new SegmentCoder(dictBits, level, params, params.resplits > 1));
            runJob(*own, *job);
        } catch (...) {
            lock.lock();
            if (!failure) failure = std::current_exception();
            lock.unlock();
        }
        lock.lock();
        job->done = true;
        jobDone.notify_all();
    }
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
}

void LhEncoder::State::parse(uint32_t limit)
{
    while (pos < limit) {
        uint32_t end = std::min(limit, pos + SEQUENTIAL_PIECE);
        items.clear();
        parseSequential(end);
        emitSequential(finished && pos == filled);
    }
}

void LhEncoder::State::emitSequential(bool endsStream)
{
    std::vector<uint32_t> ends =
        chooseBlocks(items.data(), (uint32_t)items.size(), dictBits, MOST_BLOCK_ITEMS, params.blockPiece, false);
    uint32_t from = 0;
    for (uint32_t end : ends) {
        BlockCounts counts;
        for (uint32_t k = from; k < end; ++k) counts.add(items[k]);
        std::unique_ptr<BlockCodes> codes(new BlockCodes(counts, dictBits));
        sendBlock(out, std::move(codes), items.data() + from, end - from, endsStream && end == ends.back(), dictBits,
                  CodeEffort::usual);
        from = end;
    }
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

void LhEncoder::releaseThreadTables()
{
    keepSpare(nullptr);
}
