// The configuration block at offset 32768 and the destination composed from it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "extract/sfx_extractor.h"
#include "support/fake_host.h"
#include "support/lzh_writer.h"

namespace {

const std::string WORKED_BLOCK = std::string(
    "\x01"
    "\x06Viewer"
    "\x01"
    "\x06Viewer"
    "\x0Aviewer.exe"
    "\x03\x01\x00"
    "\x0Areadme.txt"
    "\x06Viewer", 48);

struct Read {
    bool ok;
    long position;  // of ownFile afterwards
};

Read readBlock(SfxExtractor& sfx, const std::string& block)
{
    std::string file(SfxConfig::offset, '\0');
    file[0] = 'M';
    file[1] = 'Z';
    file += block;
    sfx.ownFile = fileWith(file, SfxConfig::offset);
    bool ok = readConfiguration(sfx);
    return {ok, std::ftell(sfx.ownFile)};
}

}  // namespace

TEST(Configuration, TheWorkedBlockReadsFieldByField)
{
    FakeHost host;
    host.windows = "C:\\WINDOWS";
    host.current = "D:\\dl";
    SfxExtractor sfx(&host);
    Read r = readBlock(sfx, WORKED_BLOCK);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.position, 32816);
    EXPECT_STREQ(sfx.title, "Viewer");
    EXPECT_STREQ(sfx.destination, "C:\\Program Files\\Viewer");
    EXPECT_STREQ(sfx.shortcutTarget, "viewer.exe");
    EXPECT_EQ(sfx.startMenuFlags, 3);
    EXPECT_EQ(sfx.desktopFlags, 1);
    EXPECT_EQ(sfx.sendToFlags, 0);
    EXPECT_STREQ(sfx.programToRun, "readme.txt");
    EXPECT_STREQ(sfx.shortcutName, "Viewer");
    EXPECT_TRUE(sfx.configPresent);
}

TEST(Configuration, ASingleZeroByteMeansDefaults)
{
    FakeHost host;
    host.current = "D:\\dl";
    SfxExtractor sfx(&host);
    Read r = readBlock(sfx, std::string("\0", 1));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.position, 32769);
    EXPECT_STREQ(sfx.title, "Quor SFX");
    EXPECT_STREQ(sfx.destination, "D:\\dl");
    EXPECT_FALSE(sfx.configPresent);
    EXPECT_EQ(sfx.shortcutTarget, nullptr);
    EXPECT_EQ(sfx.programToRun, nullptr);
}

TEST(Configuration, DestinationComposition)
{
    struct Case {
        const char* text;
        bool underProgramFiles;
        const char* current;
        const char* expected;
    } cases[] = {
        {"E:\\Tools\\Viewer", true, "D:\\dl", "E:\\Tools\\Viewer"},
        {"E:\\Tools\\Viewer", false, "D:\\dl", "E:\\Tools\\Viewer"},
        {"Viewer", true, "D:\\dl", "C:\\Program Files\\Viewer"},
        {"Viewer", false, "D:\\dl", "D:\\dl\\Viewer"},
        {"Viewer", false, "D:\\", "D:\\Viewer"},
        {"", false, "D:\\dl", "D:\\dl"},
    };
    for (const Case& c : cases) {
        FakeHost host;
        host.windows = "C:\\WINDOWS";
        host.current = c.current;
        SfxExtractor sfx(&host);
        std::string block = std::string("\x01\x00", 2) + (char)(c.underProgramFiles ? 1 : 0) +
                            (char)std::strlen(c.text) + c.text + std::string(7, '\0');
        ASSERT_TRUE(readBlock(sfx, block).ok) << c.text;
        EXPECT_STREQ(sfx.destination, c.expected) << c.text;
        EXPECT_STREQ(sfx.title, "Quor SFX");  // title length 0
        ASSERT_NE(sfx.shortcutTarget, nullptr);
        EXPECT_STREQ(sfx.shortcutTarget, "");
        EXPECT_TRUE(sfx.configPresent);
    }
}

TEST(Configuration, ACompositionLongerThanAPathIsRefused)
{
    FakeHost host;
    host.current = std::string(PATH_BUFFER - 10, 'c');
    SfxExtractor sfx(&host);
    std::string text(20, 'v');
    std::string block = std::string("\x01\x00\x00", 3) + (char)text.size() + text + std::string(7, '\0');
    EXPECT_FALSE(readBlock(sfx, block).ok);
}

TEST(Configuration, EveryCutOffBlockFails)
{
    // Cut the worked block after every byte: the reader must fail, never read past the end.
    for (size_t keep = 0; keep < WORKED_BLOCK.size(); ++keep) {
        FakeHost host;
        SfxExtractor sfx(&host);
        EXPECT_FALSE(readBlock(sfx, WORKED_BLOCK.substr(0, keep)).ok) << "cut after " << keep;
    }
    // Here: the file ends after the Send-To flag byte.
    FakeHost host;
    SfxExtractor sfx(&host);
    EXPECT_FALSE(readBlock(sfx, WORKED_BLOCK.substr(0, 1 + 7 + 1 + 7 + 11 + 3)).ok);
}

TEST(Configuration, AReadErrorIsNotALength)
{
    FakeHost host;
    SfxExtractor sfx(&host);
    // A stream opened for writing only: every read fails with an error, not at end of file.
    sfx.ownFile = std::tmpfile();
    FILE* writeOnly = std::fopen("/dev/null", "w");
    std::fclose(sfx.ownFile);
    sfx.ownFile = writeOnly;
    EXPECT_FALSE(readConfiguration(sfx));
    EXPECT_EQ(sfx.title, nullptr);
}

TEST(Configuration, TextsAreShiftJisOrMarkedUtf8AndAreHeldAsUtf8)
{
    const struct {
        std::string stored;
        const char* title;  // null: the block is unreadable
    } cases[] = {
        {"\x95\x5C\x83\x5C", "表ソ"},
        {"\xB1\xB2", "ｱｲ"},  // half-width katakana: one byte each, three in UTF-8
        {"\xEF\xBB\xBF" "Привет 😀", "Привет 😀"},
        {"\xEF\xBB\xBF", "Quor SFX"},  // the mark alone is an empty title
        {"\x80", nullptr},
        {"\x95", nullptr},  // a lead byte without its second byte
        {"\xEF\xBB\xBF\xC3(", nullptr},
    };
    for (const auto& c : cases) {
        FakeHost host;
        SfxExtractor sfx(&host);
        // The title, then a destination and a shortcut name in the same code page.
        std::string block = "\x01" + std::string(1, (char)c.stored.size()) + c.stored +
                            std::string("\x00\x03" "C:x\x00\x00\x00\x00\x00", 10) +
                            std::string(1, (char)c.stored.size()) + c.stored;
        bool ok = readBlock(sfx, block).ok;
        EXPECT_EQ(ok, c.title != nullptr) << c.stored;
        if (!ok || !c.title) continue;
        EXPECT_STREQ(sfx.title, c.title);
        EXPECT_STREQ(sfx.destination, "C:x");
        EXPECT_STREQ(sfx.shortcutName, std::strcmp(c.title, "Quor SFX") ? c.title : "");
    }
}
