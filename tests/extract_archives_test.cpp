// `quorsfx extract` and `quorsfx make` on archives written by jlha: every static-Huffman
// method and the stored method at every header level come out byte for byte with their
// times, also from a self-extractor, and a damaged member stops the walk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/archives.h"

// support/lzh_writer.h, whose Member is another than archives.h's.
uint16_t crc16Of(const std::string& data);

using namespace archives;

namespace {

struct MethodCase {
    const char* method;
    size_t dictionary;  // bytes of the sliding dictionary; members straddle it
};

void PrintTo(const MethodCase& method, std::ostream* out) {
    *out << method.method;
}

const MethodCase METHODS[] = {
    {"-lh0-", 8192}, {"-lh4-", 4096}, {"-lh5-", 8192}, {"-lh6-", 32768}, {"-lh7-", 65536},
};

// Over 1 MiB, so that the dictionary wraps many times and the read-ahead of packed data
// is refilled.
const size_t LARGE = 1200000;

std::string archiveName(const MethodCase& method, int level) {
    std::string id = method.method;
    return id.substr(1, 3) + "-level" + std::to_string(level) + ".lzh";
}

// Members and the times they carry; the folder entry is listed but has no time to check.
std::vector<Member> methodMembers(const MethodCase& method, int level) {
    const std::string m = method.method;
    const size_t dict = method.dictionary;
    return {
        {m, level, SOME_TIME, "size0.bin", ""},
        {m, level, SOME_TIME + 2, "size1.bin", "x"},
        {m, level, SOME_TIME + 4, "dictionary.txt", wordText(dict, 11)},
        {m, level, SOME_TIME + 6, "dictionary-plus-one.txt", wordText(dict + 1, 12)},
        {m, level, SOME_TIME + 8, "random.bin", randomBytes(3 * dict + 5, 13)},
        {"-lhd-", level, SOME_TIME, "folder/empty/", ""},
        {m, level, 1709210096, "folder/large.txt", wordText(LARGE, 14)},
    };
}

Tree expectedTree(const std::vector<Member>& members) {
    Tree tree;
    for (const Member& member : members) {
        std::string path = member.name;
        if (path.back() == '/') {
            path.pop_back();
        }
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            tree[path.substr(0, slash)] = "dir";
        }
        tree[path] = member.method == "-lhd-" ? "dir" : "file:" + member.content;
    }
    return tree;
}

// The second of three members carries a wrong CRC. Stored members keep this a test of the
// walk alone, whatever state the decoders are in.
std::vector<Member> damagedMembers() {
    return {
        {"-lh0-", 1, SOME_TIME, "first.txt", wordText(3000, 21)},
        {"-lh0-", 1, SOME_TIME, "second.txt", wordText(3000, 22), false, 0x1234},
        {"-lh0-", 1, SOME_TIME, "third.txt", wordText(3000, 23)},
    };
}

struct Built {
    std::vector<BuiltArchive> archives;
    std::string error;
    const BuiltArchive* find(const std::string& fileName) const {
        for (const BuiltArchive& archive : archives) {
            if (std::filesystem::path(archive.path).filename() == fileName) {
                return &archive;
            }
        }
        return nullptr;
    }
};

const Built& built() {
    static Built result = [] {
        std::vector<ArchivePlan> plans;
        for (const MethodCase& method : METHODS) {
            for (int level = 0; level <= 2; level++) {
                plans.push_back({archiveName(method, level), methodMembers(method, level)});
            }
        }
        plans.push_back({"damaged.lzh", damagedMembers()});
        Built b;
        b.archives = makeArchives(plans, b.error);
        return b;
    }();
    return result;
}

int64_t modificationTime(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_mtime) : -1;
}

void expectTimes(const std::vector<Member>& members, const std::string& dest) {
    for (const Member& member : members) {
        if (member.method != "-lhd-") {
            EXPECT_EQ(modificationTime(dest + "/" + member.name), member.time)
                << printable(member.name);
        }
    }
}

class ExtractArchives : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = jlhaMissing();
        if (!missing.empty()) {
            GTEST_SKIP() << "cannot write test archives: " << missing;
        }
        ASSERT_EQ(toolMissing(), "");
        ASSERT_EQ(built().error, "");
    }
};

class ExtractMethods : public ExtractArchives,
                       public ::testing::WithParamInterface<std::tuple<MethodCase, int>> {};

TEST_P(ExtractMethods, ReproducesEveryMemberWithItsTime) {
    const auto& [method, level] = GetParam();
    const BuiltArchive* archive = built().find(archiveName(method, level));
    ASSERT_NE(archive, nullptr);
    std::vector<Member> members = methodMembers(method, level);

    std::string dest = newTempFolder("extract") + "/dest";
    RunResult result = runTool({"extract", "-C", dest, archive->path});
    ASSERT_EQ(result.exitStatus, 0) << result.describe();
    EXPECT_EQ(diffTrees(expectedTree(members), readTree(dest)), "");
    expectTimes(members, dest);
}

INSTANTIATE_TEST_SUITE_P(
    StaticHuffmanAndStored, ExtractMethods,
    ::testing::Combine(::testing::ValuesIn(METHODS), ::testing::Values(0, 1, 2)),
    [](const ::testing::TestParamInfo<std::tuple<MethodCase, int>>& info) {
        std::string id = std::get<0>(info.param).method;
        return id.substr(1, 3) + "_level" + std::to_string(std::get<1>(info.param));
    });

TEST_F(ExtractArchives, DamagedMemberStopsTheWalkAndStaysOnDisk) {
    const BuiltArchive* archive = built().find("damaged.lzh");
    ASSERT_NE(archive, nullptr);
    std::vector<Member> members = damagedMembers();
    std::string dest = newTempFolder("damaged") + "/dest";

    RunResult result = runTool({"extract", "-C", dest, archive->path});
    EXPECT_EQ(result.exitStatus, 1) << result.describe();
    EXPECT_NE(result.err.find("second.txt"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("first.txt"), std::string::npos) << result.err;

    // The first member is finished with its time, the damaged one is kept as written (its
    // bytes are right, only the stored CRC is not), the third is never touched.
    Tree expected = {{"first.txt", "file:" + members[0].content},
                     {"second.txt", "file:" + members[1].content}};
    EXPECT_EQ(diffTrees(expected, readTree(dest)), "");
    EXPECT_EQ(modificationTime(dest + "/first.txt"), members[0].time);
}

// The walk stops at a header it cannot read; the members behind it are lost, so the tool says
// where and exits 1. An archive that ends cleanly where a header would start is no failure,
// and neither are the level-2 headers of the OS-9/68K port of LHA, which store their length
// two bytes short and carry the OS id 'K'.
TEST_F(ExtractArchives, ABrokenHeaderFailsTheRunWhereACleanEndDoesNot) {
    const MethodCase& stored = METHODS[0];
    const BuiltArchive* archive = built().find(archiveName(stored, 2));
    ASSERT_NE(archive, nullptr);
    const std::vector<Member> members = methodMembers(stored, 2);
    const std::string good = readFile(archive->path);
    std::vector<size_t> starts;  // level 2: the first two bytes are the header's length
    auto le16 = [&](size_t at) { return (uint8_t)good[at] | (uint8_t)good[at + 1] << 8; };
    for (size_t at = 0; at < good.size() && good[at] != 0;
         at += le16(at) + (le16(at + 7) | (size_t)le16(at + 9) << 16)) {
        starts.push_back(at);
    }
    ASSERT_EQ(starts.size(), members.size());

    std::string os9 = good;
    for (size_t at : starts) {
        os9[at + 23] = 'K';
        uint32_t length = le16(at) - 2;
        os9[at] = (char)(length & 0xFF);
        os9[at + 1] = (char)(length >> 8);
        // The header CRC (extended header 0x00) covers the whole header, its two uncounted
        // bytes too, as lhasa checks it: computed again for the changed bytes.
        for (size_t next = at + 24, size = le16(next); size != 0; next += size, size = le16(next)) {
            if (good[next + 2] != 0) continue;
            os9[next + 3] = os9[next + 4] = 0;
            uint16_t crc = crc16Of(os9.substr(at, le16(at)));
            os9[next + 3] = (char)(crc & 0xFF);
            os9[next + 4] = (char)(crc >> 8);
        }
    }
    std::string badChain = good;
    badChain[starts[2] + 25] = 0x7F;  // the first extended header runs past the header
    struct Case {
        const char* what;
        std::string bytes;
        size_t membersKept;
        long brokenAt;  // -1: a clean end
    } cases[] = {
        {"the end mark", good, members.size(), -1},
        {"the end of the file behind the last member", good.substr(0, good.size() - 1),
         members.size(), -1},
        {"OS-9/68K headers", os9, members.size(), -1},
        {"a header cut off", good.substr(0, starts[2] + 10), 2, (long)starts[2]},
        {"an extended header leaving its header", badChain, 2, (long)starts[2]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string folder = newTempFolder("headers");
        writeFile(folder + "/archive.lzh", c.bytes);
        RunResult result = runTool({"extract", "-C", folder + "/dest", folder + "/archive.lzh"});
        EXPECT_EQ(result.exitStatus, c.brokenAt < 0 ? 0 : 1) << result.describe();
        if (c.brokenAt < 0) {
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_NE(result.err.find("offset " + std::to_string(c.brokenAt) + " "), std::string::npos)
                << result.err;
        }
        std::vector<Member> kept(members.begin(), members.begin() + (long)c.membersKept);
        EXPECT_EQ(diffTrees(expectedTree(kept), readTree(folder + "/dest")), "");
        RunResult listed = runTool({"list", folder + "/archive.lzh"});
        EXPECT_EQ(listed.exitStatus, result.exitStatus) << listed.describe();
        EXPECT_EQ(parseListing(listed.out).members.size(), c.membersKept) << listed.out;
    }
}

// Levels 0 and 1 store MS-DOS times, which are local time: east of UTC the same stamp is an
// earlier instant. Level 2 stores Unix time, which no zone changes.
TEST_F(ExtractArchives, DosTimesAreReadAsLocalTime) {
    for (int level = 0; level <= 2; level++) {
        SCOPED_TRACE("level " + std::to_string(level));
        const BuiltArchive* archive = built().find(archiveName(METHODS[0], level));
        ASSERT_NE(archive, nullptr);
        std::string dest = newTempFolder("zone") + "/dest";
        RunResult result = run({toolPath(), "extract", "-C", dest, archive->path}, "", 60,
                               {"TZ=JST-9"});
        ASSERT_EQ(result.exitStatus, 0) << result.describe();
        int64_t shift = level == 2 ? 0 : 9 * 3600;
        EXPECT_EQ(modificationTime(dest + "/size1.bin"), SOME_TIME + 2 - shift);
        EXPECT_EQ(modificationTime(dest + "/folder/large.txt"), 1709210096 - shift);
    }
}

// A stub of `size` bytes: "MZ", the mark at offset 36 that tells a self-extractor from any
// other Windows program, and `filler`.
std::string markedStub(size_t size, const std::string& filler) {
    std::string bytes = "MZ" + filler.substr(0, 34) + "LHA's SFX " + filler.substr(34);
    bytes.resize(size, 'x');
    return bytes;
}

// A self-extractor: a stub of its own bytes, the configuration block at 32768, the archive.
class SelfExtractor : public ExtractArchives {
protected:
    void SetUp() override {
        ExtractArchives::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        folder = newTempFolder("sfx");
        stub = folder + "/stub.exe";
        writeFile(stub, markedStub(20002, randomBytes(20000, 31)));
        archive = built().find(archiveName(METHODS[2], 1));
        ASSERT_NE(archive, nullptr);
        out = folder + "/out.exe";
    }

    // A refused `make`: one line on stderr, status 2, no file left behind.
    void expectRefused(const std::vector<std::string>& options, const std::string& why) {
        std::vector<std::string> args = {"make", "-o", out, "--stub", stub};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(archive->path);
        RunResult result = runTool(args);
        EXPECT_EQ(result.exitStatus, 2) << why << ": " << result.describe();
        EXPECT_FALSE(result.err.empty()) << why;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << why << ": "
                                                                              << result.err;
        EXPECT_FALSE(std::filesystem::exists(out)) << why;
        std::filesystem::remove(out);
    }

    std::string folder, stub, out;
    const BuiltArchive* archive = nullptr;
};

TEST_F(SelfExtractor, WithoutConfigurationExtractsLikeTheBareArchive) {
    RunResult made = runTool({"make", "-o", out, "--stub", stub, "--no-config", archive->path});
    ASSERT_EQ(made.exitStatus, 0) << made.describe();

    std::string bytes = readFile(out);
    std::string archiveBytes = readFile(archive->path);
    ASSERT_EQ(bytes.size(), 32768 + 1 + archiveBytes.size());
    EXPECT_EQ(bytes.substr(0, 20002), readFile(stub));
    EXPECT_EQ(bytes.substr(20002, 32768 - 20002), std::string(32768 - 20002, '\0'));
    EXPECT_EQ(bytes[32768], '\0');  // the block is the single byte 0
    EXPECT_EQ(bytes.substr(32769), archiveBytes);

    std::string dest = folder + "/dest";
    RunResult result = runTool({"extract", "-C", dest, out});
    ASSERT_EQ(result.exitStatus, 0) << result.describe();
    std::vector<Member> members = methodMembers(METHODS[2], 1);
    EXPECT_EQ(diffTrees(expectedTree(members), readTree(dest)), "");
    expectTimes(members, dest);
}

TEST_F(SelfExtractor, ConfigurationBlockIsReadBackAndSkipped) {
    // 表 has a 0x5C second byte; the block must carry the Shift-JIS bytes unchanged. Code page
    // 932 has no é: that text is stored as the mark EF BB BF and UTF-8.
    RunResult made = runTool({"make", "-o", out, "--stub", stub, "--title", "表示テスト",
                              "--destination", "Viewer", "--under-program-files",
                              "--shortcut-target", "viewer.exe", "--start-menu", "3",
                              "--desktop", "1", "--send-to", "0", "--run", "readme.txt",
                              "--shortcut-name", "café", archive->path});
    ASSERT_EQ(made.exitStatus, 0) << made.describe();
    std::string bytes = readFile(out);
    EXPECT_EQ(bytes.substr(32768, 12), "\x01\x0A\x95\x5C\x8E\xA6\x83\x65\x83\x58\x83\x67");
    size_t blockSize = 1 + 11 + 1 + 7 + 11 + 3 + 11 + 9;
    EXPECT_EQ(bytes.substr(32768 + blockSize - 9, 9), "\x08\xEF\xBB\xBF" "caf\xC3\xA9");

    RunResult info = runTool({"info", out});
    ASSERT_EQ(info.exitStatus, 0) << info.describe();
    for (const char* line :
         {"configuration block: present\n", "title: 表示テスト\n", "under program files: yes\n",
          "destination: Viewer\n", "shortcut target: viewer.exe\n", "start menu flags: 3\n",
          "desktop flags: 1\n", "send to flags: 0\n", "program to run: readme.txt\n",
          "shortcut name: café\n"}) {
        EXPECT_NE(info.out.find(line), std::string::npos) << line << "in:\n" << info.out;
    }
    EXPECT_NE(info.out.find("archive offset: " + std::to_string(32768 + blockSize) + "\n"),
              std::string::npos)
        << info.out;

    std::string dest = folder + "/dest";
    RunResult result = runTool({"extract", "-C", dest, out});
    ASSERT_EQ(result.exitStatus, 0) << result.describe();
    EXPECT_EQ(diffTrees(expectedTree(methodMembers(METHODS[2], 1)), readTree(dest)), "");
}

TEST_F(SelfExtractor, MakeRefusesWhatTheStubCannotCarry) {
    writeFile(stub, markedStub(32769, std::string(34, 'x')));
    expectRefused({"--no-config"}, "a stub of 32769 bytes");
    writeFile(stub, "MZ" + std::string(32766, 'x'));
    expectRefused({"--no-config"}, "a stub without the mark at offset 36");
    writeFile(stub, markedStub(32768, std::string(34, 'x')));  // exactly 32768 bytes still fits
    writeFile(folder + "/notes.lzh", "no archive\n");
    RunResult notArchive = runTool({"make", "-o", out, "--stub", stub, folder + "/notes.lzh"});
    EXPECT_EQ(notArchive.exitStatus, 2) << notArchive.describe();
    EXPECT_FALSE(std::filesystem::exists(out));

    // A text Shift-JIS cannot hold is stored as the mark EF BB BF and UTF-8: 64 emoji take
    // 3 + 256 bytes.
    std::string emoji64;
    for (int i = 0; i < 64; i++) {
        emoji64 += "\xF0\x9F\x98\x80";
    }
    expectRefused({"--title", emoji64}, "a UTF-8 title of 259 bytes with its mark");
    expectRefused({"--title", "\xC3\x28"}, "a title that is not UTF-8");
    expectRefused({"--shortcut-name", std::string(256, 'a')}, "a name of 256 bytes");
    std::string kanji256;  // 128 kanji: 384 bytes of UTF-8, 256 of Shift-JIS
    for (int i = 0; i < 128; i++) {
        kanji256 += "漢";
    }
    expectRefused({"--destination", kanji256}, "a destination of 256 Shift-JIS bytes");

    // The longest text that fits, counted in Shift-JIS bytes, is taken.
    std::string kanji255 = kanji256.substr(0, kanji256.size() - 3) + "a";
    RunResult made = runTool({"make", "-o", out, "--stub", stub, "--title", kanji255,
                              archive->path});
    EXPECT_EQ(made.exitStatus, 0) << made.describe();
    EXPECT_EQ(readFile(out).size() > 32768 + 256, true);
}

}  // namespace
