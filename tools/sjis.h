// Shift-JIS (code page 932) to and from UTF-8 for the host tools.
#pragma once

#include <string>

// Bytes that are not valid code page 932, and control characters, are shown as \xNN, so that
// every name can be shown and none can drive the terminal.
std::string sjisToUtf8(const std::string& sjis);

// False when the text holds a character that code page 932 cannot store.
bool utf8ToSjis(const std::string& utf8, std::string& sjis);
