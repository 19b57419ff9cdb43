#include "sjis.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>

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

std::string sjisToUtf8(const std::string& sjis)
{
    std::string out;
    bool ascii = true;
    for (unsigned char c : sjis) ascii = ascii && c < 0x80;
    if (ascii) {
        // Code page 932 keeps ASCII as it is. Most names are ASCII, and iconv's Shift-JIS
        // tables would add about 400 KiB to the tool's resident size.
        out = sjis;
    } else {
        iconv_t cd = iconv_open("UTF-8", "CP932");
        const char* in = sjis.data();
        size_t left = sjis.size();
        while (!convert(cd, in, left, out)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", (unsigned char)*in);
            out += escape;
            ++in;
            --left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
        iconv_close(cd);
    }
    return printable(out);
}

std::string printable(const std::string& utf8)
{
    // Control characters in a name would drive the terminal (a hostile archive can carry
    // escape sequences); they are shown as \xNN like the bytes that are not Shift-JIS. The
    // C1 controls U+0080-U+009F (C2 80-C2 9F) count too: U+009B starts a sequence as ESC [
    // does, and UTF-8 and UTF-16 names can carry it.
    std::string shown;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = (unsigned char)utf8[i];
        bool c1 = c == 0xC2 && i + 1 < utf8.size() && (unsigned char)utf8[i + 1] >= 0x80 &&
                  (unsigned char)utf8[i + 1] <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1) {
            char escape[16];
            if (c1)
                std::snprintf(escape, sizeof escape, "\\xC2\\x%02X", (unsigned char)utf8[++i]);
            else
                std::snprintf(escape, sizeof escape, "\\x%02X", c);
            shown += escape;
        } else {
            shown += (char)c;
        }
    }
    return shown;
}

std::string shownInCodePage(const std::string& bytes, uint32_t codePage)
{
    if (codePage == 932) return sjisToUtf8(bytes);
    std::string utf8;
    if (decodeCodePage(bytes.data(), bytes.size(), codePage, utf8)) return printable(utf8);
    std::string shown;
    for (unsigned char c : bytes) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02X", c);
        shown += c >= 0x80 ? std::string(escape) : std::string(1, (char)c);
    }
    return printable(shown);
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

bool utf8ToSjis(const std::string& utf8, std::string& sjis)
{
    return convertAll(utf8, "UTF-8", "CP932", sjis);
}
