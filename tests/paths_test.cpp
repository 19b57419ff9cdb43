// Member-path cleaning, Shift-JIS aware separators, folder chains and the destination.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "extract/paths.h"
#include "extract/runtime.h"
#include "extract/sfx_extractor.h"
#include "support/fake_host.h"

namespace fs = std::filesystem;

namespace {

// Cleans a name as stored: Shift-JIS unless told otherwise.
std::string cleaned(const std::string& path, uint32_t codePage = CODE_PAGE_SHIFT_JIS)
{
    char buffer[PATH_BUFFER] = {};
    std::memcpy(buffer, path.data(), path.size());
    cleanEntryPath(buffer, '/', codePage);
    return buffer;
}

// A fresh temporary folder that is the current folder for the test.
class InTempFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous = fs::current_path();
        root = fs::temp_directory_path() / ("quor-paths-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        fs::current_path(root);
    }
    void TearDown() override
    {
        fs::current_path(previous);
        fs::remove_all(root);
    }
    fs::path previous, root;
};

}  // namespace

TEST(CleanEntryPath, RemovesDotRunsDrivesAndLeadingSeparators)
{
    const std::pair<const char*, const char*> table[] = {
        {"../../etc/hosts", "etc/hosts"}, {"/abs/file", "abs/file"}, {"a/../b", "a/b"},
        {"a/./b", "a/b"},                 {"a/.../b", "a/b"},        {"a/.hidden", "a/hidden"},
        {".profile", "profile"},          {"a/...", "a/"},           {"...", ""},
        {"C:/dir/file.txt", "dir/file.txt"}, {"C:../x", "x"},        {"a//b", "a//b"},
        {"dir/", "dir/"},
    };
    for (const auto& [in, out] : table) EXPECT_EQ(cleaned(in), out) << in;
}

TEST(CleanEntryPath, NoResultEscapesTheDestination)
{
    const char* hostile[] = {"//server/share/x", "/../x", "../", "a/b/../../../c", "C:/../../x",
                             "..\\..\\x", "./.././x", "x/..", "D:x", "C:", ":.:../x", "::../x",
                             "C:D:/x", "C://etc/x", "\x82\x60:/x", "\x82\x60:\x82\x60:../x"};
    for (const char* in : hostile) {
        std::string out = cleaned(in);
        EXPECT_TRUE(out.empty() || (out[0] != '/' && out[0] != '.')) << in << " -> " << out;
        EXPECT_EQ(out.find("/../"), std::string::npos) << in;
        EXPECT_NE(out.compare(0, 3, "../"), 0) << in;
        EXPECT_FALSE(out.size() >= 2 && out[1] == ':') << in << " -> " << out;
        EXPECT_FALSE(out.size() >= 3 && isLeadByte((uint8_t)out[0]) && out[2] == ':') << in;
    }
    // In UTF-8 a character of one UTF-16 unit before a colon is a drive for Windows too.
    const std::pair<const char*, const char*> utf8[] = {{"\xEF\xBC\xA1:/x", "x"},
                                                        {"\xC3\xA9:\xEF\xBC\xA1:../x", "x"}};
    for (const auto& [in, out] : utf8) EXPECT_EQ(cleaned(in, CODE_PAGE_UTF8), out) << in;
}

TEST(CleanEntryPath, KeepsDotsInsideNamesAndShiftJisBytes)
{
    EXPECT_EQ(cleaned("dir/file.tar.gz"), "dir/file.tar.gz");
    EXPECT_EQ(cleaned("\x95\x5C/\x83\x5C.txt"), "\x95\x5C/\x83\x5C.txt");
}

TEST(CleanEntryPath, NeverWritesPastAFullBuffer)
{
    char buffer[PATH_BUFFER + 8];
    std::memset(buffer, 'a', sizeof buffer);
    std::memset(buffer, '/', 10);
    buffer[PATH_BUFFER - 1] = 0;
    buffer[PATH_BUFFER] = 'Z';
    cleanEntryPath(buffer, '/');
    EXPECT_EQ(buffer[PATH_BUFFER], 'Z');
    EXPECT_EQ(std::strlen(buffer), PATH_BUFFER - 11u);
}

TEST(StorableOnWindows, DevicesFinalDotsAndSpacesStreamsAndReservedCharactersAreRefused)
{
    const char* refused[] = {
        "CON", "prn", "Aux.txt", "nul.tar.gz", "con .log", "d/COM0", "lpt9.x/y", "a/b/NUL/c",
        "trail.", "trail. ", "dir./x", "x.txt:stream",
        "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "tab\there", "\x1F",
    };
    for (const char* name : refused) EXPECT_FALSE(storableOnWindows(name)) << name;
    const char* stored[] = {
        "console", "com", "lpt", "COM10", "nul1", "nul_", "xcon", "a.con", ".dir/a",
        "d/", "a//b", "dots.in.name", "sp ace", "\xE6\x97\xA5\xE6\x9C\xAC.txt", "",
    };
    for (const char* name : stored) EXPECT_TRUE(storableOnWindows(name)) << name;
}

TEST(ShiftJisSeparators, SecondBytesAreNeverSeparators)
{
    // 表 is 0x95 0x5C: its second byte is a backslash and must survive every conversion.
    char name[] = "\x95\x5C\\a\\\xB1\\b";
    slashBackslashes(name, sizeof name - 1, CODE_PAGE_SHIFT_JIS);
    EXPECT_STREQ(name, "\x95\x5C/a/\xB1/b");  // 0xB1 is half-width katakana: one byte

    char dir[] = "docs\xFF\x83\x5C\xFFsub\\x/";
    unifySeparators(dir, '/', CODE_PAGE_SHIFT_JIS);
    EXPECT_STREQ(dir, "docs/\x83\x5C/sub/x/");

    // 0x80 is no lead byte in code page 932: the backslash after it is a separator for
    // Windows, so it must become one here too, where cleaning can see the ".." after it.
    char stray[] = "\x80\\..\\..\\x";
    slashBackslashes(stray, sizeof stray - 1, CODE_PAGE_SHIFT_JIS);
    EXPECT_STREQ(stray, "\x80/../../x");
    cleanEntryPath(stray, '/', CODE_PAGE_SHIFT_JIS);
    EXPECT_STREQ(stray, "\x80/x");
    char strayDir[] = "\x80\\..\xFF";
    unifySeparators(strayDir, '/', CODE_PAGE_SHIFT_JIS);
    EXPECT_STREQ(strayDir, "\x80/../");

    // A lead byte before a byte that cannot be a second byte stands alone.
    char broken[] = "\x81\x30\\x";
    slashBackslashes(broken, sizeof broken - 1, CODE_PAGE_SHIFT_JIS);
    EXPECT_STREQ(broken, "\x81\x30/x");

    // A lead byte right before the terminator does not let the walk run past it.
    char tail[8] = "a\\\x81";
    tail[4] = '\\';
    unifySeparators(tail, '/', CODE_PAGE_SHIFT_JIS);
    EXPECT_STREQ(tail, "a/\x81");
    EXPECT_EQ(tail[4], '\\');
}

TEST(AppendBackslash, OnlyWhenTheTextDoesNotEndInOne)
{
    char empty[4] = "";
    appendBackslash(empty, sizeof empty);
    EXPECT_STREQ(empty, "");
    char root[8] = "C:\\";
    appendBackslash(root, sizeof root);
    EXPECT_STREQ(root, "C:\\");
    char folder[8] = "D:\\dl";
    appendBackslash(folder, sizeof folder);
    EXPECT_STREQ(folder, "D:\\dl\\");
    // Paths are UTF-8 here: a final backslash after ぁ (E3 81 81, whose last byte is a
    // Shift-JIS lead byte) is a separator.
    char kanji[8] = "C:\\\xE3\x81\x81\\";
    appendBackslash(kanji, sizeof kanji);
    EXPECT_STREQ(kanji, "C:\\\xE3\x81\x81\\");
    char full[4] = "abc";
    EXPECT_FALSE(appendBackslash(full, sizeof full));
    EXPECT_STREQ(full, "abc");
}

TEST(SplitPath, DriveDirectoryNameExtension)
{
    char drive[PATH_PART], dir[PATH_PART], name[PATH_PART], ext[PATH_PART];
    splitPath("C:\\WINDOWS\\system.ini", drive, dir, name, ext);
    EXPECT_STREQ(drive, "C:");
    EXPECT_STREQ(dir, "\\WINDOWS\\");
    EXPECT_STREQ(name, "system");
    EXPECT_STREQ(ext, ".ini");
    splitPath("a.b/c", drive, dir, name, ext);
    EXPECT_STREQ(dir, "a.b/");
    EXPECT_STREQ(name, "c");
    EXPECT_STREQ(ext, "");
}

TEST_F(InTempFolder, FolderChainCreatesEveryMissingFolderAndAnnouncesTheTopmost)
{
    FakeHost host;
    SfxExtractor sfx(&host);
    ASSERT_TRUE(makeFolderChain(sfx, "a/b/c/"));
    EXPECT_TRUE(fs::is_directory(root / "a/b/c"));
    EXPECT_EQ(host.only("shell"), std::vector<std::string>{"shell-mkdir a"});

    host.calls.clear();
    EXPECT_TRUE(makeFolderChain(sfx, "a/b/c/file"));  // exists already: nothing made
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(InTempFolder, FolderChainRefusesAFileInThePathAndPathsWithoutFolders)
{
    FakeHost host;
    SfxExtractor sfx(&host);
    std::fclose(std::fopen("plain", "w"));
    EXPECT_FALSE(makeFolderChain(sfx, "plain/x"));
    EXPECT_FALSE(makeFolderChain(sfx, "plain/sub/x"));
    EXPECT_FALSE(makeFolderChain(sfx, "name"));
    EXPECT_FALSE(makeFolderChain(sfx, "/name"));
    // A folder name longer than the system takes (255 bytes on Linux).
    EXPECT_FALSE(makeFolderChain(sfx, ("a/" + std::string(300, 'b') + "/c/x").c_str()));
}

TEST_F(InTempFolder, DestinationIsEnteredOrCreated)
{
    FakeHost host;
    SfxExtractor sfx(&host);
    std::string existing = (root / "here").string();
    fs::create_directory(existing);
    EXPECT_TRUE(enterDestination(sfx, existing.c_str()));
    EXPECT_EQ(host.only("mkdir").size(), 0u);
    EXPECT_EQ(host.only("folder"), std::vector<std::string>{});

    std::string missing = (root / "new/deeper").string();
    EXPECT_TRUE(enterDestination(sfx, missing.c_str()));
    EXPECT_EQ(fs::current_path(), fs::path(missing));

    std::fclose(std::fopen((root / "file").c_str(), "w"));
    std::string blocked = (root / "file/sub").string();
    host.calls.clear();
    EXPECT_FALSE(enterDestination(sfx, blocked.c_str()));
    EXPECT_EQ(host.only("folder"), std::vector<std::string>{"folder-not-created"});

    std::string tooLong = "/" + std::string(PATH_BUFFER + 20, 'x');
    EXPECT_FALSE(enterDestination(sfx, tooLong.c_str()));

    // Windows makes a folder of any length (the "\\?\" form) but enters none past MAX_PATH:
    // a folder made but not entered must fail, or the members land in the folder the
    // process started in.
    struct NoEntering : FakeHost {
        bool enterFolder(const char*) override { return false; }
    } refusing;
    SfxExtractor unentered(&refusing);
    fs::current_path(root);
    EXPECT_FALSE(enterDestination(unentered, (root / "made/not/entered").c_str()));
    EXPECT_TRUE(fs::is_directory(root / "made/not/entered"));
    EXPECT_EQ(refusing.only("folder"), std::vector<std::string>{"folder-not-created"});
}

// The folders on the way are made where the system lets this run make them; rights are then
// asked of the destination, or of the nearest folder that exists where one could not be made,
// before any member is written: a refused run hands over to one with more rights, or fails.
// Only a run that could not hand over says so itself.
TEST_F(InTempFolder, RefusedDestinationIsHandedOverBeforeAnythingIsMade)
{
    fs::create_directories(root / "programs/old");
    const std::string programs = (root / "programs").string() + "/";
    const struct {
        const char* destination;  // below root
        const char* probed;       // below root, where deniedWriting is true
        Elevation answer;
        bool warned;
    } cases[] = {
        {"programs/Viewer/bin", "programs/", Elevation::unavailable, true},
        {"programs/Viewer/bin", "programs/", Elevation::declined, false},
        {"programs/Viewer", "programs/", Elevation::handedOver, false},
        {"programs/old", "programs/old/", Elevation::handedOver, false},  // an update in place
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.deniedFolder = (root / c.probed).string();
        host.elevation = c.answer;
        SfxExtractor sfx(&host);
        std::string destination = (root / c.destination).string();
        EXPECT_FALSE(enterDestination(sfx, destination.c_str())) << c.destination;
        EXPECT_EQ(host.only("probe"), std::vector<std::string>{"probe " + host.deniedFolder});
        EXPECT_EQ(host.only("rights").size(), 1u);
        EXPECT_EQ(host.only("mkdir ").size(), 0u);  // tried, refused: nothing made
        EXPECT_EQ(host.only("enter").size(), 0u);
        EXPECT_EQ(host.only("folder").size(), c.warned ? 1u : 0u) << c.destination;
    }
    EXPECT_FALSE(fs::exists(root / "programs/Viewer"));

    // Granted: no hand-over; the probe was of the destination, made first (on the root of a
    // Windows drive a user may make folders, not files).
    FakeHost host;
    SfxExtractor sfx(&host);
    EXPECT_TRUE(enterDestination(sfx, (root / "programs/Viewer/bin").c_str()));
    EXPECT_EQ(host.only("probe"), std::vector<std::string>{"probe " + programs + "Viewer/bin/"});
    EXPECT_EQ(host.only("rights").size(), 0u);
    EXPECT_TRUE(fs::is_directory(root / "programs/Viewer/bin"));
}

TEST(NotifyShell, MemberPathsGoOutWithBackslashesBelowTheDestination)
{
    FakeHost host;
    SfxExtractor sfx(&host);
    sfx.setDestination("C:\\Dest");
    notifyShell(sfx, ShellEvent::memberExtracted, "dir/../a.txt");
    sfx.setDestination("C:\\");
    notifyShell(sfx, ShellEvent::memberExtracted, "b");
    sfx.setDestination(std::string(PATH_BUFFER - 3, 'x').c_str());
    notifyShell(sfx, ShellEvent::memberExtracted, "too-long-for-the-buffer");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"shell-create C:\\Dest\\dir\\..\\a.txt",
                                                     "shell-create C:\\b"}));
}
