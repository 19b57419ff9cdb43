#include "ui/label_fit.h"

#include <string.h>

#include "extract/runtime.h"

namespace {

const char16_t ELLIPSIS[] = u"...";
const uint32_t ELLIPSIS_LENGTH = 3;

// A character outside the Basic Multilingual Plane is two units, a high surrogate
// (0xD800-0xDBFF) and a low one (0xDC00-0xDFFF); a cut between them would show two broken
// halves.
bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

void fitLabel(const char16_t* name, char16_t* shown, int32_t width, MeasureText measure,
              void* context)
{
    // Both separators read as '/', so every name reads the same whatever its archiver used.
    // `remaining` is the name with every cut so far closed up; `shown` is the same with the
    // last cut marked by "...". A name longer than a member's path is cut to one first.
    // Several pages: not on the stack, where the stub would probe them page by page; the
    // label is drawn by the user-interface thread alone.
    static char16_t buffer[MEMBER_PATH_BUFFER];
    char16_t* remaining = inRegister(buffer);  // not its address at each of a dozen uses
    uint32_t length = 0;
    for (; name[length] && length < MEMBER_PATH_BUFFER - 1; ++length)
        remaining[length] = name[length] == u'\\' ? u'/' : name[length];
    if (length > 0 && isHighSurrogate(remaining[length - 1])) --length;
    remaining[length] = 0;
    memcpy(shown, remaining, (length + 1) * sizeof(char16_t));

    int32_t measured = 0;
    if (!measure || !measure(context, shown, length, &measured)) return;

    while (measured > width) {
        // One character goes at the middle: the one that starts at unit n, or the pair whose
        // high half ends the head.
        uint32_t n = length / 2;
        if (n == 0) break;
        uint32_t headLength = n, tailStart = n + 1;
        if (isHighSurrogate(remaining[n - 1])) {
            headLength = n - 1;
        } else if (isHighSurrogate(remaining[n]) && isLowSurrogate(remaining[n + 1])) {
            tailStart = n + 2;  // n + 1 < length: a low surrogate is never the terminator
        }
        uint32_t tailLength = length - tailStart;
        // remaining = head + tail, closed up in place (the regions may overlap).
        memmove(remaining + headLength, remaining + tailStart, (tailLength + 1) * sizeof(char16_t));
        length = headLength + tailLength;
        // A character is at least a pixel wide, so a text of more than twice as many units as
        // the label has pixels cannot fit yet: it is closed up without measuring. A name of
        // thousands of characters would otherwise be measured once per character removed,
        // each time nearly whole, and hold up the walk for seconds.
        if (length > 2 * (uint32_t)width) continue;

        // shown = head + "..." + tail: at most length - 1 + 3 units, inside LABEL_BUFFER.
        memcpy(shown, remaining, headLength * sizeof(char16_t));
        memcpy(shown + headLength, ELLIPSIS, ELLIPSIS_LENGTH * sizeof(char16_t));
        memcpy(shown + headLength + ELLIPSIS_LENGTH, remaining + headLength,
               (tailLength + 1) * sizeof(char16_t));

        if (!measure(context, shown, headLength + ELLIPSIS_LENGTH + tailLength, &measured)) break;
    }
}
