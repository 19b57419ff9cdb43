// Code-page conversion on Linux: iconv, whose "CP932" is Microsoft's mapping of Shift-JIS.
#include <iconv.h>

#include <cerrno>

#include "sjis.h"

namespace {

// Converts as much as iconv can; returns false at the first byte it cannot take, leaving
// `in`/`left` on it.
bool convert(iconv_t cd, const char*& in, size_t& left, std::string& out)
{
    char buffer[256];
    while (left > 0) {
        char* to = buffer;
        size_t room = sizeof buffer;
        size_t r = iconv(cd, const_cast<char**>(&in), &left, &to, &room);
        out.append(buffer, to - buffer);
        if (r == (size_t)-1 && errno != E2BIG) return false;
    }
    return true;
}

}  // namespace

bool decodeCodePage(const char* bytes, size_t length, uint32_t codePage, std::string& utf8)
{
    utf8.clear();
    bool ascii = true;
    for (size_t i = 0; i < length; ++i) ascii = ascii && (unsigned char)bytes[i] < 0x80;
    // Code page 932 and UTF-8 keep ASCII as it is (not every code page does: UTF-16 and
    // EBCDIC do not); iconv's tables are loaded only for names that need them.
    if (ascii && (codePage == 932 || codePage == 65001)) {
        utf8.assign(bytes, length);
        return true;
    }
    std::string name = codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage);
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == (iconv_t)-1) return false;
    const char* in = bytes;
    size_t left = length;
    bool ok = convert(cd, in, left, utf8);
    // A character cut off at the end is as invalid as a wrong byte.
    if (ok) {
        char buffer[16];
        char* to = buffer;
        size_t room = sizeof buffer;
        ok = iconv(cd, nullptr, nullptr, &to, &room) != (size_t)-1;
    }
    iconv_close(cd);
    return ok;
}

bool decodeSjisPrefix(const char*& in, size_t& left, std::string& utf8)
{
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == (iconv_t)-1) return false;
    bool ok = convert(cd, in, left, utf8);
    iconv_close(cd);
    return ok;
}

bool convertAll(const std::string& text, const char* from, const char* to, std::string& result)
{
    result.clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) return false;
    const char* in = text.data();
    size_t left = text.size();
    bool ok = convert(cd, in, left, result);
    iconv_close(cd);
    return ok;
}
