// `quorsfx list` on archives written by jlha: every header level shows exactly the names,
// sizes, CRCs and times that went in.
#include <gtest/gtest.h>

#include "console_host.h"
#include "support/archives.h"

using namespace archives;

namespace {

// Shift-JIS names. 表 (0x95 0x5C) and ソ (0x83 0x5C) end in a byte that is a backslash in
// ASCII; a reader that takes it for a separator splits the name.
const std::string HYOUJI = "\x95\x5C\x8E\xA6";                // 表示
const std::string SOFUTO = "\x83\x5C\x83\x74\x83\x67";        // ソフト
const std::string SOOSU = "\x83\x5C\x81\x5B\x83\x58";         // ソース
const std::string HANKAKU_KANA = "\xB6\xC5";                   // ｶﾅ, single-byte characters

std::vector<Member> membersAtLevel(int level) {
    std::vector<Member> members = {
        {"-lh0-", level, SOME_TIME, "readme.txt", "Read me first.\r\n"},
        {"-lhd-", level, SOME_TIME + 2, "docs/", ""},
        {"-lh5-", level, SOME_TIME + 4, "docs/manual.txt", wordText(5000, 1)},
        {"-lh0-", level, SOME_TIME + 6, "empty.txt", ""},
        {"-lh5-", level, SOME_TIME + 8, "empty.bin", ""},
        {"-lh5-", level, 1709210096, HYOUJI + ".txt", wordText(700, 2)},  // 2024-02-29
        {"-lhd-", level, SOME_TIME, SOFUTO + "/", ""},
        {"-lh0-", level, 315532800, SOFUTO + "/" + SOOSU + ".c", "int main;\n"},  // 1980-01-01
        {"-lh5-", level, SOME_TIME, HANKAKU_KANA + ".dat", randomBytes(300, 3)},
    };
    // A long name makes a level-2 header of 256 bytes or more, whose length needs both of
    // its bytes (levels 0 and 1 hold no more than 255).
    if (level == 2) {
        members.push_back({"-lh5-", level, SOME_TIME, "long/" + std::string(230, 'n'), "tail"});
    }
    return members;
}

const std::vector<BuiltArchive>& builtArchives(std::string& error) {
    static std::string buildError;
    static std::vector<BuiltArchive> built = [] {
        std::vector<ArchivePlan> plans;
        for (int level = 0; level <= 2; level++) {
            plans.push_back({"list-level" + std::to_string(level) + ".lzh",
                             membersAtLevel(level)});
        }
        return makeArchives(plans, buildError);
    }();
    error = buildError;
    return built;
}

class ListTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        std::string missing = jlhaMissing();
        if (!missing.empty()) {
            GTEST_SKIP() << "cannot write test archives: " << missing;
        }
        ASSERT_EQ(toolMissing(), "");
    }
};

TEST_P(ListTest, ShowsEveryMemberAsItWentIn) {
    int level = GetParam();
    std::string error;
    const std::vector<BuiltArchive>& built = builtArchives(error);
    ASSERT_EQ(error, "");
    const BuiltArchive& archive = built.at(static_cast<size_t>(level));
    std::vector<Member> members = membersAtLevel(level);

    RunResult result = runTool({"list", archive.path});
    ASSERT_EQ(result.exitStatus, 0) << result.describe();
    Listing listing = parseListing(result.out);
    ASSERT_EQ(listing.problem, "") << result.out;
    ASSERT_EQ(listing.members.size(), members.size()) << result.out;

    uint64_t total = 0;
    for (size_t i = 0; i < members.size(); i++) {
        const Member& member = members[i];
        const ListedMember& listed = listing.members[i];
        SCOPED_TRACE("member " + std::to_string(i) + ": " + printable(member.name));
        EXPECT_EQ(listed.method, member.method);
        // Level 1 stores the packed size with the extended headers counted in; the
        // listing must show the packed data alone.
        EXPECT_EQ(listed.packedSize, archive.packedSizes[i]);
        EXPECT_EQ(listed.originalSize, member.content.size());
        EXPECT_EQ(listed.crc, hex4(crc16(member.content)));
        EXPECT_EQ(listed.level, static_cast<unsigned>(level));
        EXPECT_EQ(listed.time, isoTime(member.time));
        EXPECT_EQ(listed.name, sjisToUtf8(member.name));
        total += member.content.size();
    }
    EXPECT_EQ(listing.totalOriginalSize, total);
}

INSTANTIATE_TEST_SUITE_P(HeaderLevels, ListTest, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Level" + std::to_string(info.param);
                         });

TEST(ListFailures, MissingFileIsAnErrorWithStatusTwo) {
    ASSERT_EQ(toolMissing(), "");
    std::string folder = newTempFolder("list-missing");
    RunResult result = runTool({"list", folder + "/no-such.lzh"});
    EXPECT_EQ(result.exitStatus, 2) << result.describe();
    EXPECT_NE(result.err, "");
}

}  // namespace

// The progress line of the tool fits the terminal: a long name loses its middle.
TEST(ToolNames, TheProgressLineShortensANameInItsMiddleToTheTerminal)
{
    const std::tuple<std::string, size_t, std::string> cases[] = {
        {"short.txt", 9, "short.txt"},
        {"folder/deep/name.txt", 11, "fold....txt"},
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E/a", 7, "\xE6\x97\xA5.../a"},  // 日本語/a, 日 two columns
        {"abcdef", 2, "..."},
    };
    for (const auto& [name, columns, shown] : cases) EXPECT_EQ(fitColumns(name, columns), shown) << name;
}

// How the tool shows a name (tools/sjis.cpp); declared here, below the cases above, which
// use the test support's function of that name.
std::string printable(const std::string& utf8);

TEST(ToolNames, NoControlCharacterReachesTheTerminal) {
    // C0, DEL and the C1 controls (U+009B is CSI, as ESC [ is); other characters stay.
    const std::pair<std::string, std::string> cases[] = {
        {"a\x1B[2Jb", "a\\x1B[2Jb"},
        {"a\xC2\x9B" "2Jb", "a\\xC2\\x9B2Jb"},
        {"\xC2\xA0\xC3\xA9\x7F", "\xC2\xA0\xC3\xA9\\x7F"},
    };
    for (const auto& [name, shown] : cases) EXPECT_EQ(::printable(name), shown);
}
