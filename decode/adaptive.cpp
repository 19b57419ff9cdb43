// -lh1- and -lh2-: adaptive Huffman coding of literals and match lengths, updated after every
// symbol exactly as the encoder updates its own copy. -lh1- takes its distances from the
// fixed -lh1- code of the -lh3- unit; -lh2- codes them with a second adaptive tree that grows
// one leaf per 64 bytes of output, up to 128 leaves, each code followed by 6 raw bits.
//
// Both trees live in one set of node arrays: the character tree at nodes 0 to
// 2 * charSymbols - 2 (root 0), the distance tree from node 628 up to lastDistNode.
//   nodeChild  internal node: k, its children are k (bit 0) and k - 1 (bit 1);
//              leaf: ~symbol (always negative). Distance code p is symbol 314 + p.
//   nodeFreq   weights; within a tree they never increase from a lower index to a higher.
//   nodeBlock  a block is a maximal run of consecutive nodes of equal weight; blockLeader
//              holds its lowest node. Block numbers come from the freeBlocks stack and block
//              0 is never handed out.
// Once the distance tree has two leaves its root holds the sentinel 0xFFFF instead of its
// weight (kept in distTotal), so that node 629 never joins the root's block.
//
// The stream decodes only if every tie and threshold below is followed to the letter.
#include "decode/lh3.h"
#include "decode/methods.h"
#include "decode/table.h"

namespace {

const int32_t CHAR_ROOT = 0;
const int32_t DIST_ROOT = 628;
const uint32_t DIST_LEAF_BASE = 314;       // leafNode / symbol number of distance code 0
const uint16_t REBUILD_AT = 0x8000;        // a tree is rebuilt before its total passes this
const uint16_t ROOT_SENTINEL = 0xFFFF;
const uint32_t GROWTH_STEP = 64;           // output bytes per added distance leaf
const uint32_t NO_GROWTH = 0xFFFFFFFF;
const uint32_t LH1_CHAR_SYMBOLS = 314;     // 256 literals and lengths 3 to 60
const uint16_t LH1_MAX_MATCH = 60;
const uint32_t LH1_DIST_CODES = 64;
const uint32_t LH2_CHAR_SYMBOLS = 286;     // 256 literals, lengths 3 to 31 and the escape
const uint16_t LH2_MAX_MATCH = 256;
const uint32_t NO_ESCAPE = 512;            // above every symbol: no code takes extra bits
// The distance tree has room for 128 leaves (nodes 628 to 882), one per 64 bytes of an
// 8 KiB dictionary; a larger dictionary would grow it past the arrays.
const uint16_t MAX_LH2_DICT_BITS = 13;

// Walks from the first child index n of a root to a leaf, taking one bit per step from the
// top of a copy of bitBuffer; the bits are consumed once the walk ends, or every 16 steps,
// so that a path longer than 16 bits still reads the right bits. A leaf as root reads none.
int32_t walkToLeaf(int32_t n)
{
    DecoderContext& d = decoder;
    uint32_t window = d.bits.bitBuffer;
    uint32_t taken = 0;
    // Only the node number is carried from step to step, in unsigned arithmetic so that
    // it indexes without a sign extension: one load and one subtraction per bit.
    uint32_t k = (uint32_t)n;
    while ((int32_t)k > 0) {
        if (taken == 16) {
            fillBits(16);
            window = d.bits.bitBuffer;
            taken = 0;
        }
        k = (uint32_t)(int32_t)d.nodeChild[k - ((window >> (15 - taken)) & 1)];
        ++taken;
    }
    fillBits((uint8_t)taken);
    return (int32_t)k;
}

uint16_t takeBlock()
{
    DecoderContext& d = decoder;
    return d.freeBlocks[d.freeBlockTop++];
}

void releaseBlock(uint16_t b)
{
    DecoderContext& d = decoder;
    d.freeBlocks[--d.freeBlockTop] = b;
}

// Points the parent links (internal node) or the leaf index (leaf) of child value v at the
// node that now holds it.
void relink(int16_t v, uint32_t holder)
{
    DecoderContext& d = decoder;
    if (v >= 0) {
        d.nodeParent[v] = (uint16_t)holder;
        d.nodeParent[v - 1] = (uint16_t)holder;
    } else {
        d.leafNode[~v] = (uint16_t)holder;
    }
}

void startCharTree()
{
    DecoderContext& d = decoder;
    uint32_t symbols = d.charSymbols;
    d.escapeCode = symbols >= (uint32_t)d.maxMatch + 254 ? NO_ESCAPE : symbols - 1;

    // Every block number gets its own entry, so that even a model with more blocks in use
    // than the initial character tree has nodes takes a number that was filled in.
    for (uint32_t i = 0; i < ADAPTIVE_NODES; ++i) {
        d.nodeBlock[i] = 0;
        d.freeBlocks[i] = (uint16_t)i;
        d.blockLeader[i] = 0xFFFF;  // matches no node until the block is handed out
    }
    // Leaves of weight 1 at the high end, symbol 0 at the highest index, all in block 1.
    for (uint32_t i = 0; i < symbols; ++i) {
        uint32_t j = 2 * symbols - 2 - i;
        d.nodeFreq[j] = 1;
        d.nodeChild[j] = (int16_t)~i;
        d.leafNode[i] = (uint16_t)j;
        d.nodeBlock[j] = 1;
    }
    d.freeBlockTop = 2;
    d.blockLeader[1] = (uint16_t)(symbols - 1);

    // Internal nodes from the back, each over the next two nodes.
    uint32_t i = 2 * symbols - 2;
    for (int32_t j = (int32_t)symbols - 2; j >= 0; --j) {
        uint16_t f = (uint16_t)(d.nodeFreq[i] + d.nodeFreq[i - 1]);
        d.nodeFreq[j] = f;
        d.nodeChild[j] = (int16_t)i;
        d.nodeParent[i] = (uint16_t)j;
        d.nodeParent[i - 1] = (uint16_t)j;
        d.nodeBlock[j] = (f == d.nodeFreq[j + 1]) ? d.nodeBlock[j + 1] : takeBlock();
        d.blockLeader[d.nodeBlock[j]] = (uint16_t)j;
        i -= 2;
    }
}

// Raises the weight of node p by one, first exchanging it with the leader of its block so
// that the order of weights holds, and returns the next node up the path.
uint32_t incrementNode(uint32_t p)
{
    DecoderContext& d = decoder;
    uint16_t b = d.nodeBlock[p];
    uint32_t q = d.blockLeader[b];
    if (q != p) {
        // Weights within a block are equal, so only the contents move.
        int16_t atP = d.nodeChild[p];
        int16_t atQ = d.nodeChild[q];
        d.nodeChild[p] = atQ;
        d.nodeChild[q] = atP;
        relink(atQ, p);
        relink(atP, q);
        p = q;
    } else if (d.nodeBlock[p + 1] != b) {
        // Alone in its block: the block moves up with it, or merges into the one before.
        ++d.nodeFreq[p];
        if (d.nodeFreq[p] == d.nodeFreq[p - 1]) {
            releaseBlock(b);
            d.nodeBlock[p] = d.nodeBlock[p - 1];
        }
        return d.nodeParent[p];
    }
    // p leaves the front of block b.
    ++d.blockLeader[b];
    ++d.nodeFreq[p];
    if (d.nodeFreq[p] == d.nodeFreq[p - 1]) {
        d.nodeBlock[p] = d.nodeBlock[p - 1];
    } else {
        uint16_t fresh = takeBlock();
        d.nodeBlock[p] = fresh;
        d.blockLeader[fresh] = (uint16_t)p;
    }
    return d.nodeParent[p];
}

// Halves the leaf weights (rounding up) of the tree at nodes start to end - 1, whose root is
// start, and builds it again. Leaves keep their relative order, and a new internal node goes
// in front of the leaves of the same weight.
void rebuildTree(int32_t start, int32_t end)
{
    DecoderContext& d = decoder;

    // Pack the halved leaves at the front and give every block back.
    int32_t j = start;
    for (int32_t i = start; i < end; ++i) {
        if (d.nodeChild[i] < 0) {
            d.nodeFreq[j] = (uint16_t)((d.nodeFreq[i] + 1) / 2);
            d.nodeChild[j] = d.nodeChild[i];
            ++j;
        }
        if (d.blockLeader[d.nodeBlock[i]] == (uint16_t)i) releaseBlock(d.nodeBlock[i]);
    }

    // Fill from the back: each internal node joins the two nodes behind the previous one,
    // and the leaves no heavier than it are moved behind it first.
    --j;
    int32_t i = end - 1;
    int32_t l = end - 2;
    while (i >= start) {
        while (i >= l) {
            d.nodeFreq[i] = d.nodeFreq[j];
            d.nodeChild[i] = d.nodeChild[j];
            --i;
            --j;
        }
        uint16_t f = (uint16_t)(d.nodeFreq[l] + d.nodeFreq[l + 1]);
        int32_t k = start;
        while (f < d.nodeFreq[k]) ++k;
        while (j >= k) {
            d.nodeFreq[i] = d.nodeFreq[j];
            d.nodeChild[i] = d.nodeChild[j];
            --i;
            --j;
        }
        d.nodeFreq[i] = f;
        d.nodeChild[i] = (int16_t)(l + 1);
        --i;
        l -= 2;
    }

    // Relink and hand out blocks to the runs of equal weight.
    uint16_t f = 0;
    uint16_t b = 0;
    for (int32_t n = start; n < end; ++n) {
        relink(d.nodeChild[n], (uint32_t)n);
        if (d.nodeFreq[n] == f) {
            d.nodeBlock[n] = b;
        } else {
            b = takeBlock();
            d.nodeBlock[n] = b;
            d.blockLeader[b] = (uint16_t)n;
            f = d.nodeFreq[n];
        }
    }
}

void updateChar(uint32_t s)
{
    DecoderContext& d = decoder;
    if (d.nodeFreq[CHAR_ROOT] == REBUILD_AT) rebuildTree(CHAR_ROOT, (int32_t)(2 * d.charSymbols - 1));
    ++d.nodeFreq[CHAR_ROOT];
    uint32_t q = d.leafNode[s];
    do {
        q = incrementNode(q);
    } while (q != (uint32_t)CHAR_ROOT);
}

void updateDist(uint32_t p)
{
    DecoderContext& d = decoder;
    if (d.distTotal == REBUILD_AT) {
        rebuildTree(DIST_ROOT, (int32_t)d.lastDistNode + 1);
        d.distTotal = d.nodeFreq[DIST_ROOT];
        d.nodeFreq[DIST_ROOT] = ROOT_SENTINEL;
    }
    // While code 0 is the only leaf it is the root itself, and its uses are not counted: the
    // first split starts it again at weight 1. (jlha counts them, so its -lh2- archives that
    // match within their first 64 bytes decode differently elsewhere.)
    uint32_t q = d.leafNode[DIST_LEAF_BASE + p];
    while (q != (uint32_t)DIST_ROOT) q = incrementNode(q);
    ++d.distTotal;
}

// Splits the last node of the distance tree, a leaf, into an internal node whose bit 1
// keeps the old leaf and whose bit 0 holds the new code p.
void addDistLeaf(uint32_t p)
{
    DecoderContext& d = decoder;
    uint32_t last = d.lastDistNode;
    uint32_t r = last + 1;
    uint32_t q = r + 1;
    d.nodeChild[r] = d.nodeChild[last];
    d.leafNode[~d.nodeChild[r]] = (uint16_t)r;
    d.nodeChild[q] = (int16_t)~(DIST_LEAF_BASE + p);
    d.nodeChild[last] = (int16_t)q;
    d.nodeFreq[r] = d.nodeFreq[last];
    d.nodeFreq[q] = 0;
    d.nodeBlock[r] = d.nodeBlock[last];
    if (last == (uint32_t)DIST_ROOT) {
        // The root leaves its block for good; r leads it now.
        d.nodeFreq[DIST_ROOT] = ROOT_SENTINEL;
        ++d.blockLeader[d.nodeBlock[DIST_ROOT]];
    }
    d.nodeParent[r] = (uint16_t)last;
    d.nodeParent[q] = (uint16_t)last;
    d.nodeBlock[q] = takeBlock();
    d.blockLeader[d.nodeBlock[q]] = (uint16_t)q;
    d.leafNode[DIST_LEAF_BASE + p] = (uint16_t)q;
    d.lastDistNode = q;
    updateDist(p);
}

}  // namespace

void lh1StartDecode()
{
    DecoderContext& d = decoder;
    d.charSymbols = LH1_CHAR_SYMBOLS;
    d.maxMatch = LH1_MAX_MATCH;
    initBits();
    d.distCodeCount = LH1_DIST_CODES;
    startCharTree();
    presetDistLengths(0);
    buildTable(LH1_DIST_CODES, d.auxLen, AUX_TABLE_BITS, d.auxTable);
}

void adaptiveStartDecode()
{
    DecoderContext& d = decoder;
    d.charSymbols = LH2_CHAR_SYMBOLS;
    d.maxMatch = LH2_MAX_MATCH;
    initBits();
    startCharTree();

    // The distance tree starts as the single leaf of code 0.
    d.nodeFreq[DIST_ROOT] = 1;
    d.nodeChild[DIST_ROOT] = (int16_t)~DIST_LEAF_BASE;
    d.leafNode[DIST_LEAF_BASE] = (uint16_t)DIST_ROOT;
    d.nodeBlock[DIST_ROOT] = takeBlock();
    d.blockLeader[d.nodeBlock[DIST_ROOT]] = (uint16_t)DIST_ROOT;
    d.lastDistNode = DIST_ROOT;
    d.distTotal = 0;
    d.nextGrowth = GROWTH_STEP;
    if (d.dictBits > MAX_LH2_DICT_BITS) {
        d.corrupt = true;
        d.distLimit = 1u << MAX_LH2_DICT_BITS;
    } else {
        d.distLimit = 1u << d.dictBits;
    }
}

uint16_t adaptiveNextCode()
{
    DecoderContext& d = decoder;
    uint32_t s = (uint32_t)~walkToLeaf(d.nodeChild[CHAR_ROOT]);
    // The model counts the escape symbol itself, before its extra bits are read.
    updateChar(s);
    if (s == d.escapeCode) s += getBits(8);
    return (uint16_t)s;
}

// Reads decodedCount, so the frame calls it before it counts the match being decoded.
uint16_t adaptiveNextDistance()
{
    DecoderContext& d = decoder;
    // The tree is full long before the count passes 32 bits: NO_GROWTH ends the growth for
    // good, also for a member of 4 GiB and more.
    while (d.nextGrowth != NO_GROWTH && d.decodedCount > d.nextGrowth) {
        addDistLeaf(d.nextGrowth / GROWTH_STEP);
        d.nextGrowth += GROWTH_STEP;
        if (d.nextGrowth >= d.distLimit) d.nextGrowth = NO_GROWTH;
    }
    uint32_t p = (uint32_t)~walkToLeaf(d.nodeChild[DIST_ROOT]) - DIST_LEAF_BASE;
    updateDist(p);
    return (uint16_t)((p << 6) + getBits(6));
}
