// Pieces of the -lh3- decoder that -lh1- shares: its distances use the same reader over the
// first preset row of distance lengths.
#pragma once

#include <stdint.h>

// Fills auxLen[0 .. distCodeCount - 1] from preset row 0 (-lh1-, 64 codes) or 1 (-lh3-,
// 128 codes). Both rows give complete prefix codes.
void presetDistLengths(uint32_t row);
