// Small -lh2- and -lh3- encoders for the tests, written from the format's description alone
// and sharing nothing with decode/, so that a round trip through our decoders checks those
// decoders against a second reading of the format rather than against themselves. They aim
// at being obviously right, not at packing well or fast.
#pragma once

#include <stdint.h>

#include <vector>

namespace lz {

using Bytes = std::vector<uint8_t>;

// One item of the LZ77 parse: a literal, or a match of 3 to 287 bytes that starts
// (distance value + 1) bytes back, the value at most 8,191 (the 8 KiB dictionary).
struct Item {
    uint32_t length;  // 0: literal
    uint32_t value;   // the literal byte, or the distance value
};

// Greedy longest-match parse over an 8 KiB window, matches no longer than `maxMatch`.
std::vector<Item> parse(const Bytes& data, uint32_t maxMatch = 287);

// What an encoding used, so that a test can tell that its inputs reach every form.
struct Forms {
    uint32_t blocks = 0, blocksOf65536 = 0;
    uint32_t singleChar = 0, singleDist = 0, presetDist = 0, sentDist = 0;  // -lh3- blocks
    uint32_t charRebuilds = 0, distRebuilds = 0, distCodes = 0;          // -lh2-
};

struct Lh3Options {
    uint32_t blockCodes = 65536;  // character codes per block; 65,536 goes out as size 0
    bool presetDistances = false; // always take the preset distance lengths
    uint32_t maxMatch = 287;      // jlha reads no match longer than 258
};

// -lh3-: per block a static Huffman code of 286 characters (lengths up to 16) and one of
// 128 distance codes (lengths up to 15), or a single code where only one symbol is used,
// or the preset distance lengths where they cost less.
Bytes encodeLh3(const Bytes& data, const Lh3Options& options = Lh3Options(), Forms* forms = nullptr);

// -lh2-: the adaptive model, character tree and growing distance tree, with every code sent
// as the path from its leaf up to the root.
Bytes encodeLh2(const Bytes& data, Forms* forms = nullptr);

}  // namespace lz
