#include "encode/parse_blocks.h"

#include <algorithm>

namespace {

// Moves each cut between two blocks to where the pair costs the fewest bits: merging whole
// pieces leaves the cuts on the pieces' grid, while the statistics of binary data (a
// program's code beside its tables, a font's outlines beside its indexes) change anywhere.
// A cut walks in halving steps, as long as a step saves bits; two blocks that cost less as
// one are merged.
void refineCuts(const Item* items, std::vector<uint32_t>& ends, uint32_t dictBits, uint32_t mostItems)
{
    for (size_t b = 0; b + 1 < ends.size(); ++b) {
        const uint32_t from = b == 0 ? 0 : ends[b - 1];
        const uint32_t to = ends[b + 1];
        uint32_t cut = ends[b];
        BlockCounts left, right;
        for (uint32_t k = from; k < cut; ++k) left.add(items[k]);
        for (uint32_t k = cut; k < to; ++k) right.add(items[k]);
        auto pairBits = [&] {
            return BlockCodes(left, dictBits, CodeEffort::thorough).bits() +
                   BlockCodes(right, dictBits, CodeEffort::thorough).bits();
        };
        uint64_t best = pairBits();
        for (uint32_t stride = std::max<uint32_t>(1, (to - from) / 8); stride >= 1; stride /= 2) {
            for (bool moved = true; moved;) {
                moved = false;
                for (int direction : {-1, 1}) {
                    uint32_t target = direction < 0 ? cut - std::min(stride, cut - from - 1) : cut + std::min(stride, to - cut - 1);
                    if (target == cut || target - from > mostItems || to - target > mostItems) continue;
                    // The items between move across, and back when the move saves nothing
                    // (in place: a copy of both counts costs more than the move).
                    auto shift = [&](BlockCounts& from, BlockCounts& to) {
                        for (uint32_t k = std::min(cut, target); k < std::max(cut, target); ++k) {
                            from.remove(items[k]);
                            to.add(items[k]);
                        }
                    };
                    BlockCounts& losing = direction < 0 ? left : right;
                    BlockCounts& gaining = direction < 0 ? right : left;
                    shift(losing, gaining);
                    uint64_t bits = pairBits();
                    if (bits < best) {
                        best = bits;
                        cut = target;
                        moved = true;
                        break;
                    }
                    shift(gaining, losing);
                }
            }
            if (stride == 1) break;
        }
        // A cut that moved next to another may leave a block the pair no longer pays for.
        BlockCounts whole = left;
        whole.add(right);
        if (to - from <= mostItems && BlockCodes(whole, dictBits, CodeEffort::thorough).bits() <= best) {
            ends.erase(ends.begin() + (long)b);
            b = b > 0 ? b - 2 : (size_t)-1;  // the cut before meets the merged block
            continue;
        }
        ends[b] = cut;
    }
}

}  // namespace

std::vector<uint32_t> chooseBlocks(const Item* items, uint32_t count, uint32_t dictBits, uint32_t mostItems,
                                   uint32_t pieceItems, bool refine)
{
    struct Piece {
        uint32_t end;
        BlockCounts counts;
        uint64_t bits;
        int64_t saving;  // bits saved by merging with the next piece; < 0: not worth it
        uint32_t next;   // the next piece still standing (pieces.size() for none)
    };
    // Each piece holds its counts (about 2 KiB): at most MOST_PIECES of them, whatever the
    // number of items, keeps the memory bounded.
    const uint32_t MOST_PIECES = 4096;
    const CodeEffort effort = refine ? CodeEffort::thorough : CodeEffort::usual;
    pieceItems = std::max(pieceItems, (count + MOST_PIECES - 1) / MOST_PIECES);
    std::vector<Piece> pieces;
    for (uint32_t at = 0; at < count;) {
        Piece piece;
        piece.end = std::min(count, at + pieceItems);
        for (uint32_t k = at; k < piece.end; ++k) piece.counts.add(items[k]);
        piece.bits = BlockCodes(piece.counts, dictBits, effort).bits();
        piece.next = (uint32_t)pieces.size() + 1;
        pieces.push_back(piece);
        at = piece.end;
    }
    // A merged piece stays where the first of the two was and the second is unlinked: taken
    // out of the array, every piece behind would move, thousands of times a segment.
    const uint32_t none = (uint32_t)pieces.size();
    auto weigh = [&](uint32_t i) {
        Piece& a = pieces[i];
        if (a.next == none || a.counts.items + pieces[a.next].counts.items > mostItems) {
            a.saving = -1;
            return;
        }
        BlockCounts merged = a.counts;
        merged.add(pieces[a.next].counts);
        a.saving = (int64_t)(a.bits + pieces[a.next].bits) - (int64_t)BlockCodes(merged, dictBits, effort).bits();
    };
    for (uint32_t i = 0; i < none; ++i) weigh(i);
    for (;;) {
        uint32_t best = 0, before = none, bestBefore = none;
        for (uint32_t i = 0; i < none; before = i, i = pieces[i].next)
            if (pieces[i].saving > pieces[best].saving) best = i, bestBefore = before;
        if (pieces.empty() || pieces[best].saving < 0) break;
        Piece& a = pieces[best];
        const Piece& b = pieces[a.next];
        a.counts.add(b.counts);
        a.bits = a.bits + b.bits - (uint64_t)a.saving;
        a.end = b.end;
        a.next = b.next;
        weigh(best);
        if (bestBefore != none) weigh(bestBefore);
    }
    std::vector<uint32_t> ends;
    for (uint32_t i = 0; i < none; i = pieces[i].next) ends.push_back(pieces[i].end);
    if (refine) refineCuts(items, ends, dictBits, mostItems);
    return ends;
}
