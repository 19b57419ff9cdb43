// Turning a segment's items into blocks: where to cut them so that headers plus codes cost
// the fewest bits.
#pragma once

#include <cstdint>
#include <vector>

#include "encode/block_writer.h"

// Cuts items[0..count) into blocks of at most `mostItems` items each and returns the block
// ends (item indexes, the last one `count`). Starts from pieces of `pieceItems` items (more
// where there would be over 4,096 pieces) and merges neighbours, the biggest saving first,
// while a merge costs fewer bits than the two blocks apart (the header of a block is part of
// its cost). With `refine`, blocks are weighed with their zero runs folded at their prices
// (see BlockCodes), and each cut then moves item by item to where its two blocks cost the
// least.
std::vector<uint32_t> chooseBlocks(const Item* items, uint32_t count, uint32_t dictBits, uint32_t mostItems,
                                   uint32_t pieceItems, bool refine);
