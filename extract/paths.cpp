#include "extract/paths.h"

#include <stdlib.h>
#include <string.h>

#include "extract/runtime.h"
#include "extract/sfx_extractor.h"

void OwnedString::assign(const char* source)
{
    release();
    if (!source) return;
    size_t length = strlen(source);
    text = (char*)malloc(length + 1);
    if (text) memcpy(text, source, length + 1);
}

void OwnedString::release()
{
    free(text);
    text = nullptr;
}

// Directory names in LHA headers separate their parts with 0xFF (and some archivers with
// '\' or '/'); the second byte of a double-byte character is never one of them.
//
// Both converters below take the lead bytes of code page 932 exactly as Windows does
// (0x81-0x9F, 0xE0-0xFC). Counting 0x80 as a lead byte too, as older code did, would keep a
// backslash after it unconverted, so that cleaning never saw it as a separator while Windows
// does: "\x80\\..\\x" must not reach the file system with a ".." component in it.
void unifySeparators(char* text, uint8_t replacement, uint32_t codePage)
{
    bool shiftJis = codePage == CODE_PAGE_SHIFT_JIS;
    for (uint8_t* p = (uint8_t*)text; *p; ++p) {
        if (shiftJis && isLeadByte(*p)) {
            if (!*++p) break;
        } else if (*p == '\\' || *p == '/' || *p == 0xFF) {
            *p = replacement;
        }
    }
}

// A lead byte shields the next byte only when that byte can be a second byte (0x40-0xFC
// except 0x7F); otherwise the lead byte stands alone, as a broken name would have it.
void slashBackslashes(char* text, uint32_t length, uint32_t codePage)
{
    bool shiftJis = codePage == CODE_PAGE_SHIFT_JIS;
    uint8_t* p = (uint8_t*)text;
    for (uint32_t i = 0; i < length; ++i) {
        if (shiftJis && isLeadByte(p[i]) && i + 1 < length && p[i + 1] >= 0x40 &&
            p[i + 1] <= 0xFC && p[i + 1] != 0x7F) {
            ++i;
        } else if (p[i] == '\\') {
            p[i] = '/';
        }
    }
}

bool appendBackslash(char* text, uint32_t capacity)
{
    size_t length = strlen(text);
    if (length == 0 || text[length - 1] == '\\') return true;
    if (length + 2 > capacity) return false;
    text[length] = '\\';
    text[length + 1] = 0;
    return true;
}

namespace {

void cleanOnce(char* path, uint8_t separator)
{
    uint8_t* p = (uint8_t*)path;
    bool removing = p[0] == separator || p[0] == '.';
    uint32_t w = 0;
    for (uint32_t r = 0; p[r]; ++r) {
        uint8_t c = p[r];
        if (removing) {
            if (c == separator || c == '.') continue;
            removing = false;
        }
        // Also a colon that just ended a run: in ":.:..", the ".." after the second colon
        // would otherwise survive.
        if ((c == separator || c == ':') && p[r + 1] == '.') removing = true;
        p[w++] = c;
    }
    p[w] = 0;

    // The drive (the first two bytes when the second is a colon) is dropped, and one
    // separator behind it. The path is moved in place: it may be as long as its buffer.
    uint32_t skip = p[0] && p[1] == ':' ? 2 : 0;
    if (p[skip] == separator) ++skip;
    if (skip) memmove(path, path + skip, w - skip + 1);
}

// For Windows a double-byte character in front of a colon is a drive too: it looks for the
// colon in the UTF-16 name, where the character is one unit. "Ａ:\x" names a device. In
// UTF-8 such a character takes two or three bytes (four make two UTF-16 units).
bool dropWideDrive(char* path, uint32_t codePage)
{
    const uint8_t* p = (const uint8_t*)path;
    uint32_t width = 0;
    if (codePage == CODE_PAGE_SHIFT_JIS && isLeadByte(p[0]) && p[1]) width = 2;
    else if (codePage == CODE_PAGE_UTF8 && p[0] >= 0xC2 && p[0] <= 0xEF)
        width = p[0] < 0xE0 ? 2 : 3;
    if (width == 0) return false;
    for (uint32_t i = 1; i < width; ++i)
        if (!p[i]) return false;
    if (p[width] != ':') return false;
    memmove(path, path + width + 1, strlen(path + width + 1) + 1);
    return true;
}

}  // namespace

// Cleaning keeps every member inside the destination: leading separators and dots go, every
// run of dots and separators that follows a separator or a colon goes (so "..", "." and
// "..." components vanish), and a drive is dropped. Dots inside a component stay.
// Dropping the drive can uncover what the first phase removes only at the start: another
// drive ("C:D:/x" would leave "D:/x", a path on another drive for Windows) or more
// separators ("C://etc/x" would leave "/etc/x", an absolute path) or dots ("::../x" would
// leave "../x"). So the cleaning runs again until the path starts with none of them; every
// further pass removes at least one byte, so it ends.
void cleanEntryPath(char* path, uint8_t separator, uint32_t codePage)
{
    for (;;) {
        cleanOnce(path, separator);
        if (dropWideDrive(path, codePage)) continue;
        if (path[0] == (char)separator || path[0] == '.' || (path[0] && path[1] == ':')) continue;
        return;
    }
}

namespace {

// The device names, three letters each as a little-endian key in lower case; COM and LPT,
// the last two, take a digit.
#define DEVICE_KEY(a, b, c) ((uint32_t)(a) | (uint32_t)(b) << 8 | (uint32_t)(c) << 16)
const uint32_t DEVICE_KEYS[] = {DEVICE_KEY('c', 'o', 'n'), DEVICE_KEY('p', 'r', 'n'),
                                DEVICE_KEY('a', 'u', 'x'), DEVICE_KEY('n', 'u', 'l'),
                                DEVICE_KEY('c', 'o', 'm'), DEVICE_KEY('l', 'p', 't')};
const uint32_t DEVICES_WITHOUT_DIGIT = 4;

// A part of a path whose name up to its first dot (`part` to `end`, UTF-8) Windows takes for a
// device: less the spaces at its end ("con .txt" is CON too), it is one of DEVICE_KEYS in any
// case, COM and LPT with one digit.
bool isDeviceName(const uint8_t* part, const uint8_t* end)
{
    while (end > part && end[-1] == ' ') --end;
    uint32_t n = (uint32_t)(end - part);
    bool digit = n == 4 && (uint8_t)(part[3] - '0') < 10;
    if (n != 3 && !digit) return false;
    // 0x20 turns an upper-case ASCII letter into its lower case and no other byte into a
    // letter.
    uint32_t key = DEVICE_KEY(part[0], part[1], part[2]) | DEVICE_KEY(0x20, 0x20, 0x20);
    // A loop, not six comparisons, in the stub: left whole, it is the smaller.
#pragma GCC unroll 1
    for (uint32_t k = 0; k < sizeof DEVICE_KEYS / sizeof DEVICE_KEYS[0]; ++k)
        if (key == DEVICE_KEYS[k]) return (k >= DEVICES_WITHOUT_DIGIT) == digit;
    return false;
}

// A member's folders may be as long as its path, so the chain is made in one copy of it, cut
// and mended in place, rather than in a buffer per level. Not on the stack, for the reason
// the header buffer is not; the destination is entered before the walk starts, so its one
// user at a time is the user-interface thread or the walk.
char folderChain[MEMBER_PATH_BUFFER];

// Creates the folder that holds the last part of `work` (a path in folderChain), and its
// missing parents.
bool makeParentIn(SfxExtractor& sfx, char* work)
{
    char* cut = strrchr(work, '/');
    if (!cut || cut == work) return false;
    *cut = 0;
    bool made;
    PathState state = sfx.host->pathState(work);
    if (state != PathState::missing) {
        made = state == PathState::folder;
    } else if (sfx.host->createFolder(work)) {
        notifyShell(sfx, ShellEvent::folderCreated, work);
        made = true;
    } else {
        // The parent is missing too: make the chain above, then try once more. Only the
        // topmost new folder, the one created directly, is announced to the shell.
        made = makeParentIn(sfx, work) && sfx.host->createFolder(work);
    }
    *cut = '/';
    return made;
}

// Whether this run may write where the destination `folder` (with '/' separators and a final
// '/') is to be: asked of the nearest folder on the way that exists (the destination itself
// when it does), before any member is written, so that a run never ends half here and half
// in a run with more rights. When the system refuses for want of rights, the run is
// handed over to one that has them; false then: this run writes nothing (the host has said
// what it must, or holds the outcome of the run it handed over to).
bool rightsGranted(SfxExtractor& sfx, const char* folder)
{
    char* chain = inRegister(folderChain);
    copyText(chain, sizeof folderChain, folder);  // shorter than a member's path
    char* cut;
    while ((cut = strrchr(chain, '/')) != nullptr) {
        *cut = 0;
        if (sfx.host->pathState(chain) != PathState::missing) break;
    }
    if (!cut) return true;  // nothing on the way exists: the system will say why
    // With its separator: "C:" alone would name the current folder of drive C.
    cut[0] = '/';
    cut[1] = 0;
    if (!sfx.host->deniedWriting(chain)) return true;
    if (sfx.host->runWithRights(sfx) == Elevation::unavailable) sfx.host->warnFolderNotCreated();
    return false;
}

}  // namespace

bool storableOnWindows(const char* path)
{
    // One pass over every byte, the terminator included: each '/' and the end close a part.
    const uint8_t* part = (const uint8_t*)path;
    const uint8_t* stemEnd = nullptr;
    for (const uint8_t* p = part;; ++p) {
        uint8_t c = *p;
        if (c == 0 || c == '/') {
            if (p > part && (p[-1] == '.' || p[-1] == ' ')) return false;
            if (isDeviceName(part, stemEnd ? stemEnd : p)) return false;
            if (c == 0) return true;
            part = p + 1;
            stemEnd = nullptr;
            continue;
        }
        if (c < 0x20) return false;
        for (const char* refused = "<>:\"|?*"; *refused; ++refused)
            if (c == (uint8_t)*refused) return false;
        if (c == '.' && !stemEnd) stemEnd = p;
    }
}

bool makeFolderChain(SfxExtractor& sfx, const char* path)
{
    return copyText(folderChain, sizeof folderChain, path) && makeParentIn(sfx, folderChain);
}

bool enterDestination(SfxExtractor& sfx, const char* destination)
{
    if (!destination) destination = "";
    char folder[PATH_BUFFER];
    bool made = copyText(folder, sizeof folder, destination) && appendBackslash(folder, sizeof folder);
    if (made) {
        unifySeparators(folder, '/');
        // The folders on the way first, where the system lets this run make them: on the root
        // of a Windows drive any user may make a folder but not a file, so a file probe there
        // would ask for rights that making the destination does not need. The question is
        // then put to the destination itself, where the members go, or, when a folder could
        // not be made, to the nearest one that exists.
        makeFolderChain(sfx, folder);
        if (!rightsGranted(sfx, folder)) return false;
        // Made is not enough: Windows makes a folder of any length, but enters none longer
        // than MAX_PATH, and a walk in the folder the process started in would put every
        // member there.
        made = sfx.host->enterFolder(destination) ||
               (makeFolderChain(sfx, folder) && sfx.host->enterFolder(destination));
    }
    if (!made) sfx.host->warnFolderNotCreated();
    return made;
}

void notifyShell(SfxExtractor& sfx, ShellEvent kind, const char* path)
{
    if (kind == ShellEvent::folderCreated) {
        sfx.host->notifyShell(kind, path);
        return;
    }
    // The shell wants the full path with '\' separators; a path that does not fit the
    // buffer is not announced rather than announced wrongly.
    char full[PATH_BUFFER];
    if (!copyText(full, sizeof full, sfx.destination ? sfx.destination : "")) return;
    if (!appendBackslash(full, sizeof full) || !appendText(full, sizeof full, path)) return;
    for (char* p = full; *p; ++p)
        if (*p == '/') *p = '\\';
    sfx.host->notifyShell(kind, full);
}
