// Path toolkit: code-page aware separator handling, member-path cleaning, folder chains and
// the destination folder. Member paths use '/' inside the extraction path; texts handed to
// the shell use '\'.
#pragma once

#include <stdint.h>

#include "host.h"

struct SfxExtractor;

// Every path buffer but a member's (the destination, the stub's own path), NUL included.
// Paths are UTF-8, which needs up to three bytes for a character that Shift-JIS stores in
// two: a destination of 259 Shift-JIS bytes must still fit.
const uint32_t PATH_BUFFER = 1024;

// A member's path, NUL included, in every form it takes: as stored, in UTF-8 and in UTF-16.
// A member header holds at most 4096 bytes (HEADER_BUFFER), and no stored byte becomes more
// than three bytes of UTF-8 (a half-width katakana of Shift-JIS does; two bytes of UTF-16
// give at most three), so no member path is ever cut to fit, whatever its length. Whether
// the system takes a path that long is for the system to say, member by member.
const uint32_t MEMBER_PATH_BUFFER = 3 * 4096 + 4;

// A heap-owned NUL-terminated byte string; null when empty.
class OwnedString {
public:
    OwnedString() : text(nullptr) {}
    ~OwnedString() { release(); }
    OwnedString(const OwnedString&) = delete;
    OwnedString& operator=(const OwnedString&) = delete;

    void assign(const char* source);  // frees the old text first; null leaves it empty
    void release();
    const char* get() const { return text; }

private:
    char* text;
};

// 0x81-0x9F and 0xE0-0xFC: the lead bytes of Shift-JIS double-byte characters.
inline bool isLeadByte(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The wider range (0x80 counted too) that the member-name converters use.
inline bool isWideLeadByte(uint8_t c) { return (c >= 0x80 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The walkers below take the code page of the bytes they walk. Member names are walked as
// stored, before they are converted: in code page 932 the second byte of a double-byte
// character (0x40-0xFC, 0x5C among them) is never a separator. Every other code page is
// walked byte by byte: in UTF-8 no byte of a multi-byte character is below 0x80, and a
// UTF-8 name walked with Shift-JIS lead bytes would lose separators ("E3 81 82 2F" would
// swallow the '/'). Texts inside the core are UTF-8, hence the default.
void unifySeparators(char* text, uint8_t replacement, uint32_t codePage = CODE_PAGE_UTF8);
void slashBackslashes(char* text, uint32_t length, uint32_t codePage);
// Appends a backslash to a UTF-8 path unless it is empty or already ends in one.
// `capacity` is the size of the buffer; a text that has no room left is left unchanged
// (false).
bool appendBackslash(char* text, uint32_t capacity);
void cleanEntryPath(char* path, uint8_t separator, uint32_t codePage = CODE_PAGE_UTF8);

// True when Windows stores a member path (UTF-8, '/' between its parts) under exactly that
// name. Windows opens a device for CON, PRN, AUX, NUL, COM0-COM9 and LPT0-LPT9 in any part,
// in any case and with any extension ("aux.txt", "con .log"); it drops a final dot or space
// ("trail. " becomes "trail"); it writes "x.txt:s" into a stream of x.txt that nobody sees;
// and it refuses < > " | ? * and the control characters. Such a member would land under
// another name, or nowhere, and be reported as written.
bool storableOnWindows(const char* path);

// Creates the folder that holds the path's last part, with all its missing parents.
bool makeFolderChain(SfxExtractor& sfx, const char* path);
bool enterDestination(SfxExtractor& sfx, const char* destination);
void notifyShell(SfxExtractor& sfx, ShellEvent kind, const char* path);
