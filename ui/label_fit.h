// Shortening of a member name to the width of the progress window's one-line label.
//
// Portable on purpose: the Win32 label measures with GetTextExtentPoint32A, the unit tests
// with a fixed width per byte, and both run this same code.
#pragma once

#include <stdint.h>

#include "extract/paths.h"

// A name of up to 259 bytes, "..." in place of one byte cut from it, and the terminator.
const uint32_t LABEL_BUFFER = PATH_BUFFER + 3;

// Width of `length` bytes of `text` in the label's font; false when it cannot be measured.
typedef bool (*MeasureText)(void* context, const char* text, uint32_t length, int32_t* width);

// Writes into `shown` (LABEL_BUFFER bytes) the name with its separators turned into '/',
// shortened in the middle with "..." until `measure` says it is at most `width` wide. A null
// `measure` (no device context) shows the whole name.
void fitLabel(const char* name, char* shown, int32_t width, MeasureText measure, void* context);
