// -lh2- and -lh3- streams from the test encoders (written from the format's description, not
// from our decoders) decode byte for byte through our decoders, and through a reader that
// nobody here wrote: the jlha library for -lh3-, unar for -lh2-. The inputs are those on which
// readers have parted: one byte repeated (matches of 287 bytes and a single distance code),
// matches before the -lh2- distance tree first grows, and data long enough to pass every
// growth point, to rebuild both adaptive trees and to fill blocks of 65,536 codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/archives.h"
#include "support/legacy_support.h"
#include "support/lz_encoders.h"
#include "support/lzh_writer.h"

using namespace legacy;

namespace {

struct Variant {
    const char* name;
    uint32_t methodIndex;
    lz::Lh3Options options;
};

const Variant VARIANTS[] = {
    {"-lh3-", LH3, {}},
    {"-lh3- in blocks of 1,000 codes", LH3, {1000, false}},
    {"-lh3- in blocks of one code", LH3, {1, false}},
    {"-lh3- with preset distance lengths", LH3, {65536, true}},
    {"-lh2-", LH2, {}},
};

// Runs of one byte, 300 to 1,000 long, some of them repeating an earlier run.
Bytes runs(size_t size)
{
    Bytes out;
    for (uint32_t i = 0; out.size() < size; ++i) out.insert(out.end(), 300 + i * 277 % 700, (uint8_t)(i % 5 * 51));
    out.resize(size);
    return out;
}

NamedInputs roundTripInputs()
{
    Bytes early = repetitiveBytes(40);  // repeats from byte 3 on
    Bytes tail = randomBytes(100000, 7);
    early.insert(early.end(), tail.begin(), tail.end());
    return {
        {"empty", Bytes()},
        {"one byte", Bytes(1, 'x')},
        {"200,000 zeros", Bytes(200000, 0)},
        {"70,000 bytes 0xA5", Bytes(70000, 0xA5)},
        {"runs", runs(300000)},
        {"matches in the first 64 bytes, then random", early},
        {"random", randomBytes(30000, 8)},
        {"mixed, 1 MiB", mixedBytes((1u << 20) + 7, 9)},
    };
}

struct Encoded {
    std::string name;
    uint32_t methodIndex;
    Bytes data;
    Bytes packed;
};

// `jlhaLimits`: -lh3- members only of what jlha's reader takes. It keeps match codes in 9
// bits, so code 285 + e above 511 (a match of 259 to 287 bytes) comes out 256 bytes short,
// and it fails on a block-size field of 0 (65,536 codes) once the block holds a match.
std::vector<Encoded> encodeAll(lz::Forms& lh3Forms, lz::Forms& lh2Forms, bool jlhaLimits = false)
{
    std::vector<Encoded> all;
    for (const auto& input : roundTripInputs()) {
        for (const Variant& v : VARIANTS) {
            lz::Lh3Options options = v.options;
            if (jlhaLimits) {
                options.blockCodes = std::min(options.blockCodes, 65535u);
                options.maxMatch = 258;
            }
            Bytes packed = v.methodIndex == LH3 ? lz::encodeLh3(input.second, options, &lh3Forms)
                                                : lz::encodeLh2(input.second, &lh2Forms);
            all.push_back({std::string(v.name) + ", " + input.first, v.methodIndex, input.second, packed});
        }
    }
    return all;
}

// Puts the members of `methodIndex` into one archive, with headers of level 0 or, when
// `level2` is set, alternately of level 0 and 2; has `reader` (given the archive and a folder)
// extract it, and compares the files.
void checkReader(const std::vector<Encoded>& all, uint32_t methodIndex, bool level2,
                 const std::string& readerName,
                 const std::function<std::vector<std::string>(const std::string&, const std::string&)>& reader)
{
    std::string archive;
    std::vector<size_t> members;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].methodIndex != methodIndex) continue;
        Member m;
        m.method = methodIdOf(methodIndex);
        m.name = "m" + std::to_string(i);
        m.data.assign(all[i].packed.begin(), all[i].packed.end());
        m.originalSize = (uint32_t)all[i].data.size();
        m.crcOverride = crc16Of(all[i].data);
        m.level = level2 && members.size() % 2 ? 2 : 0;
        // Some readers give up on time 0, which is no MS-DOS date (2009-10-26 00:00 instead).
        m.time = m.level == 2 ? (uint32_t)archives::SOME_TIME : 0x3B5A0000;
        std::string member = lzhMember(m);
        if (m.level == 0) {  // the header checksum, which the writer leaves 0 and readers check
            uint8_t sum = 0;
            for (size_t k = 2; k < 2u + (uint8_t)member[0]; ++k) sum = (uint8_t)(sum + (uint8_t)member[k]);
            member[1] = (char)sum;
        }
        archive += member;
        members.push_back(i);
    }
    archive += '\0';
    std::string folder = archives::newTempFolder(readerName);
    std::string path = folder + "/members.lzh";
    archives::writeFile(path, archive);
    archives::RunResult result = archives::run(reader(path, folder), "", 300);
    for (size_t i : members) {
        std::string got = archives::readFile(folder + "/m" + std::to_string(i));
        EXPECT_TRUE(got == std::string(all[i].data.begin(), all[i].data.end()))
            << readerName << " on " << all[i].name << ": " << got.size() << " bytes, expected "
            << all[i].data.size() << "; " << result.describe();
    }
}

}  // namespace

TEST(EncoderRoundTrip, OurDecodersReadWhatTheTestEncodersWrite)
{
    lz::Forms lh3, lh2;
    for (const Encoded& e : encodeAll(lh3, lh2)) {
        Decoded out = decode(e.methodIndex, e.packed, (uint32_t)e.data.size());
        EXPECT_FALSE(out.corrupt) << e.name;
        EXPECT_EQ(out.crc, crc16Of(e.data)) << e.name;
        EXPECT_TRUE(out.bytes == e.data) << e.name << ": output differs";
    }
    // The inputs reach every block form and every stage of the adaptive model.
    EXPECT_GT(lh3.blocksOf65536, 0u);
    EXPECT_GT(lh3.singleChar, 0u);
    EXPECT_GT(lh3.singleDist, 0u);
    EXPECT_GT(lh3.presetDist, 0u);
    EXPECT_GT(lh3.sentDist, 0u);
    EXPECT_GT(lh2.charRebuilds, 0u);
    EXPECT_GT(lh2.distRebuilds, 0u);
    EXPECT_EQ(lh2.distCodes, 128u);
}

TEST(EncoderRoundTrip, JlhaReadsTheLh3Members)
{
    std::string missing = archives::jlhaMissing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    lz::Forms ignored;
    const std::string program = std::string(QUOR_SOURCE_DIR) + "/tests/jlha/ExtractArchive.java";
    // jlha's reader takes none of these level-2 headers, so every member has a level-0 one.
    checkReader(encodeAll(ignored, ignored, true), LH3, false, "jlha",
                [&](const std::string& archive, const std::string& folder) {
                    return std::vector<std::string>{"java", "-cp", "/usr/share/java/jlha.jar", program,
                                                    archive, folder};
                });
}

TEST(EncoderRoundTrip, UnarReadsTheLh2Members)
{
    // unar is the one reader at hand whose -lh2- model is not jlha's (its -lh3- reader
    // crashes, and lhasa reads neither method).
    if (system("command -v unar >/dev/null 2>&1") != 0) GTEST_SKIP() << "unar is not installed";
    lz::Forms ignored;
    checkReader(encodeAll(ignored, ignored), LH2, true, "unar",
                [](const std::string& archive, const std::string& folder) {
                    return std::vector<std::string>{"unar", "-q", "-f", "-D", "-o", folder, archive};
                });
}
