// The numbers of the -lh4- to -lh7- block format that both its reader (decode/block.cpp)
// and the tool's encoder (encode/) rely on. The layout itself is described at the top of
// decode/block.cpp.
#pragma once

#include <stdint.h>

// Block header fields.
const uint32_t BLOCK_SIZE_BITS = 16;            // codes in the block
const uint32_t CODE_LENGTH_SYMBOLS = 19;        // the code-length code
const uint32_t CODE_LENGTH_COUNT_BITS = 5;
const int32_t CODE_LENGTH_ZERO_COUNT_AFTER = 3;  // the 2-bit zero count follows length 3
const uint32_t CODE_LENGTH_ZERO_COUNT_BITS = 2;
const uint32_t CODE_COUNT_BITS = 9;             // the literal/length code
const uint32_t AUX_LENGTH_FIELD_BITS = 3;       // a length of the code-length or distance code
const uint32_t AUX_LENGTH_EXTENDED = 7;         // ... continued by one 1 bit per step, then 0

// Code-length symbols 1 and 2: runs of zero lengths.
const uint32_t SHORT_ZERO_RUN = 3;  // symbol 1: 4 bits + 3 zero lengths (3 to 18)
const uint32_t SHORT_ZERO_RUN_BITS = 4;
const uint32_t LONG_ZERO_RUN = 20;  // symbol 2: 9 bits + 20 zero lengths (20 to 531)
const uint32_t LONG_ZERO_RUN_BITS = 9;
const uint32_t CODE_LENGTH_BIAS = 2;  // symbols 3 to 18 give lengths 1 to 16

// Literal/length symbols: 0-255 literals, 256-509 matches of symbol - 253 bytes.
const uint32_t MATCH_LENGTH_BIAS = 253;
const uint32_t MIN_MATCH = 3;
const uint32_t MAX_MATCH = 256;

// The distance code by dictionary size: 14 symbols and a 4-bit count up to 16 KiB, else a
// 5-bit count and 16 symbols (32 KiB) or 17 (64 KiB).
inline uint32_t distanceSymbolsFor(uint32_t dictBits)
{
    return dictBits <= 14 ? 14 : dictBits == 16 ? 17 : 16;
}
inline uint32_t distanceCountBitsFor(uint32_t dictBits)
{
    return dictBits <= 14 ? 4 : 5;
}
