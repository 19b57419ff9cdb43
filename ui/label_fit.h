// Shortening of a member name to the width of the progress window's one-line label.
//
// Portable on purpose: the Win32 label measures with GetTextExtentPoint32W, the unit tests
// with a fixed width per unit, and both run this same code. The name is UTF-16, the form the
// label draws, so every cut is made between characters the label shows.
#pragma once

#include <stdint.h>

#include "extract/paths.h"

// A member's path of up to MEMBER_PATH_BUFFER - 1 units, "..." in place of one character cut
// from it, and the terminator.
const uint32_t LABEL_BUFFER = MEMBER_PATH_BUFFER + 3;

// Width of `length` units of `text` in the label's font; false when it cannot be measured.
typedef bool (*MeasureText)(void* context, const char16_t* text, uint32_t length, int32_t* width);

// Writes into `shown` (LABEL_BUFFER units) the name with its backslashes turned into '/',
// shortened in the middle with "..." until `measure` says it is at most `width` wide. A null
// `measure` (no device context) shows the whole name.
void fitLabel(const char16_t* name, char16_t* shown, int32_t width, MeasureText measure,
              void* context);
