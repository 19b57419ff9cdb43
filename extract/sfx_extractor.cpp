#include "extract/sfx_extractor.h"

#include <stdlib.h>
#include <string.h>

#include "extract/runtime.h"

const char DEFAULT_TITLE[] = "Quor SFX";

SfxExtractor::SfxExtractor(Host* host)
    : host(host), ownFile(nullptr), methodIndex(0), destination(nullptr),
      title(nullptr), shortcutTarget(nullptr), programToRun(nullptr), shortcutName(nullptr),
      startMenuFlags(0), desktopFlags(0), sendToFlags(0), configPresent(0), failed(0),
      windowsNames(0), headerFault(HeaderFault::none)
{
    ownPath[0] = 0;
}

SfxExtractor::~SfxExtractor()
{
    if (ownFile) fclose(ownFile);
    free(destination);
    free(title);
    free(shortcutTarget);
    free(programToRun);
    free(shortcutName);
}

namespace {

char* copyOf(const char* text)
{
    size_t length = strlen(text);
    char* copy = (char*)malloc(length + 1);
    if (copy) memcpy(copy, text, length + 1);
    return copy;
}

// Replaces a heap text, freeing the old one: heap texts are never shared.
void replaceText(char*& field, char* text)
{
    free(field);
    field = text;
}

// One byte of the block. End of file and read errors alike end the block: a failed read
// must never be taken for a length or a flag.
bool readByte(SfxExtractor& sfx, uint8_t& value)
{
    int c = getc(sfx.ownFile);
    if (c == EOF) return false;
    value = (uint8_t)c;
    return true;
}

// `count` bytes of the block.
bool readConfigBytes(SfxExtractor& sfx, int32_t count, char* buffer)
{
    for (int32_t i = 0; i < count; ++i) {
        uint8_t value;
        if (!readByte(sfx, value)) return false;
        buffer[i] = (char)value;
    }
    return true;
}

// A counted text: length byte, then that many bytes, converted to a UTF-8 heap text. The
// bytes are code page 932, or UTF-8 behind the mark EF BB BF (the mark is dropped): the tool
// stores a text that code page 932 cannot hold that way. A text that is not valid in its
// code page makes the block unreadable.
bool readCountedText(SfxExtractor& sfx, char*& field)
{
    static const char UTF8_MARK[] = "\xEF\xBB\xBF";
    const uint32_t MARK_LENGTH = 3;
    uint8_t length;
    if (!readByte(sfx, length)) return false;
    char stored[SfxConfig::maxText];
    if (!readConfigBytes(sfx, length, stored)) return false;
    // Every byte of code page 932 takes at most three bytes in UTF-8 (a half-width katakana
    // one byte gives three, a double-byte character three), and UTF-8 stays as long as it is.
    uint32_t size = 3u * length + 1;
    char* text = (char*)malloc(size);
    if (!text) return false;
    text[0] = 0;
    replaceText(field, text);
    bool marked = length >= MARK_LENGTH && memcmp(stored, UTF8_MARK, MARK_LENGTH) == 0;
    uint32_t skip = marked ? MARK_LENGTH : 0;
    return sfx.host->decodeText(stored + skip, length - skip,
                                marked ? CODE_PAGE_UTF8 : CODE_PAGE_SHIFT_JIS, text, size);
}

bool currentFolderText(SfxExtractor& sfx, char*& field)
{
    char folder[PATH_BUFFER];
    if (!sfx.host->currentFolder(folder, sizeof folder)) return false;
    char* copy = copyOf(folder);
    if (!copy) return false;
    replaceText(field, copy);
    return true;
}

// A destination text without a drive is placed below Program Files on the Windows drive, or
// below the current folder. The composition must fit a path buffer; a longer one makes the
// block unusable rather than pointing the extraction at a cut, different folder.
bool composeDestination(SfxExtractor& sfx, const char* text, bool underProgramFiles)
{
    // The folder in front of the text, then the text.
    char composed[PATH_BUFFER];
    composed[0] = 0;
    if (text[0] && text[1] == ':') {
        // A drive: the text stands alone.
    } else if (underProgramFiles) {
        char windows[PATH_BUFFER];
        if (!sfx.host->windowsFolder(windows, sizeof windows)) return false;
        // The drive part has at most two bytes; composed holds a whole split part anyway.
        static_assert(sizeof composed >= PATH_PART, "splitPath writes up to PATH_PART bytes");
        splitPath(windows, composed, nullptr, nullptr, nullptr);
        if (!appendText(composed, sizeof composed, "\\Program Files\\")) return false;
    } else {
        if (!sfx.host->currentFolder(composed, sizeof composed) ||
            !appendBackslash(composed, sizeof composed))
            return false;
    }
    if (!appendText(composed, sizeof composed, text)) return false;
    char* copy = copyOf(composed);
    if (!copy) return false;
    replaceText(sfx.destination, copy);
    return true;
}

}  // namespace

void SfxExtractor::setDestination(const char* text) { replaceText(destination, text ? copyOf(text) : nullptr); }

bool readConfiguration(SfxExtractor& sfx)
{
    uint8_t present;
    if (!readByte(sfx, present)) return false;
    if (present == 0) {
        replaceText(sfx.title, copyOf(DEFAULT_TITLE));
        return currentFolderText(sfx, sfx.destination);
    }

    if (!readCountedText(sfx, sfx.title)) return false;
    if (sfx.title[0] == 0) replaceText(sfx.title, copyOf(DEFAULT_TITLE));

    uint8_t underProgramFiles;
    if (!readByte(sfx, underProgramFiles)) return false;

    char* text = nullptr;
    bool ok = readCountedText(sfx, text);
    if (ok) ok = text[0] ? composeDestination(sfx, text, underProgramFiles != 0)
                         : currentFolderText(sfx, sfx.destination);
    free(text);
    if (!ok) return false;

    if (!readCountedText(sfx, sfx.shortcutTarget)) return false;
    if (!readByte(sfx, sfx.startMenuFlags)) return false;
    if (!readByte(sfx, sfx.desktopFlags)) return false;
    if (!readByte(sfx, sfx.sendToFlags)) return false;
    if (!readCountedText(sfx, sfx.programToRun)) return false;
    if (!readCountedText(sfx, sfx.shortcutName)) return false;
    sfx.configPresent = 1;
    return true;
}
