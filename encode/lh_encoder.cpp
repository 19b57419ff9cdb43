// The encoder's stream: input gathered in a window buffer, parsed into items (literals and
// matches), and the items sent in blocks.
//
// The buffer holds the dictionary behind the parse position (up to dictSize - 1 bytes, the
// farthest a match reaches back) and the input ahead of it. When it is full, everything up
// to MAX_MATCH bytes before its end is parsed (so that every match there can reach its full
// length), and the buffer slides to keep only the dictionary behind the new position.
#include "encode/lh_encoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "encode/block_writer.h"
#include "encode/match_finder.h"

namespace {

// Input parsed at a time, beyond the dictionary: also the most the buffer holds ahead.
const uint32_t SEGMENT = 1u << 18;
// Items sent in one block; the block size field is 16 bits, and 0 would mean 65,536, which
// not every reader takes.
const uint32_t MOST_BLOCK_ITEMS = 65535;

struct LevelParams {
    uint32_t maxChain;    // chain positions a search visits
    uint32_t niceLength;  // a match this long ends the search
    bool lazy;            // look one byte ahead before taking a match
};

const LevelParams LEVELS[10] = {
    {4, 16, false},     // (0: unused)
    {4, 16, false},     // 1
    {8, 32, false},     // 2
    {8, 32, true},      // 3
    {16, 64, true},     // 4
    {32, 128, true},    // 5
    {128, 256, true},   // 6
    {256, 256, true},   // 7
    {1024, 256, true},  // 8
    {4096, 256, true},  // 9
};

}  // namespace

struct LhEncoder::State {
    State(const EncoderSettings& settings, Sink sink)
        : dictBits((uint32_t)settings.dictionaryBits),
          level(std::clamp(settings.level, 1, 9)),
          params(LEVELS[level]),
          maxDistance((1u << dictBits) - 1),
          capacity((1u << dictBits) + SEGMENT + MAX_MATCH),
          buffer(capacity),
          finder(capacity, maxDistance),
          out(std::move(sink))
    {
    }

    void write(const uint8_t* data, size_t size);
    void finish();

    void parse(uint32_t limit, bool final);
    void parseSequential(uint32_t limit, bool final);
    void add(const Item& item);
    void flushBlock();
    void slide();

    const uint32_t dictBits;
    const int level;
    const LevelParams params;
    const uint32_t maxDistance;
    const uint32_t capacity;
    std::vector<uint8_t> buffer;
    uint32_t filled = 0;  // bytes in the buffer
    uint32_t pos = 0;     // the parse position: bytes before it are coded
    MatchFinder finder;
    std::vector<Item> items;  // the current block's
    BlockCounts counts;
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
            parse(filled - MAX_MATCH, false);
            slide();
        }
    }
}

void LhEncoder::State::finish()
{
    if (finished) return;
    finished = true;
    parse(filled, true);
    flushBlock();
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
}

void LhEncoder::State::add(const Item& item)
{
    items.push_back(item);
    counts.add(item);
    if (items.size() == MOST_BLOCK_ITEMS) flushBlock();
}

void LhEncoder::State::flushBlock()
{
    if (items.empty()) return;
    BlockCodes codes(counts, dictBits);
    codes.write(out, items.data(), items.size());
    items.clear();
    counts = BlockCounts();
}

void LhEncoder::State::parse(uint32_t limit, bool final)
{
    parseSequential(limit, final);
}

// Greedy, or lazy: a match is taken unless the next position has a longer one, in which
// case a literal goes out and the next position's match is weighed in turn.
void LhEncoder::State::parseSequential(uint32_t limit, bool /*final*/)
{
    const uint8_t* data = buffer.data();
    Match found[MatchFinder::MOST_MATCHES];
    Match current = {0, 0};
    bool haveCurrent = false;  // `current` is the match found at pos
    while (pos < limit) {
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
            add({0, data[pos]});
            ++pos;
            continue;
        }
        if (params.lazy && current.length < params.niceLength && pos + 1 < limit) {
            uint32_t nextAvail = std::min<uint32_t>(filled - pos - 1, MAX_MATCH);
            Match next = {0, 0};
            if (nextAvail >= MIN_MATCH) {
                uint32_t n = finder.find(data, pos + 1, nextAvail, params.maxChain, params.niceLength, found);
                if (n > 0) next = found[n - 1];
            }
            if (next.length > current.length) {
                add({0, data[pos]});
                ++pos;
                current = next;
                haveCurrent = true;
                continue;
            }
            // pos + 1 is entered already.
            add({current.length, current.value});
            for (uint32_t p = pos + 2; p < pos + current.length; ++p)
                if (p + MIN_MATCH <= filled) finder.insert(data, p);
            pos += current.length;
            continue;
        }
        add({current.length, current.value});
        for (uint32_t p = pos + 1; p < pos + current.length; ++p)
            if (p + MIN_MATCH <= filled) finder.insert(data, p);
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
