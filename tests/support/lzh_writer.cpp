#include "support/lzh_writer.h"

#include <utility>
#include <vector>

uint16_t crc16Of(const std::string& data)
{
    uint16_t crc = 0;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

namespace {

void le16(std::string& s, uint32_t v)
{
    s += (char)(v & 0xFF);
    s += (char)((v >> 8) & 0xFF);
}

void le32(std::string& s, uint32_t v)
{
    le16(s, v & 0xFFFF);
    le16(s, v >> 16);
}

// The size field of the first extended header, then every header: type, data, and the size
// of the next one (0 after the last). Size fields are `width` bytes: 4 at level 3, else 2.
std::string chain(const std::vector<std::pair<uint8_t, std::string>>& headers, uint32_t width = 2)
{
    std::string out;
    auto size = [&](uint32_t v) { width == 4 ? le32(out, v) : le16(out, v); };
    size(headers.empty() ? 0 : (uint32_t)headers[0].second.size() + 1 + width);
    for (size_t i = 0; i < headers.size(); ++i) {
        out += (char)headers[i].first;
        out += headers[i].second;
        size(i + 1 < headers.size() ? (uint32_t)headers[i + 1].second.size() + 1 + width : 0);
    }
    return out;
}

}  // namespace

std::string lzhMember(const Member& m)
{
    uint32_t original = m.originalSize == UINT32_MAX ? (uint32_t)m.data.size() : m.originalSize;
    uint16_t crc = m.crcOverride >= 0 ? (uint16_t)m.crcOverride : crc16Of(m.data);
    std::string fields;  // offsets 7 to 20
    uint32_t packed = (uint32_t)m.data.size();

    if (m.level >= 2) {
        // Level 3: the word size 4 in the first two bytes, the header's length at +24 and
        // 32-bit size fields; otherwise laid out as level 2.
        uint32_t width = m.level == 3 ? 4 : 2;
        std::vector<std::pair<uint8_t, std::string>> ext = {{1, m.name}};
        if (m.headerCrc) ext.insert(ext.begin(), {0, std::string(2, '\0')});
        if (!m.directory.empty()) ext.push_back({2, m.directory});
        ext.insert(ext.end(), m.extended.begin(), m.extended.end());
        std::string tail;
        le16(tail, crc);
        tail += (char)m.osId;
        std::string chained = chain(ext, width);
        if (width == 4) le32(tail, (uint32_t)chained.size() + 28);
        tail += chained;
        std::string body = m.method.substr(0, 5);
        le32(body, packed);
        le32(body, original);
        le32(body, m.time);
        body += (char)0x20;
        body += (char)m.level;
        body += tail;
        std::string header;
        le16(header, width == 4 ? 4 : (uint32_t)body.size() + 2);
        header += body;
        if (m.headerCrc) {
            // Over the whole header with its own two bytes at zero, behind the first size
            // field and the type byte.
            size_t at = (width == 4 ? 28 : 24) + width + 1;
            std::string crcField;
            le16(crcField, crc16Of(header));
            header.replace(at, 2, crcField);
        }
        return header + m.data;
    }

    std::string ext;
    if (m.level == 1) {
        std::vector<std::pair<uint8_t, std::string>> list;
        if (!m.directory.empty()) list.push_back({2, m.directory});
        list.insert(list.end(), m.extended.begin(), m.extended.end());
        ext = chain(list);
        packed += (uint32_t)ext.size() - 2;  // the first size field belongs to the base header
    }
    std::string body = m.method.substr(0, 5);
    le32(body, packed);
    le32(body, original);
    le32(body, m.time);
    body += (char)0x20;
    body += (char)m.level;
    body += (char)m.name.size();
    body += m.name;
    if (m.withCrc) {
        le16(body, crc);
        if (m.level == 1) body += (char)m.osId;
    }
    body += ext;  // level 1: first size field, then the extended headers
    // H counts the bytes after the first two, up to and including the first size field for
    // level 1; the extended headers that follow are not part of it.
    uint32_t base = (uint32_t)body.size() - (m.level == 1 ? (uint32_t)ext.size() - 2 : 0);
    std::string header;
    header += (char)base;
    header += (char)0;
    return header + body + m.data;
}

FILE* sparseFileWith(const std::string& head, uint64_t gap, const std::string& tail)
{
    FILE* f = std::tmpfile();
    std::fwrite(head.data(), 1, head.size(), f);
    fseeko(f, (off_t)gap, SEEK_CUR);
    std::fwrite(tail.data(), 1, tail.size(), f);
    std::rewind(f);
    return f;
}

std::pair<uint8_t, std::string> sizesHeader(uint64_t packed, uint64_t original)
{
    std::string data;
    for (uint64_t v : {packed, original})
        for (int i = 0; i < 8; ++i) data += (char)(v >> (8 * i) & 0xFF);
    return {0x42, data};
}

FILE* fileWith(const std::string& bytes, long position)
{
    FILE* f = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fseek(f, position, SEEK_SET);
    return f;
}
