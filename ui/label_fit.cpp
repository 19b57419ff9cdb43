#include "ui/label_fit.h"

#include "extract/runtime.h"

#include <string.h>

namespace {

const char ELLIPSIS[] = "...";
const uint32_t ELLIPSIS_LENGTH = 3;

// The second byte of a Shift-JIS character lies in 0x40-0xFC without 0x7F. The byte after the
// cut is tested with this rule to decide whether one or two bytes go.
bool isTrailByte(uint8_t c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

}  // namespace

void fitLabel(const char* name, char* shown, int32_t width, MeasureText measure, void* context)
{
    // Backslashes, slashes and 0xFF outside double-byte characters all become '/', so every
    // name reads the same whatever separator its archiver used. The conversion changes bytes
    // in place, front to back, so converting the copied part equals copying the converted name.
    char remaining[PATH_BUFFER];
    copyText(remaining, sizeof remaining, name);
    unifySeparators(remaining, '/');

    // `remaining` is the name with every cut so far closed up; `shown` is the same with the
    // last cut marked by "...". The bound keeps both inside their buffers whatever the caller
    // passes; the header reader never delivers more than 259 bytes.
    uint32_t length = (uint32_t)strlen(remaining);
    memcpy(shown, remaining, length + 1);

    int32_t measured = 0;
    if (!measure || !measure(context, shown, length, &measured)) return;

    while (measured > width) {
        uint32_t n = length / 2;
        if (n == 0) break;
        // A lead byte at the end of the head would pair with the "..." and show a broken
        // character, so it goes with the cut.
        uint32_t headLength = isLeadByte((uint8_t)remaining[n - 1]) ? n - 1 : n;
        // n + 1 <= length because length >= 2, so this reads at most the terminator, and the
        // tail starts at or before it.
        uint32_t skip = isTrailByte((uint8_t)remaining[n + 1]) ? 2 : 1;
        const char* tail = remaining + n + skip;
        uint32_t tailLength = length - n - skip;

        // shown = head + "..." + tail: at most length - 1 + 3 bytes, inside LABEL_BUFFER.
        memcpy(shown, remaining, headLength);
        memcpy(shown + headLength, ELLIPSIS, ELLIPSIS_LENGTH);
        memcpy(shown + headLength + ELLIPSIS_LENGTH, tail, tailLength + 1);
        // remaining = head + tail, closed up in place (the regions may overlap).
        memmove(remaining + headLength, tail, tailLength + 1);
        length = headLength + tailLength;

        if (!measure(context, shown, headLength + ELLIPSIS_LENGTH + tailLength, &measured)) break;
    }
}
