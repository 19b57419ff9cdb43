// The operations each method family supplies to the frame, and the table that picks them by
// methodIndex (the member's position in MethodTable).
#pragma once

#include <stdint.h>

#include "decode/frame.h"

// -lh4- to -lh7-: block-wise static Huffman.
void blockStartDecode();
uint16_t blockNextCode();
uint16_t blockNextDistance();

// -lh3-; lh3NextDistance also serves -lh1-.
void lh3StartDecode();
uint16_t lh3NextCode();
uint16_t lh3NextDistance();

// -lh1- and -lh2-: adaptive Huffman.
void lh1StartDecode();
void adaptiveStartDecode();
uint16_t adaptiveNextCode();
uint16_t adaptiveNextDistance();

// -lzs- and -lz5-: LArc.
void lzsStartDecode();
uint16_t lzsNextCode();
uint16_t lzsNextDistance();
void lz5StartDecode();
uint16_t lz5NextCode();
uint16_t lz5NextDistance();

// Rows 0 (-lh0-), 10 (-lz4-) and 11 (-lhd-) hold no operations: those members never reach
// the frame, and a job for them refuses to run.
extern const DecodeSet DecodeSetTable[12];
