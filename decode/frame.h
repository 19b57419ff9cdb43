// The decoder frame shared by every compressed method: bit input (BitReader) over a
// read-ahead buffer (InputBuffer), the sliding dictionary that is also the output buffer,
// output with the running CRC-16, progress reports and the RunFlag poll. A method supplies
// only its three operations (DecodeSet); the one decode loop in DecodeJob::run drives them.
//
// All decoder state lives in one process-wide DecoderContext: one member is decoded at a
// time, always on the extraction thread.
#pragma once

#include <stdint.h>
#include <stdio.h>

// ---- CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final inversion.
extern uint16_t crc16Table[256];
void buildCrc16Table();
uint16_t updateCrc16(uint16_t crc, const uint8_t* data, uint32_t length);

struct BitReader {
    uint16_t bitBuffer;  // its most significant bit is the next bit of the stream
    uint8_t heldByte;    // the byte whose bits enter bitBuffer next, shifted past used bits
    uint8_t heldBits;    // bits of heldByte not yet in bitBuffer, 0 to 8
    uint32_t packedRemaining;  // packed bytes not yet taken from the InputBuffer
};

struct InputBuffer {
    uint8_t* data;
    uint32_t capacity;
    uint32_t readPosition;
};

struct DecodeSet {
    uint16_t (*nextCode)();      // 0-255 literal, 256 and above a match length code
    uint16_t (*nextDistance)();  // the match starts (value + 1) bytes behind writePos
    void (*startDecode)();
};

// Tables of the static Huffman methods, shared by -lh3- and -lh1- (see decode/table.h).
const uint32_t CODE_SYMBOLS = 510;   // literal/length symbols of -lh4- to -lh7-
const uint32_t CODE_TABLE_BITS = 12;
const uint32_t AUX_SYMBOLS = 128;
const uint32_t AUX_TABLE_BITS = 8;
const uint32_t TREE_NODES = 1019;

// Node arrays of the adaptive Huffman methods -lh1- and -lh2-.
const uint32_t ADAPTIVE_NODES = 884;
const uint32_t ADAPTIVE_LEAVES = 442;

struct DecoderContext {
    // ---- frame
    FILE* input;
    FILE* output;
    uint16_t dictBits;
    uint32_t originalSize;
    uint16_t crc16;
    BitReader bits;
    InputBuffer in;
    uint8_t* dictionary;
    uint32_t writePos;
    uint32_t decodedCount;
    uint32_t availPhys;  // free physical memory as the host reported it; 0 = unknown
    bool corrupt;        // a method met data that names nothing; the member fails its CRC

    // ---- static Huffman (-lh4- to -lh7-), also used by -lh3- and -lh1-
    uint8_t codeLen[CODE_SYMBOLS];
    uint16_t codeTable[1u << CODE_TABLE_BITS];
    uint8_t auxLen[AUX_SYMBOLS];
    uint16_t auxTable[1u << AUX_TABLE_BITS];
    uint16_t treeLeft[TREE_NODES];
    uint16_t treeRight[TREE_NODES];
    uint16_t blockRemaining;
    uint32_t distSymbols;
    uint32_t distCountBits;

    // ---- -lh3- (and the -lh1- distance code)
    uint32_t distCodeCount;
    uint16_t lh3BlockRemaining;

    // ---- adaptive Huffman (-lh1-, -lh2-)
    uint16_t nodeFreq[ADAPTIVE_NODES];
    int16_t nodeChild[ADAPTIVE_NODES];
    uint16_t nodeParent[ADAPTIVE_NODES];
    uint16_t nodeBlock[ADAPTIVE_NODES];
    uint16_t blockLeader[ADAPTIVE_NODES];
    uint16_t freeBlocks[ADAPTIVE_NODES];
    uint16_t leafNode[ADAPTIVE_LEAVES];
    uint32_t charSymbols;
    uint16_t maxMatch;
    uint32_t escapeCode;
    uint32_t freeBlockTop;
    uint32_t lastDistNode;
    uint16_t distTotal;
    uint32_t nextGrowth;
    uint32_t distLimit;

    // ---- LArc (-lzs-, -lz5-)
    uint32_t matchPos;
    uint32_t flagCount;
    uint32_t flagByte;
};

extern DecoderContext decoder;

// One compressed member. Built by the driver, run once, dropped.
class DecodeJob {
public:
    DecodeJob(FILE* input, FILE* output, uint32_t originalSize, uint32_t packedSize,
              uint32_t dictBits, uint32_t methodIndex)
        : dictSize(0), set(), input(input), output(output), originalSize(originalSize),
          packedSize(packedSize), dictBits(dictBits), methodIndex(methodIndex) {}

    // True when decoding stopped because RunFlag became 0, false when at least
    // originalSize bytes were produced (or the member could not be decoded at all).
    bool run();

private:
    uint32_t dictSize;
    DecodeSet set;
    FILE* input;
    FILE* output;
    uint32_t originalSize;
    uint32_t packedSize;
    uint32_t dictBits;
    uint32_t methodIndex;
};

// ---- BitReader and InputBuffer
uint8_t nextByte();
void fillBits(uint8_t n);
uint16_t getBits(uint8_t n);
void initBits();
void writeOut(const uint8_t* data, uint32_t length);
