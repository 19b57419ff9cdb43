#include "encode/parse_blocks.h"

#include <algorithm>

std::vector<uint32_t> chooseBlocks(const Item* items, uint32_t count, uint32_t dictBits, uint32_t mostItems,
                                   uint32_t pieceItems)
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
        piece.bits = BlockCodes(piece.counts, dictBits).bits();
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
        a.saving = (int64_t)(a.bits + pieces[i + 1].bits) - (int64_t)BlockCodes(merged, dictBits).bits();
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
    return ends;
}
