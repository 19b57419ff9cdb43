// The canonical Huffman table builder shared by the static Huffman methods (-lh4- to -lh7-),
// -lh3- and -lh1-.
//
// A code is given by one bit length per symbol (0 = not coded). Codes are assigned in order
// of increasing length, and within one length in order of increasing symbol number, as
// consecutive binary values read most significant bit first. Lookup is by the next
// tableBits bits of the stream: a code of at most tableBits bits fills every table entry it
// is a prefix of with its symbol; a longer code hangs below the entry of its first tableBits
// bits in a binary tree of nodes in decoder.treeLeft/treeRight (left = 0 bit). A table or
// tree entry below symbolCount is a symbol, any other value a node number; node numbers are
// handed out upwards from symbolCount, so that one value space serves both.
#pragma once

#include <stdint.h>

// Builds `table` (2^tableBits entries) and the tree nodes for the code of `symbolCount`
// symbols whose lengths are in `lengths`.
//
// An incomplete code is accepted as long as it has a code of at most tableBits bits: table
// entries that no code reaches then hold 0 (they decode as symbol 0), and so do tree
// branches that no code reaches. A set of lengths in which every length is 0 changes nothing
// at all (callers that prefill a table rely on that) and is accepted.
//
// Refused, with decoder.corrupt set, every table entry 0 and false returned: a length above
// 16, lengths that claim more than the whole code space (2^(16 - len) summed over the coded
// symbols exceeds 65,536), codes that are all longer than tableBits (the table would keep
// stale roots), and arguments outside the arrays. Only damaged streams give such lengths;
// refusing them keeps every table and node access in bounds, and no tree walk can loop.
//
// `packed` gives the table entries of -lh4- to -lh7- instead (see below), built in the same
// pass; tree nodes and refused tables are the same in both forms.
bool buildTable(uint16_t symbolCount, const uint8_t* lengths, uint16_t tableBits, uint16_t* table,
                bool packed = false);

// True when any of the `count` lengths is not 0.
inline bool anyLength(const uint8_t* lengths, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        if (lengths[i] != 0) return true;
    return false;
}

// Sets all `size` entries of a table to `value`: the single-value codes, whose every lookup
// yields the same symbol for no bits.
inline void fillTable(uint16_t* table, uint32_t size, uint16_t value)
{
    for (uint32_t i = 0; i < size; ++i) table[i] = value;
}

// Packed entries: a symbol and its code length in one 16-bit value, so that decoding a code
// is one dependent load, not two. Bit 15 clear: bits 0-5 the code length (0 for a
// single-value code), bits 6-14 the symbol; the length sits lowest so that it serves as a
// shift count as it stands. Bit 15 set: bits 0-14 the root node of a code longer than the
// table's bits. An entry no code reaches holds symbol 0 with symbol 0's length, as a lookup
// in the plain table followed by the length of what it found would give.
const uint16_t FAST_LONG = 0x8000;
const uint32_t FAST_SYMBOL_SHIFT = 6;
const uint16_t FAST_LENGTH = 0x3F;
const uint16_t FAST_MATCH = 0x100 << FAST_SYMBOL_SHIFT;  // symbols 256 and above
