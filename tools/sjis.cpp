#include "sjis.h"

#include <cstdio>

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
        const char* in = sjis.data();
        size_t left = sjis.size();
        while (!decodeSjisPrefix(in, left, out) && left > 0) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", (unsigned char)*in);
            out += escape;
            ++in;
            --left;
        }
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

bool utf8ToSjis(const std::string& utf8, std::string& sjis)
{
    return convertAll(utf8, "UTF-8", "CP932", sjis);
}
