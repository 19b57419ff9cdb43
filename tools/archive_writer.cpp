#include "archive_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "decode/frame.h"
#include "encode/lh_encoder.h"
#include "extract/paths.h"
#include "sjis.h"
#include "system.h"

namespace {

// ---- Level-2 header fields
const uint8_t HEADER_LEVEL = 2;
// 'U', LHA for Unix: peers then take the Unix mode of extended header 0x50 and the time of the
// base header as UTC.
const uint8_t OS_ID_UNIX = 'U';
const uint8_t EXT_HEADER_CRC = 0x00;  // CRC-16 of the whole header, computed with this field 0
const uint8_t EXT_FILE_NAME = 0x01;
const uint8_t EXT_FOLDER = 0x02;
const uint8_t EXT_SIZES = 0x42;       // 64-bit packed and original size, for 4 GiB and more
const uint8_t EXT_CODE_PAGE = 0x46;   // 32-bit code page of the names
const uint8_t EXT_UNIX_MODE = 0x50;   // 16-bit st_mode
const uint8_t EXT_UNIX_TIME = 0x54;   // 32-bit Unix time, as in the base header
// Values of extended header 0x46: the code page numbers of Windows.
const uint32_t NAMES_IN_UTF8 = 65001;
const uint32_t NAMES_IN_SHIFT_JIS = 932;
const char FOLDER_SEPARATOR = '\xFF';
const uint8_t LEVEL2_ATTRIBUTE = 0x20;
const uint64_t MAX_MEMBER_SIZE = 0xFFFFFFFFu;  // the 32-bit size fields of the base header
const size_t CHUNK = 64 * 1024;

void putLe16(std::string& s, uint32_t v)
{
    s += (char)(v & 0xFF);
    s += (char)(v >> 8 & 0xFF);
}

void putLe32(std::string& s, uint32_t v)
{
    putLe16(s, v & 0xFFFF);
    putLe16(s, v >> 16);
}

void putLe64(std::string& s, uint64_t v)
{
    putLe32(s, (uint32_t)v);
    putLe32(s, (uint32_t)(v >> 32));
}

// A file of 4 GiB or more: its sizes go into extended header 0x42, where libarchive reads
// them too, stored or compressed alike.
bool isLarge(const struct stat& info) { return (uint64_t)info.st_size > MAX_MEMBER_SIZE; }

std::string methodOf(int dictionaryBits)
{
    switch (dictionaryBits) {
    case 13: return "-lh5-";
    case 15: return "-lh6-";
    default: return "-lh7-";
    }
}

// Code page 932 when it holds the name and gives back the same characters: a few characters
// map to it one way only (U+301C becomes the code of U+FF5E), and a name must come out as it
// went in.
bool toCodePage932(const std::string& utf8, std::string& sjis)
{
    std::string back;
    return convertAll(utf8, "UTF-8", "CP932", sjis) && convertAll(sjis, "CP932", "UTF-8", back) &&
           back == utf8;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string reason(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool storedNameOf(const std::string& path, bool folderEntry, StoredName& name, std::string& error)
{
    std::string wide;
    if (!convertAll(path, "UTF-8", "UTF-32LE", wide)) {
        error = "the name is not UTF-8";
        return false;
    }
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F || c == '\\') {
            error = "the name holds a control character or a backslash";
            return false;
        }
    }
    std::string sjis;
    name.utf8 = !toCodePage932(path, sjis);
    const std::string& bytes = name.utf8 ? path : sjis;
    // Shift-JIS second bytes are 0x40 to 0xFC and never '/', so a '/' always separates.
    size_t cut = folderEntry ? bytes.size() : bytes.rfind('/');
    std::string folder = cut == std::string::npos ? std::string() : bytes.substr(0, cut);
    name.file = cut == std::string::npos ? bytes : bytes.substr(cut + (folderEntry ? 0 : 1));
    name.folder.clear();
    for (char c : folder) name.folder += c == '/' ? FOLDER_SEPARATOR : c;
    if (!folder.empty()) name.folder += FOLDER_SEPARATOR;
    // The extractor joins folder and file name into a buffer of PATH_BUFFER bytes.
    if (name.folder.size() + name.file.size() > PATH_BUFFER - 1) {
        error = "the name is longer than " + std::to_string(PATH_BUFFER - 1) + " bytes as stored";
        return false;
    }
    return true;
}

bool ArchiveWriter::writeFailed(std::string& error)
{
    error = std::string("cannot write the archive: ") + std::strerror(errno);
    outputFault = true;
    return false;
}

ArchiveWriter::ArchiveWriter(FILE* out, const PackSettings& settings) : out(out), settings(settings)
{
    buildCrc16Table();
}

bool ArchiveWriter::writeHeader(off_t at, const StoredName& name, const struct stat& info,
                                uint64_t packedSize, uint64_t originalSize, uint16_t crc,
                                std::string& error)
{
    // Decided by the size the file had when it was listed, so that the header written first
    // and the one written over it at the end have the same length.
    bool large = isLarge(info);
    // The 32-bit Unix time of a level-2 header; times outside it are pinned to its ends.
    int64_t time = std::min<int64_t>(info.st_mtime, settings.latestTime);
    time = time < 0 ? 0 : time > (int64_t)UINT32_MAX ? UINT32_MAX : time;

    std::string h;
    putLe16(h, 0);  // the total length, set below
    h += method;
    // Behind header 0x42 the 32-bit fields hold their largest value: a reader that does not
    // know that header sees a member it cannot take, not a plausible shorter one.
    putLe32(h, large ? UINT32_MAX : (uint32_t)packedSize);
    putLe32(h, large ? UINT32_MAX : (uint32_t)originalSize);
    putLe32(h, (uint32_t)time);
    // Byte 19 of a level-2 header is 0x20 whatever the member is, as LHA for Unix writes it;
    // libarchive refuses a level-2 header with any other value. A folder and its permissions
    // are told by the method -lhd- and extended header 0x50.
    h += (char)LEVEL2_ATTRIBUTE;
    h += (char)HEADER_LEVEL;
    putLe16(h, crc);
    h += (char)OS_ID_UNIX;
    // Each extended header: its size (counting the type byte, the data and the next size),
    // then type and data; a size of 0 ends the chain.
    auto extension = [&](uint8_t type, const std::string& data) {
        putLe16(h, (uint32_t)data.size() + 3);
        h += (char)type;
        h += data;
    };
    size_t crcAt = h.size() + 3;
    extension(EXT_HEADER_CRC, std::string(2, '\0'));
    extension(EXT_FILE_NAME, name.file);
    if (!name.folder.empty()) extension(EXT_FOLDER, name.folder);
    if (large) {
        std::string sizes;
        putLe64(sizes, packedSize);
        putLe64(sizes, originalSize);
        extension(EXT_SIZES, sizes);
    }
    // The code page of a name that is not plain ASCII. Shift-JIS is what readers without
    // this header assume, but libarchive refuses such a name unless the header tells it.
    bool ascii = true;
    for (char c : name.folder + name.file) ascii = ascii && ((uint8_t)c < 0x80 || c == FOLDER_SEPARATOR);
    if (!ascii) {
        std::string page;
        putLe32(page, name.utf8 ? NAMES_IN_UTF8 : NAMES_IN_SHIFT_JIS);
        extension(EXT_CODE_PAGE, page);
    }
    std::string mode;
    putLe16(mode, info.st_mode & 0xFFFF);
    extension(EXT_UNIX_MODE, mode);
    // A first byte of 0 is the archive's end mark to every reader, so a header whose length
    // would be a multiple of 256 also carries the time as extended header 0x54 (LHA for
    // Unix pads such a header with one byte behind the chain instead, which 7z reads as the
    // first byte of the member's data).
    if ((h.size() + 2) % 256 == 0) {
        std::string unixTime;
        putLe32(unixTime, (uint32_t)time);
        extension(EXT_UNIX_TIME, unixTime);
    }
    putLe16(h, 0);
    if (h.size() > 0xFFFF) {
        error = "the header would exceed 65,535 bytes";
        return false;
    }
    h[0] = (char)(h.size() & 0xFF);
    h[1] = (char)(h.size() >> 8);
    uint16_t headerCrc = updateCrc16(0, (const uint8_t*)h.data(), (uint32_t)h.size());
    h[crcAt] = (char)(headerCrc & 0xFF);
    h[crcAt + 1] = (char)(headerCrc >> 8);

    if (fseeko(out, at, SEEK_SET) != 0 || std::fwrite(h.data(), 1, h.size(), out) != h.size()) {
        return writeFailed(error);
    }
    return true;
}

bool ArchiveWriter::addFolder(const std::string& path, const struct stat& info, std::string& error)
{
    StoredName name;
    if (!storedNameOf(path, true, name, error)) return false;
    method = "-lhd-";
    return writeHeader(ftello(out), name, info, 0, 0, 0, error);
}

bool ArchiveWriter::readMember(FILE* in, const std::string& source, uint64_t cap, uint64_t& size,
                               uint16_t& crc, const Progress& progress, std::string& error,
                               const std::function<bool(const uint8_t*, size_t)>& take)
{
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[CHUNK]);
    size = 0;
    crc = 0;
    for (;;) {
        size_t got = std::fread(buffer.get(), 1, CHUNK, in);
        if (got == 0) break;
        size += got;
        if (size > cap) {
            error = source + " has grown past its size in the header while it was read";
            return false;
        }
        crc = updateCrc16(crc, buffer.get(), (uint32_t)got);
        bool more = take(buffer.get(), got);
        if (progress && !progress(size)) {
            error = "interrupted";
            return false;
        }
        if (!more) return true;
    }
    if (std::ferror(in)) {
        error = reason("cannot read", source);
        return false;
    }
    return true;
}

bool ArchiveWriter::storeFile(FILE* in, const std::string& source, uint64_t cap, uint64_t& size,
                              uint16_t& crc, const Progress& progress, std::string& error)
{
    bool written = true;
    if (!readMember(in, source, cap, size, crc, progress, error, [&](const uint8_t* data, size_t length) {
            written = std::fwrite(data, 1, length, out) == length;
            return written;
        }))
        return false;
    return written || writeFailed(error);
}

// Compresses `in` into the archive. Gives up (packed >= limit) as soon as the packed data
// reach the file's size: the member is then stored instead.
bool ArchiveWriter::compressFile(FILE* in, const std::string& source, uint64_t cap, uint64_t limit,
                                 uint64_t& size, uint16_t& crc, uint64_t& packed,
                                 const Progress& progress, std::string& error)
{
    bool sinkFailed = false;
    packed = 0;
    LhEncoder encoder(EncoderSettings{settings.dictionaryBits, settings.level, settings.threads},
                      [&](const uint8_t* data, size_t length) {
                          packed += length;
                          if (packed >= limit || sinkFailed) return;  // given up: stored instead
                          if (std::fwrite(data, 1, length, out) != length) sinkFailed = true;
                      });
    if (!readMember(in, source, cap, size, crc, progress, error, [&](const uint8_t* data, size_t length) {
            encoder.write(data, length);
            return packed < limit && !sinkFailed;
        }))
        return false;
    if (packed < limit && !sinkFailed) encoder.finish();
    if (sinkFailed) return writeFailed(error);
    return true;
}

bool ArchiveWriter::addFile(const std::string& path, const std::string& source, const struct stat& info,
                            const Progress& progress, std::string& error)
{
    StoredName name;
    if (!storedNameOf(path, false, name, error)) return false;
    File in(sys::openFile(source, "rb"));
    if (!in) {
        error = reason("cannot open", source);
        return false;
    }
    off_t at = ftello(out);
    method = "-lh0-";
    // The header goes first with room for the final values; it is rewritten at the end.
    if (!writeHeader(at, name, info, 0, 0, 0, error)) return false;
    off_t dataStart = ftello(out);

    uint64_t size = 0, packed = 0;
    uint16_t crc = 0;
    bool compressed = false;
    // A file listed at 4 GiB or more has its sizes in header 0x42, which holds any size; a
    // smaller one must stay within the base header's 32 bits.
    uint64_t cap = isLarge(info) ? UINT64_MAX : MAX_MEMBER_SIZE;
    if (info.st_size > 0) {
        uint64_t limit = (uint64_t)info.st_size;
        if (!compressFile(in.get(), source, cap, limit, size, crc, packed, progress, error)) return false;
        compressed = packed < limit && packed < size;
    }
    if (compressed) {
        method = methodOf(settings.dictionaryBits);
    } else {
        // Stored: the member would not shrink (or is empty). Read again from the start.
        std::rewind(in.get());
        if (fseeko(out, dataStart, SEEK_SET) != 0) {
            return writeFailed(error);
        }
        if (!storeFile(in.get(), source, cap, size, crc, progress, error)) return false;
        packed = size;
    }
    // A file that changed while it was read would be packed as neither its old nor its new
    // self: it fails, as tar reports it.
    sys::FileStatus after;
    if (!sys::openFileStatus(in.get(), after) || after.size != (uint64_t)info.st_size ||
        after.modified != info.st_mtime || size != (uint64_t)info.st_size) {
        error = source + " changed while it was read";
        return false;
    }
    off_t end = ftello(out);
    if (!writeHeader(at, name, info, packed, size, crc, error)) return false;
    if (fseeko(out, end, SEEK_SET) != 0) {
        return writeFailed(error);
    }
    return true;
}

void packInMemory(const std::string& source, const struct stat& info, const PackSettings& settings,
                  const std::function<bool()>& keepGoing, PackedMember& member)
{
    member = PackedMember();
    File in(sys::openFile(source, "rb"));
    if (!in) {
        member.error = reason("cannot open", source);
        return;
    }
    // One byte more than listed, so that a file that has grown is seen.
    std::vector<uint8_t> bytes((size_t)std::min<uint64_t>((uint64_t)info.st_size, IN_MEMORY_MOST) + 1);
    size_t got = 0;
    while (got < bytes.size()) {
        if (!keepGoing()) {
            member.error = "interrupted";
            return;
        }
        size_t n = std::fread(bytes.data() + got, 1, std::min(CHUNK, bytes.size() - got), in.get());
        if (n == 0) break;
        got += n;
    }
    if (std::ferror(in.get())) {
        member.error = reason("cannot read", source);
        return;
    }
    sys::FileStatus after;
    if (got != (uint64_t)info.st_size || !sys::openFileStatus(in.get(), after) ||
        after.size != (uint64_t)info.st_size || after.modified != info.st_mtime) {
        member.error = source + " changed while it was read";
        return;
    }
    member.size = got;
    member.crc = updateCrc16(0, bytes.data(), (uint32_t)got);
    if (got > 0) {
        // One thread: this member is one of several packed at once.
        LhEncoder encoder(EncoderSettings{settings.dictionaryBits, settings.level, 1},
                          [&](const uint8_t* data, size_t length) {
                              if (member.data.size() < got) member.data.insert(member.data.end(), data, data + length);
                          });
        for (size_t at = 0; at < got && member.data.size() < got; at += CHUNK) {
            if (!keepGoing()) {
                member.error = "interrupted";
                return;
            }
            encoder.write(bytes.data() + at, std::min(CHUNK, got - at));
        }
        if (member.data.size() < got) encoder.finish();
        member.compressed = member.data.size() < got;
    }
    if (!member.compressed) {
        bytes.resize(got);
        member.data = std::move(bytes);
    }
}

bool ArchiveWriter::addPacked(const std::string& path, const struct stat& info, const PackedMember& member,
                              std::string& error)
{
    StoredName name;
    if (!storedNameOf(path, false, name, error)) return false;
    method = member.compressed ? methodOf(settings.dictionaryBits) : "-lh0-";
    if (!writeHeader(ftello(out), name, info, member.data.size(), member.size, member.crc, error)) return false;
    if (!member.data.empty() && std::fwrite(member.data.data(), 1, member.data.size(), out) != member.data.size())
        return writeFailed(error);
    return true;
}

bool ArchiveWriter::finish(std::string& error)
{
    if (std::fputc(0, out) == EOF || std::fflush(out) != 0 ||
        !sys::truncateFile(out, ftello(out))) {
        return writeFailed(error);
    }
    return true;
}
