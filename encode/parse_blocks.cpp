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
        uint64_t best = BlockCodes(left, dictBits, true).bits() + BlockCodes(right, dictBits, true).bits();
        for (uint32_t stride = std::max<uint32_t>(1, (to - from) / 8); stride >= 1; stride /= 2) {
            for (bool moved = true; moved;) {
                moved = false;
                for (int direction : {-1, 1}) {
                    uint32_t target = direction < 0 ? cut - std::min(stride, cut - from - 1) : cut + std::min(stride, to - cut - 1);
                    if (target == cut || target - from > mostItems || to - target > mostItems) continue;
                    BlockCounts l = left, r = right;
                    for (uint32_t k = std::min(cut, target); k < std::max(cut, target); ++k) {
                        if (direction < 0) {
                            l.remove(items[k]);
                            r.add(items[k]);
                        } else {
                            r.remove(items[k]);
                            l.add(items[k]);
                        }
                    }
                    uint64_t bits = BlockCodes(l, dictBits, true).bits() + BlockCodes(r, dictBits, true).bits();
                    if (bits < best) {
                        best = bits;
                        cut = target;
                        left = l;
                        right = r;
                        moved = true;
                        break;
                    }
                }
            }
            if (stride == 1) break;
        }
        // A cut that moved next to another may leave a block the pair no longer pays for.
        BlockCounts whole = left;
        whole.add(right);
        if (to - from <= mostItems && BlockCodes(whole, dictBits, true).bits() <= best) {
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
    };
    // Each piece holds its counts (about 2 KiB): at most MOST_PIECES of them, whatever the
    // number of items, keeps the memory bounded.
    const uint32_t MOST_PIECES = 4096;
    pieceItems = std::max(pieceItems, (count + MOST_PIECES - 1) / MOST_PIECES);
    std::vector<Piece> pieces;
    for (uint32_t at = 0; at < count;) {
        Piece piece;
        piece.end = std::min(count, at + pieceItems);
        for (uint32_t k = at; k < piece.end; ++k) piece.counts.add(items[k]);
        piece.bits = BlockCodes(piece.counts, dictBits, refine).bits();
        pieces.push_back(piece);
        at = piece.end;
    }
    auto weigh = [&](size_t i) {
        Piece& a = pieces[i];
        if (i + 1 >= pieces.size() || a.counts.items + pieces[i + 1].counts.items > mostItems) {
            a.saving = -1;
            return;
        }
        BlockCounts merged = a.counts;
        merged.add(pieces[i + 1].counts);
        a.saving = (int64_t)(a.bits + pieces[i + 1].bits) - (int64_t)BlockCodes(merged, dictBits, refine).bits();
    };
    for (size_t i = 0; i < pieces.size(); ++i) weigh(i);
    for (;;) {
        size_t best = 0;
        for (size_t i = 1; i < pieces.size(); ++i)
            if (pieces[i].saving > pieces[best].saving) best = i;
        if (pieces.empty() || pieces[best].saving < 0) break;
        Piece& a = pieces[best];
        a.counts.add(pieces[best + 1].counts);
        a.bits = a.bits + pieces[best + 1].bits - (uint64_t)a.saving;
        a.end = pieces[best + 1].end;
        pieces.erase(pieces.begin() + (long)best + 1);
        weigh(best);
        if (best > 0) weigh(best - 1);
    }
    std::vector<uint32_t> ends;
    for (auto& p : pieces) ends.push_back(p.end);
    if (refine) refineCuts(items, ends, dictBits, mostItems);
    return ends;
}
