// Code-page conversion on Windows: MultiByteToWideChar and WideCharToMultiByte through
// UTF-16, always with the code page named (never CP_ACP) and with MB_ERR_INVALID_CHARS, so
// that an invalid byte fails the conversion as iconv fails it on Linux, rather than
// becoming U+FFFD or '?'.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "extract/paths.h"
#include "sjis.h"

namespace {

bool toUtf16(const char* bytes, size_t length, UINT codePage, std::wstring& text)
{
    text.clear();
    if (length == 0) return true;
    int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, (int)length, nullptr, 0);
    if (size <= 0) return false;
    text.resize(size);
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, (int)length, &text[0], size) == size;
}

bool fromUtf16(const std::wstring& text, UINT codePage, std::string& bytes)
{
    bytes.clear();
    if (text.empty()) return true;
    // UTF-8 takes no default character, and fails on a lone surrogate by the flag; every
    // other code page says through `lossy` whether a character had no code there.
    BOOL lossy = FALSE;
    bool utf8 = codePage == CP_UTF8;
    DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    int size = WideCharToMultiByte(codePage, flags, text.data(), (int)text.size(), nullptr, 0, nullptr,
                                   utf8 ? nullptr : &lossy);
    if (size <= 0 || lossy) return false;
    bytes.resize(size);
    return WideCharToMultiByte(codePage, flags, text.data(), (int)text.size(), &bytes[0], size, nullptr,
                               utf8 ? nullptr : &lossy) == size && !lossy;
}

// The iconv names the tool uses, as Windows code pages; 0 for UTF-32LE (not a code page),
// -1 for a name not known here.
long codePageNamed(const char* name)
{
    if (std::strcmp(name, "UTF-8") == 0) return CP_UTF8;
    if (std::strcmp(name, "UTF-32LE") == 0) return 0;
    if (std::strncmp(name, "CP", 2) == 0 && name[2]) return std::strtol(name + 2, nullptr, 10);
    return -1;
}

bool toUtf32(const std::wstring& text, std::string& bytes)
{
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            return false;
        for (int k = 0; k < 4; ++k) bytes += (char)(c >> (8 * k) & 0xFF);
    }
    return true;
}

}  // namespace

bool decodeCodePage(const char* bytes, size_t length, uint32_t codePage, std::string& utf8)
{
    utf8.clear();
    std::wstring text;
    return IsValidCodePage(codePage) && toUtf16(bytes, length, codePage, text) &&
           fromUtf16(text, CP_UTF8, utf8);
}

bool decodeSjisPrefix(const char*& in, size_t& left, std::string& utf8)
{
    std::string whole;
    if (decodeCodePage(in, left, 932, whole)) {
        utf8 += whole;
        in += left;
        left = 0;
        return true;
    }
    // MB_ERR_INVALID_CHARS fails the whole text: the valid part is found a character at a
    // time, one byte or a lead byte and the next.
    while (left > 0) {
        size_t length = isLeadByte((uint8_t)*in) ? 2 : 1;
        std::string one;
        if (length > left || !decodeCodePage(in, length, 932, one)) return false;
        utf8 += one;
        in += length;
        left -= length;
    }
    return true;
}

bool convertAll(const std::string& text, const char* from, const char* to, std::string& result)
{
    result.clear();
    long source = codePageNamed(from), target = codePageNamed(to);
    if (source <= 0 || target < 0) return false;
    std::wstring wide;
    if (!toUtf16(text.data(), text.size(), (UINT)source, wide)) return false;
    return target == 0 ? toUtf32(wide, result) : fromUtf16(wide, (UINT)target, result);
}
