// The code-page layer under every name the tool shows or stores: the same contract holds for
// its iconv side (run here) and its Windows side (run by tests/e2e/cases/wintool.sh, which
// compares the two tools' listings of the same names).
#include <gtest/gtest.h>

#include <string>

#include "sjis.h"

TEST(CodePageTest, ShiftJisIsShownUpToEachInvalidByteThenEscaped)
{
    const struct {
        std::string sjis, shown;
    } cases[] = {
        {"readme.txt", "readme.txt"},
        {"\x95\x5C\x83\x5C\x94\x5C", "表ソ能"},          // second bytes 0x5C
        {"a\x81 b\x95\x5C", "a\\x81 b表"},              // a lead byte before a space
        {"c\x81", "c\\x81"},                            // a lead byte cut off at the end
        {"\x1B[31m\xC2\x9B", "\\x1B[31m\xEF\xBE\x82\\x9B"},  // controls never reach the terminal
    };
    for (const auto& c : cases) EXPECT_EQ(sjisToUtf8(c.sjis), c.shown) << c.sjis;
}

TEST(CodePageTest, ConversionsFailWholeOnAnInvalidSequence)
{
    std::string out;
    EXPECT_TRUE(decodeCodePage("\x95\x5C", 2, 932, out));
    EXPECT_EQ(out, "表");
    EXPECT_FALSE(decodeCodePage("\x95", 1, 932, out));
    EXPECT_TRUE(decodeCodePage("caf\xC3\xA9", 5, 65001, out));
    EXPECT_FALSE(decodeCodePage("caf\xE9", 4, 65001, out));
    EXPECT_TRUE(decodeCodePage("caf\xE9", 4, 1252, out));
    EXPECT_EQ(out, "café");
    EXPECT_FALSE(convertAll("a\xFF", "UTF-8", "UTF-32LE", out));
    EXPECT_TRUE(convertAll("表", "UTF-8", "CP932", out));
    EXPECT_EQ(out, "\x95\x5C");
    EXPECT_FALSE(utf8ToSjis("caf\xC3\xA9", out));  // no accented letters in code page 932
}
