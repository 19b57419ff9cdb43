// The encoder: whatever the input and however it arrives, our decoder gives back exactly the
// bytes that went in, for every method and level.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "encode/block_writer.h"
#include "encode/huffman.h"
#include "encode/lh_encoder.h"
#include "encode/parse_blocks.h"
#include "support/archives.h"
#include "support/block_streams.h"
#include "support/lzh_writer.h"

namespace {

using archives::crc16;
using archives::randomBytes;
using archives::wordText;
using blocks::Bytes;

Bytes encode(const std::string& input, uint32_t method, int level, size_t piece, int threads = 1)
{
    Bytes packed;
    LhEncoder encoder({(int)blocks::dictBitsOf(method), level, threads},
                      [&](const uint8_t* data, size_t size) { packed.insert(packed.end(), data, data + size); });
    for (size_t at = 0; at < input.size(); at += piece)
        encoder.write((const uint8_t*)input.data() + at, std::min(piece, input.size() - at));
    encoder.finish();
    EXPECT_EQ(encoder.packedSize(), packed.size());
    return packed;
}

// Runs longer than a match, broken by single other bytes: matches at the 256-byte limit and
// at distance 1, and long matches far back once the pattern repeats.
std::string runs(size_t size)
{
    std::string s;
    for (uint32_t k = 0; s.size() < size; ++k) s += std::string(200 + (k * 97) % 700, (char)('a' + k % 3)) + (char)k;
    return s.substr(0, size);
}

// Random bytes from a set with gaps of one value and of three and more: the code-length
// header has zero runs of many lengths, folded in every way it can be.
std::string gapped(size_t size)
{
    std::vector<char> used;
    for (uint32_t v = 0, k = 0; v < 256; v += (k % 2 ? 2 : 4 + k), ++k) used.push_back((char)v);
    std::string noise = randomBytes(size, 11), s;
    for (char c : noise) s += used[(uint8_t)c % used.size()];
    return s;
}

// Random letters of four: every position has matches of many lengths, so many that a
// segment's matches reach their budget and it is parsed in stretches.
std::string fourLetters(size_t size)
{
    std::string s = randomBytes(size, 17);
    for (char& c : s) c = "ACGT"[(uint8_t)c % 4];
    return s;
}

TEST(Encoder, RoundTripsThroughOurDecoder)
{
    struct Input {
        const char* kind;
        std::string bytes;
        size_t piece;        // bytes per write call
        bool everyLevel;     // else only the quickest and the default level
    };
    const std::vector<Input> inputs = {
        {"empty", "", 1, true},
        {"one byte", "x", 1, true},
        {"all the same", std::string(300000, '\0'), 65536, true},
        {"random", randomBytes(100000, 1), 4093, true},
        {"text", wordText(200000, 2), 1 << 20, true},
        {"text byte by byte", wordText(3000, 3), 1, true},
        {"runs at the length limit", runs(300000), 100000, true},
        {"zero runs in the code lengths", gapped(50000), 50000, true},
        // Over 65,535 items: several blocks.
        {"random, many blocks", randomBytes(70000, 4) + wordText(150000, 5) + randomBytes(70000, 6), 300000, true},
        // Past the buffer (the dictionary and 1 MiB ahead): it slides, and the finders with it.
        {"beyond the buffer", wordText(1500000, 7) + runs(600000) + randomBytes(300000, 8), 1 << 16, false},
        {"the match budget", fourLetters(1200000), 1 << 16, false},
    };
    for (uint32_t method : {blocks::LH5, blocks::LH6, blocks::LH7}) {
        for (int level : {1, 3, ENCODER_DEFAULT_LEVEL, 9}) {
            for (const Input& input : inputs) {
                if (!input.everyLevel && level != 1 && level != ENCODER_DEFAULT_LEVEL) continue;
                SCOPED_TRACE(std::string(input.kind) + ", -lh" + std::to_string(method) + "-, level " +
                             std::to_string(level));
                Bytes packed = encode(input.bytes, method, level, input.piece);
                blocks::Outcome run = blocks::runJob(method, packed, (uint32_t)input.bytes.size());
                EXPECT_FALSE(run.corrupt);
                EXPECT_TRUE(std::string(run.out.begin(), run.out.end()) == input.bytes);
                EXPECT_EQ(run.crc, crc16(input.bytes));
            }
        }
    }
}

}  // namespace

namespace {

// Huffman lengths stay within the limit and form a complete code (every bit pattern decodes)
// for counts whose plain Huffman tree is far deeper than 16; a lone symbol gets the
// single-value form (length 0).
TEST(Encoder, HuffmanLengthsAreLimitedAndComplete)
{
    std::vector<uint32_t> fibonacci = {1, 1};
    while (fibonacci.size() < 40) fibonacci.push_back(fibonacci[fibonacci.size() - 1] + fibonacci[fibonacci.size() - 2]);
    std::vector<uint32_t> flat(510, 7), sparse(510, 0);
    sparse[3] = 100, sparse[300] = 1, sparse[509] = 5;
    const std::vector<std::pair<const char*, std::vector<uint32_t>>> cases = {
        {"fibonacci counts, 40 symbols", fibonacci},
        {"equal counts, 510 symbols", flat},
        {"three symbols far apart", sparse},
        {"one symbol", {0, 0, 9}},
        {"two symbols", {1, 1000000}},
    };
    for (const auto& [name, freq] : cases) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> lengths(freq.size());
        huffmanLengths(freq.data(), (uint32_t)freq.size(), MAX_CODE_LENGTH, lengths.data());
        uint32_t used = (uint32_t)std::count_if(freq.begin(), freq.end(), [](uint32_t f) { return f != 0; });
        uint64_t kraft = 0;  // in units of 2^-16
        for (size_t s = 0; s < freq.size(); ++s) {
            EXPECT_EQ(lengths[s] != 0, freq[s] != 0 && used >= 2) << "symbol " << s;
            EXPECT_LE(lengths[s], MAX_CODE_LENGTH);
            if (lengths[s]) kraft += 1u << (16 - lengths[s]);
        }
        EXPECT_EQ(kraft, used >= 2 ? 65536u : 0u);
    }
}

// The size that block choice weighs is the size written, header included, for every form
// of the three codes (single-value, absent distances, long and short codes); every code is
// complete; and level 9's codes, which may raise rare symbols' counts and fit lengths to
// their header cost, are never larger than the plain ones.
TEST(Encoder, BlockCostIsTheBitsWritten)
{
    std::vector<Item> literals, oneMatch, mixed, rare;
    for (int i = 0; i < 1000; ++i) literals.push_back({0, (uint16_t)(i * i % 251)});
    oneMatch.push_back({256, 0});
    for (int i = 0; i < 5000; ++i)
        mixed.push_back(i % 3 ? Item{0, (uint16_t)(i % 7)} : Item{(uint16_t)(3 + i % 254), (uint16_t)(i * 37 % 65535)});
    for (int i = 0; i < 3000; ++i) rare.push_back({0, (uint16_t)"etaoin "[i % 7]});
    for (int i = 0; i < 120; ++i)
        for (int n = 0; n < 1 + i % 3; ++n) rare.push_back({(uint16_t)(3 + i), (uint16_t)(i * 5)});
    std::vector<std::pair<const char*, std::vector<Item>>> cases = {
        {"one literal", {{0, 'a'}}},
        {"literals only", literals},
        {"one match", oneMatch},
        {"many lengths and distances", mixed},
        {"many lengths used once", rare},
    };
    // Random symbol sets, 2 to 400 symbols, each used a few times, up to a few hundred, or a
    // power of two: the shapes where fitting lengths to the header moves most of them.
    uint32_t seed = 7;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    for (int table = 0; table < 40; ++table) {
        std::vector<Item> items;
        uint32_t symbols = 2 + next() % 399, shape = table % 3;
        for (uint32_t k = 0; k < symbols; ++k) {
            uint32_t symbol = next() % CODE_SYMBOLS, value = next() % 65536;
            uint32_t count = shape == 0 ? 1 + next() % 3 : shape == 1 ? 1 + next() % 150 : 1u << next() % 8;
            Item item = symbol < 256 ? Item{0, (uint16_t)symbol}
                                     : Item{(uint16_t)(symbol - MATCH_LENGTH_BIAS), (uint16_t)value};
            items.insert(items.end(), count, item);
        }
        cases.push_back({"random symbol set", items});
    }
    for (uint32_t dictBits : {13u, 15u, 16u}) {
        for (const auto& [name, items] : cases) {
            SCOPED_TRACE(std::string(name) + ", dictionary bits " + std::to_string(dictBits));
            BlockCounts counts;
            for (const Item& item : items)
                if (item.length == 0 || item.value < (1u << dictBits)) counts.add(item);
            std::vector<Item> kept;
            for (const Item& item : items)
                if (item.length == 0 || item.value < (1u << dictBits)) kept.push_back(item);
            BlockCodes plain(counts, dictBits), thorough(counts, dictBits, CodeEffort::thorough),
                fitted(counts, dictBits, CodeEffort::fitted);
            for (const BlockCodes* codes : {&plain, &thorough, &fitted}) {
                BitWriter out([](const uint8_t*, size_t) {});
                codes->write(out, kept.data(), kept.size());
                EXPECT_EQ(out.bitsWritten(), codes->bits());
                // Lengths for the used symbols only, and a complete code: readers refuse one
                // with room left.
                if (codes->singleSymbolValue() >= 0) continue;
                uint64_t space = 0;
                for (uint32_t s = 0; s < CODE_SYMBOLS; ++s) {
                    uint32_t length = codes->symbolLengths()[s];
                    EXPECT_EQ(length != 0, counts.symbols[s] != 0) << "symbol " << s;
                    ASSERT_LE(length, MAX_CODE_LENGTH);
                    if (length) space += 1u << (MAX_CODE_LENGTH - length);
                }
                EXPECT_EQ(space, 1u << MAX_CODE_LENGTH);
            }
            EXPECT_LE(thorough.bits(), plain.bits());
            EXPECT_LE(fitted.bits(), thorough.bits());
        }
    }
    // Lengths used once each are where level 9's codes gain.
    BlockCounts counts;
    for (const Item& item : rare) counts.add(item);
    EXPECT_LT(BlockCodes(counts, 16, CodeEffort::thorough).bits(), BlockCodes(counts, 16).bits());
    EXPECT_LT(BlockCodes(counts, 16, CodeEffort::fitted).bits(), BlockCodes(counts, 16, CodeEffort::thorough).bits());
}

// Where the literals change from one set of bytes to another, blocks are cut exactly there,
// also off the grid of the pieces that blocks are merged from, once the cuts are refined.
TEST(Encoder, BlocksAreCutWhereTheStatisticsChange)
{
    const std::vector<std::vector<uint32_t>> cases = {{1000}, {1024}, {1500}, {700, 2100}};
    for (const std::vector<uint32_t>& changes : cases) {
        SCOPED_TRACE("first change at item " + std::to_string(changes[0]));
        std::vector<Item> items;
        uint32_t seed = 12345;
        for (uint32_t k = 0; k < 3000; ++k) {
            seed = seed * 1103515245u + 12345u;
            size_t region = std::upper_bound(changes.begin(), changes.end(), k) - changes.begin();
            items.push_back({0, (uint16_t)("aA0"[region] + (seed >> 16) % 16)});
        }
        std::vector<uint32_t> ends = chooseBlocks(items.data(), (uint32_t)items.size(), 16, 65535, 256, true);
        std::vector<uint32_t> expected = changes;
        expected.push_back(3000);
        EXPECT_EQ(ends, expected);
    }
}

// However the input arrives, the packed bytes are the same; and they stay within bounds:
// random bytes barely grow, and a long run costs at most a bit per longest match (256 bytes)
// and a few headers.
// The packed data depend on the bytes alone: not on how they arrive, nor on the number of
// threads that code them (segments end mid-text, one of them in the middle of the noise).
// A member abandoned halfway, as the archive writer abandons one that does not shrink, lets
// its threads go.
TEST(Encoder, OutputDependsOnTheBytesOnlyAndStaysBounded)
{
    const std::string text = wordText(1300000, 9), noise = randomBytes(200000, 10);
    for (int level : {1, 4, ENCODER_DEFAULT_LEVEL, 9}) {
        SCOPED_TRACE("level " + std::to_string(level));
        // At level 4 the first segment is also parsed in stretches.
        const std::string input = (level == 4 ? fourLetters(900000) : "") + text + noise;
        Bytes whole = encode(input, blocks::LH7, level, 1 << 21);
        EXPECT_EQ(whole, encode(input, blocks::LH7, level, 4099));
        for (int threads : {2, 3}) EXPECT_EQ(whole, encode(input, blocks::LH7, level, 100000, threads));
        {
            LhEncoder abandoned({16, level, 3}, [](const uint8_t*, size_t) {});
            abandoned.write((const uint8_t*)text.data(), text.size());
        }
        EXPECT_LT(encode(noise, blocks::LH7, level, 1 << 20).size(), noise.size() + noise.size() / 200);
        EXPECT_LT(encode(std::string(1000000, 'z'), blocks::LH7, level, 1 << 20).size(), 1000000u / 256 / 8 + 100);
    }
}

}  // namespace

namespace {

// Readers nobody here wrote extract what the encoder packs: single-value codes (a run),
// literal-only blocks, text, and many blocks of mixed content, for the smallest and the
// largest dictionary at the quickest, the default and the smallest level. unar looks ahead
// as many bits as a table's longest code at every code, so each member's stream must end no
// sooner: short members of many lengths end on every kind of item.
TEST(Encoder, OtherReadersReadEveryForm)
{
    std::vector<std::pair<std::string, std::string>> forms = {
        {"one.bin", "x"},
        {"run.bin", std::string(200000, 'q')},
        {"random.bin", randomBytes(80000, 11)},
        {"text.txt", wordText(300000, 12)},
        {"blocks.bin", runs(150000) + randomBytes(70000, 13) + wordText(100000, 14)},
    };
    for (uint32_t k = 0; k < 40; ++k)
        forms.push_back({"end" + std::to_string(k) + ".bin",
                         wordText(300 + 977 * k, 30 + k) + (k % 3 ? randomBytes(k * 7, k) : "")});
    struct Reader {
        const char* name;
        std::vector<std::string> (*command)(const std::string& archive, const std::string& out);
    };
    const Reader readers[] = {
        {"lhasa", [](const std::string& a, const std::string& out) {
             return std::vector<std::string>{"lhasa", "-xqw=" + out, a};
         }},
        {"unar", [](const std::string& a, const std::string& out) {
             return std::vector<std::string>{"unar", "-q", "-f", "-D", "-o", out, a};
         }},
    };
    for (uint32_t method : {blocks::LH5, blocks::LH7}) {
        for (int level : {1, ENCODER_DEFAULT_LEVEL, 9}) {
            SCOPED_TRACE("-lh" + std::to_string(method) + "-, level " + std::to_string(level));
            std::string archive;
            for (const auto& [name, bytes] : forms) {
                Member m;
                m.method = "-lh" + std::to_string(method) + "-";
                m.name = name;
                Bytes packed = encode(bytes, method, level, 1 << 16);
                m.data.assign(packed.begin(), packed.end());
                m.originalSize = (uint32_t)bytes.size();
                m.crcOverride = crc16(bytes);
                m.level = 2;
                archive += lzhMember(m);
            }
            archive += '\0';
            std::string folder = archives::newTempFolder("readers");
            archives::writeFile(folder + "/a.lzh", archive);
            for (const Reader& reader : readers) {
                SCOPED_TRACE(reader.name);
                std::string out = folder + "/" + reader.name;
                archives::RunResult r = archives::run(reader.command(folder + "/a.lzh", out), folder);
                if (r.exitStatus == 127) continue;  // not installed
                EXPECT_EQ(r.exitStatus, 0) << r.describe();
                for (const auto& [name, bytes] : forms)
                    EXPECT_TRUE(archives::readFile(out + "/" + name) == bytes) << name;
            }
        }
    }
}

}  // namespace
