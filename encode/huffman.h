// Huffman code construction for the block format: code lengths from symbol counts, limited
// to the longest code the format allows, and the canonical codes of a set of lengths.
#pragma once

#include <cstdint>

// Sets lengths[0..count) to the lengths of a Huffman code for the symbol counts freq, no
// length above maxLength. Symbols of count 0 get length 0. With one used symbol, that symbol
// gets length 0 too: the block format sends such a code in its single-value form, which
// costs no bits per code. Every code with two or more symbols is complete.
void huffmanLengths(const uint32_t* freq, uint32_t count, uint32_t maxLength, uint8_t* lengths);

// The canonical code of a set of lengths, as decode/table.h assigns it: shorter codes first,
// equal lengths in symbol order, each value read most significant bit first.
void canonicalCodes(const uint8_t* lengths, uint32_t count, uint16_t* codes);
