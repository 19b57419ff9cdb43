#include "support/legacy_support.h"

#include <stdio.h>

#include <algorithm>
#include <stdexcept>

#include "decode/frame.h"
#include "support/archives.h"
#include "support/block_streams.h"

namespace legacy {

uint32_t dictBitsOf(uint32_t methodIndex) { return blocks::dictBitsOf(methodIndex); }

const char* methodIdOf(uint32_t methodIndex)
{
    switch (methodIndex) {
    case LH1: return "-lh1-";
    case LH2: return "-lh2-";
    case LH3: return "-lh3-";
    case LZS: return "-lzs-";
    case LZ5: return "-lz5-";
    }
    throw std::invalid_argument("not a legacy method");
}

static uint32_t le32(const std::string& b, size_t at)
{
    return (uint8_t)b[at] | (uint8_t)b[at + 1] << 8 | (uint8_t)b[at + 2] << 16 |
           (uint32_t)(uint8_t)b[at + 3] << 24;
}

// Level-0 member header: size, checksum, method (5), packed size, original size, time,
// attribute, level, name length, name, CRC-16; the packed data follows the header.
static std::vector<PackedMember> readLevel0Archive(const std::string& archive)
{
    std::vector<PackedMember> members;
    size_t at = 0;
    while (at + 22 < archive.size() && archive[at] != 0) {
        size_t headerSize = (uint8_t)archive[at];
        size_t nameLength = (uint8_t)archive[at + 21];
        if (at + 2 + headerSize > archive.size() || archive[at + 20] != 0 ||
            headerSize < 22 + nameLength)
            throw std::runtime_error("unexpected header in the jlha archive");
        PackedMember m;
        std::string method = archive.substr(at + 2, 5);
        m.methodIndex = 0;
        for (uint32_t index : {LH1, LH2, LH3, LZS, LZ5})
            if (method == methodIdOf(index)) m.methodIndex = index;
        uint32_t packedSize = le32(archive, at + 7);
        m.originalSize = le32(archive, at + 11);
        m.crc = (uint16_t)((uint8_t)archive[at + 22 + nameLength] |
                           (uint8_t)archive[at + 23 + nameLength] << 8);
        size_t data = at + 2 + headerSize;
        if (data + packedSize > archive.size()) throw std::runtime_error("short jlha archive");
        m.packed.assign(archive.begin() + (long)data, archive.begin() + (long)(data + packedSize));
        members.push_back(std::move(m));
        at = data + packedSize;
    }
    return members;
}

std::vector<PackedMember> packWithJlha(const std::vector<std::pair<uint32_t, Bytes>>& items,
                                       std::string* archivePath)
{
    archives::ArchivePlan archive;
    archive.fileName = "legacy-methods.lzh";
    for (size_t i = 0; i < items.size(); ++i) {
        archives::Member member;
        member.method = methodIdOf(items[i].first);
        member.level = 0;
        member.name = "m" + std::to_string(i);
        member.content.assign(items[i].second.begin(), items[i].second.end());
        archive.members.push_back(member);
    }
    std::string error;
    std::vector<archives::BuiltArchive> built = archives::makeArchives({archive}, error);
    if (built.empty()) throw std::runtime_error("jlha: " + error);
    std::vector<PackedMember> members = readLevel0Archive(archives::readFile(built[0].path));
    if (members.size() != items.size()) throw std::runtime_error("jlha archive lacks members");
    if (archivePath) *archivePath = built[0].path;
    return members;
}

Decoded decode(uint32_t methodIndex, const Bytes& packed, uint32_t originalSize,
               const Bytes& trailing)
{
    blocks::Outcome run = blocks::runJob(methodIndex, packed, originalSize, 0, nullptr, 0, trailing);
    Decoded result;
    result.crc = run.crc;
    result.corrupt = run.corrupt;
    result.bytes = run.out;
    return result;
}

uint16_t crc16Of(const Bytes& data)
{
    return archives::crc16(std::string(data.begin(), data.end()));
}

::testing::AssertionResult decodesTo(const PackedMember& member, const Bytes& expected)
{
    Decoded out = decode(member.methodIndex, member.packed, member.originalSize);
    if (out.corrupt) return ::testing::AssertionFailure() << "marked damaged";
    if (out.crc != member.crc)
        return ::testing::AssertionFailure() << "CRC " << out.crc << ", header " << member.crc;
    if (out.bytes != expected) {
        size_t at = 0;
        while (at < out.bytes.size() && at < expected.size() && out.bytes[at] == expected[at]) ++at;
        return ::testing::AssertionFailure() << out.bytes.size() << " bytes, expected "
                                             << expected.size() << ", first difference at " << at;
    }
    return ::testing::AssertionSuccess();
}

namespace {
struct Rng {
    uint32_t s;
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};
}  // namespace

Bytes randomBytes(size_t size, uint32_t seed)
{
    std::string bytes = archives::randomBytes(size, seed);
    return Bytes(bytes.begin(), bytes.end());
}

Bytes mixedBytes(size_t size, uint32_t seed)
{
    static const char* const words[] = {"extract ", "member ", "header ", "dictionary ",
                                        "the ", "of ", "Huffman ", "block\n", "0x20 ",
                                        "self-extracting ", "archive ", "CRC "};
    Rng rng{seed * 2654435761u + 7};
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        uint32_t kind = rng.next() % 8;
        if (kind < 4) {  // text
            for (uint32_t n = 4 + rng.next() % 40; n; --n)
                for (const char* w = words[rng.next() % 12]; *w; ++w) out.push_back((uint8_t)*w);
        } else if (kind == 4) {  // a run of one byte
            out.insert(out.end(), 10 + rng.next() % 400, (uint8_t)rng.next());
        } else if (kind == 5 && out.size() > 300) {  // a repeat of something earlier
            size_t length = 3 + rng.next() % 300;
            size_t from = out.size() - 1 - rng.next() % std::min<size_t>(out.size() - length, 60000);
            for (size_t i = 0; i < length; ++i) out.push_back(out[from + i]);
        } else {  // random bytes
            for (uint32_t n = 1 + rng.next() % 200; n; --n) out.push_back((uint8_t)(rng.next() >> 24));
        }
    }
    out.resize(size);
    return out;
}

Bytes repetitiveBytes(size_t size)
{
    static const char pattern[] = "abcabcabd aaaaaaaaaaaaaaaaaaaaa ";
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = (uint8_t)pattern[(i * 7 / 5) % (sizeof pattern - 1)];
    return out;
}

NamedInputs commonInputs(uint32_t seed)
{
    return {
        {"empty", Bytes()},
        {"one byte", Bytes(1, 'x')},
        {"64 bytes", mixedBytes(64, seed + 1)},
        {"65 bytes", mixedBytes(65, seed + 2)},
        {"8,128 bytes", mixedBytes(8128, seed + 3)},
        {"8,192 bytes", mixedBytes(8192, seed + 4)},
        {"repetitive", repetitiveBytes(200000)},
        {"random", randomBytes(100000, seed + 5)},
        {"mixed, several MiB", mixedBytes(3 * 1024 * 1024 + 5, seed + 6)},
    };
}

}  // namespace legacy
