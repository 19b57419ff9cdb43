// -lh1- and -lh2-: the adaptive model must follow the encoder update for update, so members
// packed by jlha are the test: sizes around the distance-tree growth thresholds, members long
// enough to rebuild both trees several times, and data of every kind. Damaged data must stay
// inside the node arrays, and each member starts from a fresh model.
#include <gtest/gtest.h>

#include "decode/frame.h"
#include "support/archives.h"
#include "support/legacy_support.h"

using namespace legacy;

namespace {

// Random bytes up to `prefix`, then repeats that the encoder codes as matches: the first
// distance is read with exactly `prefix` bytes produced.
Bytes repeatAfter(size_t prefix, uint32_t seed)
{
    Bytes out = randomBytes(prefix, seed);
    for (int round = 0; round < 3; ++round) {
        size_t from = out.size() - std::min<size_t>(out.size(), 1000);
        for (size_t i = 0; i < 40; ++i) out.push_back(out[from + i]);
        Bytes tail = randomBytes(30, seed + (uint32_t)round);
        out.insert(out.end(), tail.begin(), tail.end());
    }
    return out;
}

// Short tokens drawn from a small set: almost every item is a match of 3 to 6 bytes, so the
// distance tree counts far more than 0x8000 updates and is rebuilt several times.
Bytes shortMatches(size_t size, uint32_t seed)
{
    Bytes vocabulary = randomBytes(600, seed);
    Bytes picks = randomBytes(size, seed + 1);
    Bytes out;
    for (size_t i = 0; out.size() < size; ++i) {
        size_t token = picks[i] % 150;
        size_t length = 3 + picks[i] % 4;
        out.insert(out.end(), vocabulary.begin() + (long)(token * 4),
                   vocabulary.begin() + (long)(token * 4 + length));
    }
    out.resize(size);
    return out;
}

NamedInputs adaptiveInputs()
{
    NamedInputs inputs = commonInputs(20);
    inputs.push_back({"leading spaces", Bytes(200, ' ')});
    inputs.push_back({"short matches, several tree rebuilds", shortMatches(400000, 26)});
    // The first distance leaf comes once more than 64 bytes were produced, the last (code
    // 127) once more than 8,128, and growth stops at 8,192.
    for (size_t prefix : {62, 63, 64, 65, 66, 127, 128, 129, 8127, 8128, 8129, 8191, 8192, 8193})
        inputs.push_back({"first match after " + std::to_string(prefix) + " bytes",
                          repeatAfter(prefix, (uint32_t)prefix)});
    return inputs;
}

// jlha's -lh2- model differs from the one every other -lh2- reader follows in one point:
// it counts the uses of distance code 0 while that code is the tree's only leaf. Its members
// agree with the common model only when no match comes before the first split, so each
// -lh2- input starts with 80 random bytes (the same sizes as the -lh1- inputs).
Bytes withoutEarlyMatches(const Bytes& data)
{
    const size_t prefix = 80;
    Bytes out = randomBytes(std::min(data.size(), prefix), 99);
    if (data.size() > prefix) out.insert(out.end(), data.begin() + (long)prefix, data.end());
    return out;
}

}  // namespace

TEST(AdaptiveMethods, MembersPackedByJlhaDecodeExactly)
{
    std::vector<std::pair<uint32_t, Bytes>> request;
    std::vector<std::string> names;
    for (uint32_t method : {LH1, LH2}) {
        for (const auto& input : adaptiveInputs()) {
            bool keep = method == LH1 || input.first.compare(0, 11, "first match") == 0;
            request.push_back({method, keep ? input.second : withoutEarlyMatches(input.second)});
            names.push_back(std::string(methodIdOf(method)) + " " + input.first);
        }
    }
    std::vector<PackedMember> members = packWithJlha(request);
    for (size_t i = 0; i < members.size(); ++i)
        EXPECT_TRUE(decodesTo(members[i], request[i].second)) << names[i];
}

TEST(AdaptiveMethods, DamagedDataStaysInsideTheModelAndTheNextMemberStartsFresh)
{
    std::vector<std::pair<uint32_t, Bytes>> request = {
        {LH1, mixedBytes(20000, 31)}, {LH2, withoutEarlyMatches(mixedBytes(20000, 32))}};
    std::vector<PackedMember> members = packWithJlha(request);
    for (const PackedMember& m : members) {
        for (uint32_t seed = 0; seed < 4; ++seed) {
            // Garbage packed data, long enough to grow, rebuild and walk deep trees, and a
            // member whose packed data is cut short: each ends as damaged once its data is
            // used up, short of the size its header claims.
            Decoded junk = decode(m.methodIndex, randomBytes(20000, 50 + seed), 150000);
            EXPECT_TRUE(junk.corrupt);
            EXPECT_LT(junk.bytes.size(), 150000u + 288);
            Bytes cut(m.packed.begin(), m.packed.begin() + (long)(m.packed.size() / 2));
            Decoded truncated = decode(m.methodIndex, cut, 100000);
            EXPECT_TRUE(truncated.corrupt);
            EXPECT_LT(truncated.bytes.size(), 100000u);

            EXPECT_TRUE(decodesTo(m, request[m.methodIndex - 1].second))
                << methodIdOf(m.methodIndex) << " after a damaged member";
        }
    }
}

TEST(AdaptiveMethods, Lh2CountsNoUsesOfTheSingleDistanceLeafLikeUnar)
{
    // Members with matches before byte 64, where jlha's model and ours part: the bytes must
    // be those of unar, an independent -lh2- reader, and differ from jlha's input, so the
    // case really reaches the point where the models part. Random bytes follow, so that
    // unar's reader, which stops at the end of the packed data, reads to the end.
    if (system("command -v unar >/dev/null 2>&1") != 0) GTEST_SKIP() << "unar is not installed";
    std::vector<std::pair<uint32_t, Bytes>> request;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        Bytes data = repetitiveBytes(600);
        Bytes tail = randomBytes(200000, seed);
        data.insert(data.end(), tail.begin(), tail.end());
        request.push_back({LH2, data});
    }
    std::string archive;
    std::vector<PackedMember> members = packWithJlha(request, &archive);
    std::string folder = archives::newTempFolder("unar");
    archives::RunResult unar =
        archives::run({"unar", "-q", "-f", "-D", "-o", folder, archive}, "", 120);
    for (size_t i = 0; i < members.size(); ++i) {
        std::string expected = archives::readFile(folder + "/m" + std::to_string(i));
        ASSERT_EQ(expected.size(), members[i].originalSize) << unar.describe();
        Decoded out = decode(LH2, members[i].packed, members[i].originalSize);
        EXPECT_TRUE(out.bytes == Bytes(expected.begin(), expected.end())) << "member " << i;
        EXPECT_NE(out.crc, members[i].crc) << "member " << i << " never used the single leaf";
    }
}

TEST(AdaptiveMethods, EveryBlockNumberIsFilledInAtTheStartOfAMember)
{
    // Block numbers are handed out from freeBlocks; all 884 entries hold their own number,
    // whatever the previous member left there.
    for (uint32_t method : {LH1, LH2}) {
        for (uint32_t i = 0; i < ADAPTIVE_NODES; ++i) decoder.freeBlocks[i] = 0xFFFF;
        decode(method, Bytes(), 0);
        for (uint32_t i = 0; i < ADAPTIVE_NODES; ++i)
            ASSERT_EQ(decoder.freeBlocks[i], i) << methodIdOf(method) << " entry " << i;
    }
}
