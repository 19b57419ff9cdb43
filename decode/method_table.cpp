#include "decode/methods.h"

const DecodeSet DecodeSetTable[12] = {
    {nullptr, nullptr, nullptr},                                 // -lh0-: stored
    {adaptiveNextCode, lh3NextDistance, lh1StartDecode},         // -lh1-
    {adaptiveNextCode, adaptiveNextDistance, adaptiveStartDecode},  // -lh2-
    {lh3NextCode, lh3NextDistance, lh3StartDecode},              // -lh3-
    {blockNextCode, blockNextDistance, blockStartDecode},        // -lh4-
    {blockNextCode, blockNextDistance, blockStartDecode},        // -lh5-
    {blockNextCode, blockNextDistance, blockStartDecode},        // -lh6-
    {blockNextCode, blockNextDistance, blockStartDecode},        // -lh7-
    {lzsNextCode, lzsNextDistance, lzsStartDecode},              // -lzs-
    {lz5NextCode, lz5NextDistance, lz5StartDecode},              // -lz5-
    {nullptr, nullptr, nullptr},                                 // -lz4-: stored
    {nullptr, nullptr, nullptr},                                 // -lhd-: directory
};
