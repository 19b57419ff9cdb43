// The walk over an archive through the recording host: order of messages, CRC failures,
// aborts, directory entries and skipped members.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "extract/extraction.h"
#include "extract/progress.h"
#include "support/fake_host.h"
#include "support/lzh_writer.h"

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Walk : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        previous = fs::current_path();
        root = fs::temp_directory_path() /
               ("quor-walk-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "dest");
        RunFlag = 1;
    }
    void TearDown() override
    {
        fs::current_path(previous);
        fs::remove_all(root);
        RunFlag = 1;
        resetProgress(nullptr, 0);  // the walk reported to this test's host
    }
    // Runs the whole walk over `archive` into root/dest.
    void extract(const std::string& archive)
    {
        sfx.ownFile = fileWith(archive);
        std::string dest = (root / "dest").string();
        sfx.setDestination(dest.c_str());
        ASSERT_TRUE(startExtraction(sfx));
        fs::current_path(previous);
    }
    fs::path previous, root;
    FakeHost host;
    SfxExtractor sfx{&host};
};

Member stored(const std::string& name, const std::string& data, int level = 0)
{
    Member m;
    m.name = name;
    m.data = data;
    m.level = level;
    m.time = (30u << 25) | (6u << 21) | (15u << 16) | (12u << 11);  // 2010-06-15 12:00:00
    return m;
}

const int32_t JUNE_15_2010_NOON = 1276603200;

}  // namespace

TEST_F(Walk, MessagesComeInOrderAndTimesAreSet)
{
    Member dir;
    dir.method = "-lhd-";
    dir.level = 2;
    dir.directory = "docs\xFF";
    std::string archive = lzhMember(dir) + lzhMember(stored("docs\\a.txt", "abc")) +
                          lzhMember(stored("b.txt", std::string(997, 'b'), 1)) + std::string("\0", 1);
    extract(archive);
    std::string d = (root / "dest").string();
    std::string shellDest = d;  // the shell gets '\\' separators throughout
    for (char& c : shellDest)
        if (c == '/') c = '\\';
    EXPECT_EQ(host.calls, (std::vector<std::string>{
                              "probe " + d + "/",  // the rights, before anything is made
                              "enter " + d,
                              "thread",
                              "entry docs/",
                              "mkdir docs",
                              "shell-mkdir docs",
                              "shell-create " + shellDest + "\\docs\\",
                              "entry docs/a.txt",
                              "time docs/a.txt " + std::to_string(JUNE_15_2010_NOON),
                              "shell-create " + shellDest + "\\docs\\a.txt",
                              "entry b.txt",
                              "bar 100",
                              "time b.txt " + std::to_string(JUNE_15_2010_NOON),
                              "shell-create " + shellDest + "\\b.txt",
                              "ended done",
                          }));
    EXPECT_EQ(contents(root / "dest/docs/a.txt"), "abc");
    EXPECT_EQ(fs::file_size(root / "dest/b.txt"), 997u);
    struct stat st;
    ASSERT_EQ(stat((root / "dest/b.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, JUNE_15_2010_NOON);
    EXPECT_FALSE(sfx.failed);
}

TEST_F(Walk, ACrcMismatchInTheSecondOfThreeStopsTheWalk)
{
    Member bad = stored("second", "22222");
    bad.crcOverride = 0x1234;
    extract(lzhMember(stored("first", "1")) + lzhMember(bad) + lzhMember(stored("third", "333")));
    EXPECT_TRUE(sfx.failed);
    EXPECT_EQ(host.only("damaged"), std::vector<std::string>{"damaged second"});
    EXPECT_EQ(host.calls.back(), "ended done");
    EXPECT_EQ(contents(root / "dest/first"), "1");
    EXPECT_EQ(contents(root / "dest/second"), "22222");  // the damaged file stays
    EXPECT_FALSE(fs::exists(root / "dest/third"));
    EXPECT_EQ(host.only("time").size(), 1u);
    EXPECT_EQ(host.only("shell-create").size(), 1u);
}

TEST_F(Walk, AnAbortDeletesThePartialFileAndKeepsTheFinishedOnes)
{
    host.onBar = [](uint32_t position) {
        if (position >= 60) RunFlag = 0;
    };
    extract(lzhMember(stored("small", std::string(1000, 's'))) +
            lzhMember(stored("large", std::string(1000000, 'L'))) + lzhMember(stored("never", "n")));
    EXPECT_TRUE(sfx.failed);
    EXPECT_EQ(host.calls.back(), "ended aborted");
    EXPECT_TRUE(fs::exists(root / "dest/small"));
    EXPECT_FALSE(fs::exists(root / "dest/large"));
    EXPECT_FALSE(fs::exists(root / "dest/never"));
    EXPECT_STREQ(sfx.currentOutputPath.get(), "large");
    // The copy stopped at the block where the flag fell (the first at 60 % or more: 64 KiB
    // blocks step the bar from 59 to 65), not at the end of the member.
    EXPECT_EQ(host.only("bar").back(), "bar 65");
}

TEST_F(Walk, UnknownMethodsAreSkippedButCounted)
{
    Member odd = stored("odd", std::string(500, 'o'));
    odd.method = "-lhx-";
    extract(lzhMember(odd) + lzhMember(stored("next", std::string(500, 'n'))));
    EXPECT_FALSE(fs::exists(root / "dest/odd"));
    EXPECT_EQ(contents(root / "dest/next"), std::string(500, 'n'));
    EXPECT_EQ(host.only("bar"), std::vector<std::string>{"bar 100"});  // 500 done before "next"
    EXPECT_EQ(host.only("shell-create").size(), 2u);
    // The walk goes on, but a member is lost: the run has failed, and the host knows which.
    EXPECT_TRUE(sfx.failed);
    EXPECT_EQ(host.only("skipped"), std::vector<std::string>{"skipped-method odd"});
}

TEST_F(Walk, ABrokenHeaderBehindAMemberFailsTheRunAndSaysWhere)
{
    // The second header is cut off inside: the first member stays, the walk ends there, and
    // the run is no success. An end of the file right behind a member is a clean end.
    std::string first = lzhMember(stored("first.txt", "one"));
    std::string second = lzhMember(stored("second.txt", "two"));
    extract(first + second.substr(0, 10));
    EXPECT_EQ(contents(root / "dest/first.txt"), "one");
    EXPECT_TRUE(sfx.failed);
    EXPECT_EQ(host.only("broken-header"),
              std::vector<std::string>{"broken-header 1 at " + std::to_string(first.size())});
    EXPECT_EQ(host.calls.back(), "ended done");
}

TEST_F(Walk, AnEmptyStoredMemberNamedLikeAFolderMakesTheFolder)
{
    // LHA for the Amiga stores empty folders so; data under such a name names no file.
    extract(lzhMember(stored("empty\\", "")) + lzhMember(stored("full\\", "data")) +
            lzhMember(stored("after.txt", "x")));
    EXPECT_TRUE(fs::is_directory(root / "dest/empty"));
    EXPECT_EQ(contents(root / "dest/after.txt"), "x");
    EXPECT_EQ(host.only("skipped"), std::vector<std::string>{"skipped-file full/"});
    EXPECT_TRUE(sfx.failed);
}

TEST_F(Walk, MembersWithoutCrcAreNeverDamagedAndEmptyMembersAreEmptyFiles)
{
    Member plain = stored("plain", "data");
    plain.withCrc = false;
    plain.crcOverride = 0x9999;
    extract(lzhMember(plain) + lzhMember(stored("empty", "")));
    EXPECT_FALSE(sfx.failed);
    EXPECT_EQ(contents(root / "dest/plain"), "data");
    EXPECT_TRUE(fs::exists(root / "dest/empty"));
    EXPECT_EQ(fs::file_size(root / "dest/empty"), 0u);
}

TEST_F(Walk, AnExistingFileIsReplacedAndAnUnwritableOneSkipped)
{
    std::ofstream(root / "dest/old") << "previous contents that are longer";
    fs::create_directories(root / "dest/folder");
    extract(lzhMember(stored("old", "new")) + lzhMember(stored("folder", "x")) +
            lzhMember(stored("after", "y")));
    EXPECT_EQ(contents(root / "dest/old"), "new");
    EXPECT_TRUE(fs::is_directory(root / "dest/folder"));  // a folder is not removed
    EXPECT_EQ(contents(root / "dest/after"), "y");
    EXPECT_TRUE(sfx.failed);
    EXPECT_EQ(host.only("skipped"), std::vector<std::string>{"skipped-file folder"});
}

TEST_F(Walk, NamesWindowsWouldChangeAreRefusedThereAndLongPathsFailAlone)
{
    // On Windows each of these would reach a device, a hidden stream or another name; Linux
    // stores them as they are. A part longer than the system takes (255 bytes here) fails
    // its member alone, named, on both.
    const std::vector<std::string> odd = {"CON", "sub/aux.txt", "x.txt:stream", "trail. "};
    std::string tooLong = "d/" + std::string(300, 'n') + "/x";
    std::string archive = lzhMember(stored("before", "b"));
    for (const auto& name : odd) archive += lzhMember(stored(name, "data", 2));
    // A Unix symbolic link comes as a folder entry "link|target": it goes to the host as a
    // link (the stub's passes it over in silence, the tool's makes it at the end), and no
    // folder is made for it.
    Member link = stored("ln/link|target", "", 2);
    link.method = "-lhd-";
    archive += lzhMember(stored(tooLong, "long", 2)) + lzhMember(link) + lzhMember(stored("after", "a"));
    for (bool windows : {true, false}) {
        SCOPED_TRACE(windows ? "Windows" : "Linux");
        host.calls.clear();
        sfx.failed = 0;
        sfx.windowsNames = windows;
        fs::remove_all(root / "dest");
        extract(archive);
        EXPECT_EQ(contents(root / "dest/before"), "b");
        EXPECT_EQ(contents(root / "dest/after"), "a");
        std::vector<std::string> skipped;
        for (const auto& name : odd) {
            EXPECT_EQ(fs::exists(root / "dest" / name), !windows) << name;
            if (windows) skipped.push_back("skipped-name " + name);
        }
        skipped.push_back("skipped-file " + tooLong);
        EXPECT_EQ(host.only("skipped"), skipped);
        EXPECT_EQ(fs::exists(root / "dest/sub"), !windows);  // not even its folder is made
        EXPECT_FALSE(fs::exists(root / "dest/ln"));
        EXPECT_EQ(host.only("link"), std::vector<std::string>{"link ln/link -> target"});
        EXPECT_TRUE(sfx.failed);
    }
}

TEST_F(Walk, HostileNamesStayInsideTheDestination)
{
    extract(lzhMember(stored("..\\..\\escape1", "1")) + lzhMember(stored("/abs/escape2", "2")) +
            lzhMember(stored("C:..\\escape3", "3")) + lzhMember(stored("a/../../escape4", "4", 1)));
    EXPECT_TRUE(fs::exists(root / "dest/escape1"));
    EXPECT_TRUE(fs::exists(root / "dest/abs/escape2"));
    EXPECT_TRUE(fs::exists(root / "dest/escape3"));
    EXPECT_TRUE(fs::exists(root / "dest/a/escape4"));
    for (const auto& e : fs::directory_iterator(root)) EXPECT_EQ(e.path().filename(), "dest");
}

TEST_F(Walk, AMemberCutOffByTheEndOfTheFileIsReportedAndNotWritten)
{
    // A broken download: the report says where the file ends rather than that the member is
    // damaged, also when its header carries no CRC to tell, and nothing of it is written.
    Member cut = stored("cut", std::string(5000, 'c'));
    cut.withCrc = false;
    std::string bytes = lzhMember(stored("first", "1")) + lzhMember(cut);
    size_t end = bytes.size() - 1000;
    extract(bytes.substr(0, end));
    EXPECT_TRUE(sfx.failed);
    EXPECT_EQ(host.only("broken-header"),
              std::vector<std::string>{"broken-header 6 at " + std::to_string(end)});
    EXPECT_EQ(host.only("damaged"), std::vector<std::string>{});
    EXPECT_EQ(contents(root / "dest/first"), "1");
    EXPECT_FALSE(fs::exists(root / "dest/cut"));
}

TEST_F(Walk, AStoredMemberClaimingMoreThanItsPackedBytesTakesNothingBehindIt)
{
    Member claims = stored("claims", "own bytes");
    claims.originalSize = 3000000000u;
    claims.withCrc = false;
    extract(lzhMember(claims) + lzhMember(stored("next", std::string(5000, 'n'))));
    EXPECT_TRUE(sfx.failed);
    EXPECT_EQ(host.only("damaged"), std::vector<std::string>{"damaged claims"});
    EXPECT_EQ(contents(root / "dest/claims"), "own bytes");
}

// A compressed member of 4 GiB or more (sizes behind header 0x42) goes to its decoder like any
// other, no longer refused by name: its packed data start with a block header no encoder
// writes, so it fails as damaged at once, which ends the walk as any damaged member does.
TEST_F(Walk, ACompressedMemberPastFourGiBGoesToItsDecoder)
{
    const uint64_t size = (4ull << 30) + 5;
    Member big = stored("big", "", 2);
    big.method = "-lh5-";
    big.originalSize = UINT32_MAX;
    big.extended = {sizesHeader(size, size)};
    sfx.ownFile = sparseFileWith(lzhMember(big) + "\xFF\xFF\xFF\xFF", size - 4, lzhMember(stored("next", "n")));
    std::string dest = (root / "dest").string();
    sfx.setDestination(dest.c_str());
    ASSERT_TRUE(startExtraction(sfx));
    fs::current_path(previous);
    EXPECT_TRUE(sfx.failed);
    EXPECT_EQ(host.only("skipped"), std::vector<std::string>{});
    EXPECT_EQ(host.only("damaged"), std::vector<std::string>{"damaged big"});
    EXPECT_TRUE(fs::exists(root / "dest/big"));
    EXPECT_FALSE(fs::exists(root / "dest/next"));
}

TEST_F(Walk, AnAbortAlsoStopsARunOfFolderEntries)
{
    Member folder;
    folder.method = "-lhd-";
    folder.level = 2;
    std::string archive = lzhMember(stored("file", std::string(3000, 'f')));
    for (int i = 0; i < 5; ++i) {
        folder.directory = "dir" + std::to_string(i) + "\xFF";
        archive += lzhMember(folder);
    }
    host.onBar = [](uint32_t position) {
        if (position == 100) RunFlag = 0;  // the file has just been copied whole
    };
    extract(archive);
    EXPECT_EQ(host.calls.back(), "ended aborted");
    EXPECT_TRUE(host.only("mkdir").empty());
    EXPECT_TRUE(sfx.failed);
}

TEST_F(Walk, ADestinationThatCannotBeMadeStartsNoThread)
{
    std::ofstream(root / "blocker") << "a file";
    sfx.ownFile = fileWith(lzhMember(stored("x", "x")));
    std::string dest = (root / "blocker/sub").string();
    sfx.setDestination(dest.c_str());
    EXPECT_FALSE(startExtraction(sfx));
    EXPECT_TRUE(host.only("thread").empty());
    EXPECT_EQ(host.only("folder"), std::vector<std::string>{"folder-not-created"});

    host.threadsStart = false;
    sfx.setDestination((root / "dest").c_str());
    EXPECT_FALSE(startExtraction(sfx));
    fs::current_path(previous);
}

TEST_F(Walk, AFullDiskFailsTheMemberInsteadOfPassingIt)
{
    // The file-size limit makes writes beyond 4 KiB fail the way a full disk does. It is set
    // in a child process so that the test runner keeps its own limits.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The archive is written before the limit, so that only the output hits it.
        sfx.ownFile = fileWith(lzhMember(stored("big", std::string(20000, 'b'))) +
                               lzhMember(stored("next", "n")));
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        sfx.setDestination((root / "dest").c_str());
        if (!startExtraction(sfx)) _exit(2);
        bool reported = host.only("write-failed") == std::vector<std::string>{"write-failed big"};
        _exit(reported && sfx.failed && !fs::exists(root / "dest/next") ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

namespace {

// Extended headers that say how a name is stored.
std::pair<uint8_t, std::string> codePage(uint32_t page)
{
    std::string value;
    for (int k = 0; k < 4; ++k) value += (char)((page >> (8 * k)) & 0xFF);
    return {0x46, value};
}

std::pair<uint8_t, std::string> wide(uint8_t type, const std::u16string& text)
{
    std::string value;
    for (char16_t c : text) value += {(char)(c & 0xFF), (char)(c >> 8)};
    return {type, value};
}

}  // namespace

TEST_F(Walk, NamesAreWrittenInUtf8FromTheCodePageTheyAreStoredIn)
{
    struct Case {
        const char* why;
        Member member;
        std::string landsAt;  // below dest, UTF-8; "" when the name is refused
    };
    auto at = [](int level, std::string name, std::string directory = "",
                 std::vector<std::pair<uint8_t, std::string>> extended = {}) {
        Member m = stored(name, "", level);
        m.directory = directory;
        m.extended = extended;
        return m;
    };
    std::string longName;
    while (longName.size() < PATH_BUFFER) longName += "d/";
    const Case cases[] = {
        // 表, ソ and 能 end in 0x5C: a byte of the character, not a separator.
        {"Shift-JIS, level 0", at(0, "\x95\x5C\\\x83\x5C.txt"), "表/ソ.txt"},
        {"Shift-JIS folder header", at(2, "a.txt", "\x94\x5C\xFF"), "能/a.txt"},
        // Привет ends in 0x82, a Shift-JIS lead byte: in UTF-8 the '\' after it separates.
        {"UTF-8 by code page 65001", at(2, "é Ω 简体.txt", "Привет\\", {codePage(65001)}),
         "Привет/é Ω 简体.txt"},
        {"UTF-8 base name of level 1", at(1, "Ω\\b.txt", "", {codePage(65001)}), "Ω/b.txt"},
        {"UTF-16 names win over the 8-bit ones",
         at(2, "x.txt", "y\xFF",
            {wide(0x44, u"Ω\U0001F600.txt"), wide(0x45, u"简体\xFFFFsub\\deep")}),
         "简体/sub/deep/Ω😀.txt"},
        // Each part from UTF-16 where it has that form: the 8-bit one is converted alone.
        {"UTF-16 file name beside a Shift-JIS folder",
         at(2, "x", "\x95\x5C\xFF", {wide(0x44, u"Ω.txt")}), "表/Ω.txt"},
        {"UTF-16 folder beside a Shift-JIS file name, level 3",
         at(3, "\x83\x65\x83\x58\x83\x67.txt", "______\xFF", {wide(0x45, u"ÜÖÄüöä")}),
         "ÜÖÄüöä/テスト.txt"},
        {"not Shift-JIS", at(0, "bad\x80name"), ""},
        {"unpaired UTF-16 surrogate", at(2, "x", "", {wide(0x44, u"a\xD800" "b")}), ""},
        {"not UTF-8", at(2, "\xC3(", "", {codePage(65001)}), ""},
        // EBCDIC stores a backslash as 0xE0 and a dot as 0x4B: \..\x appears only in UTF-8.
        {"a separator made by the conversion",
         at(2, "\xE0\x4B\x4B\xE0\xA7", "", {codePage(500)}), "x"},
        // Whole, however long: cut, "d/.../tail.txt" would be written as the file "d/.../d".
        {"a name longer than a path buffer", at(2, longName + "tail.txt"), longName + "tail.txt"},
        {"the member after them", at(1, "after.txt"), "after.txt"},
    };
    std::string archive;
    for (size_t i = 0; i < std::size(cases); ++i) {
        Member m = cases[i].member;
        m.data = "member " + std::to_string(i);
        archive += lzhMember(m);
    }
    extract(archive);
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (cases[i].landsAt.empty()) continue;
        EXPECT_EQ(contents(root / "dest" / cases[i].landsAt), "member " + std::to_string(i))
            << cases[i].why;
    }
    // Nothing is written for a refused name, and the message shows it with '?' for every
    // byte from 0x80 up. The run has failed.
    EXPECT_EQ(host.only("damaged"),
              (std::vector<std::string>{"damaged bad?name", "damaged a", "damaged ?("}));
    EXPECT_EQ(host.only("entry").size(), std::size(cases) - 3);
    EXPECT_TRUE(sfx.failed);
}
