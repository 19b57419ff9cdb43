// Placeholder until the LArc decoders land.
#include "decode/methods.h"

void lzsStartDecode() { decoder.corrupt = true; }
uint16_t lzsNextCode() { return 0; }
uint16_t lzsNextDistance() { return 0; }
void lz5StartDecode() { decoder.corrupt = true; }
uint16_t lz5NextCode() { return 0; }
uint16_t lz5NextDistance() { return 0; }
