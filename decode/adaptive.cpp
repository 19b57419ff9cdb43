// Placeholder until the adaptive Huffman decoders land.
#include "decode/methods.h"

void lh1StartDecode() { decoder.corrupt = true; }
void adaptiveStartDecode() { decoder.corrupt = true; }
uint16_t adaptiveNextCode() { return 0; }
uint16_t adaptiveNextDistance() { return 0; }
