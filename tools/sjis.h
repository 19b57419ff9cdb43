// Shift-JIS (code page 932) to and from UTF-8 for the host tools. The conversions themselves
// are the system's: iconv on Linux (codepage_iconv.cpp), MultiByteToWideChar and
// WideCharToMultiByte on Windows (codepage_windows.cpp).
#pragma once

#include <stdint.h>

#include <string>

// `length` bytes in Windows code page `codePage` as UTF-8 (iconv: "CP932", Microsoft's
// mapping, for 932, "UTF-8" for 65001, "CP<n>" otherwise). False when a byte sequence is not
// valid in that code page or the system does not know it.
bool decodeCodePage(const char* bytes, size_t length, uint32_t codePage, std::string& utf8);

// Appends to `utf8` the code page 932 text at `in` up to its first byte that does not start
// a valid character (a lead byte cut off at the end included); false there, with `in` and
// `left` on that byte.
bool decodeSjisPrefix(const char*& in, size_t& left, std::string& utf8);

// A UTF-8 text for the terminal: control characters are shown as \xNN.
std::string printable(const std::string& utf8);

// Bytes in `codePage` for the terminal: converted when they are valid there, otherwise with
// every byte from 0x80 up shown as \xNN (code page 932: only the bytes that are not valid).
std::string shownInCodePage(const std::string& bytes, uint32_t codePage);

// Bytes that are not valid code page 932, and control characters, are shown as \xNN, so that
// every name can be shown and none can drive the terminal.
std::string sjisToUtf8(const std::string& sjis);

// The text in character set `to`, when all of it converts from `from`. The names are iconv's;
// "UTF-8", "CP932" and "UTF-32LE" are the ones every system here knows.
bool convertAll(const std::string& text, const char* from, const char* to, std::string& result);

// False when the text holds a character that code page 932 cannot store.
bool utf8ToSjis(const std::string& utf8, std::string& sjis);
