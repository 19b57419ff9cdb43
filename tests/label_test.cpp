// The progress label's shortening of long member names, measured with a fixed width per byte
// instead of a font.
#include <gtest/gtest.h>

#include <string>
#include <vector>

// The stub's own unit, compiled into the host tests: it is portable C++ and takes the text
// measure as a callback.
#include "../ui/label_fit.cpp"

namespace {

// Every byte is `byteWidth` pixels; records each text it was asked to measure. After
// `failAfter` successful measurements it reports failure.
struct FixedWidthFont {
    int32_t byteWidth = 6;
    int failAfter = 1000;
    std::vector<std::string> measured;

    static bool measure(void* context, const char* text, uint32_t length, int32_t* width)
    {
        auto* font = static_cast<FixedWidthFont*>(context);
        if ((int)font->measured.size() >= font->failAfter) return false;
        font->measured.emplace_back(text, length);
        *width = (int32_t)length * font->byteWidth;
        return true;
    }
};

std::string fit(const std::string& name, int32_t width, FixedWidthFont& font)
{
    char shown[LABEL_BUFFER];
    fitLabel(name.c_str(), shown, width, FixedWidthFont::measure, &font);
    return shown;
}

}  // namespace

TEST(LabelFit, LongNameIsCutInTheMiddleUntilItFits)
{
    // Six pixels a byte, a label of 90 pixels: 15 bytes fit. Each pass removes one or two
    // bytes at the middle of what remains; the first pass is wider than the name itself.
    FixedWidthFont font;
    EXPECT_EQ(fit("docs\\readme-first.txt", 90, font), "docs/re...t.txt");
    const std::vector<std::string> passes = {
        "docs/readme-first.txt", "docs/readm...-first.txt", "docs/readm...irst.txt",
        "docs/read...rst.txt",   "docs/rea...st.txt",       "docs/re...t.txt",
    };
    EXPECT_EQ(font.measured, passes);
}

TEST(LabelFit, NameThatFitsIsShownWholeWithSlashes)
{
    // 0x95 0x5C is one double-byte character (表) whose second byte looks like a backslash:
    // it stays; the real separators, backslash and 0xFF alike, become '/'.
    FixedWidthFont font;
    EXPECT_EQ(fit("\x95\x5c\\dir\xff" "a.txt", 200, font), "\x95\x5c/dir/a.txt");
    EXPECT_EQ(font.measured.size(), 1u);
}

TEST(LabelFit, ShortNamesAreNeverCut)
{
    FixedWidthFont font;
    EXPECT_EQ(fit("a", 0, font), "a");
    EXPECT_EQ(fit("", 0, font), "");
}

TEST(LabelFit, LeadByteAtTheEndOfTheHeadGoesWithTheCut)
{
    // "ab" + あ (0x82 0xA0) + "cd": the head of three bytes ends in the lead byte 0x82, which
    // is dropped, so the "..." never follows half a character. The byte after the middle ('c')
    // looks like a second byte, so two bytes go: the 0xA0 and the 'c'.
    FixedWidthFont font;
    EXPECT_EQ(fit("ab\x82\xa0" "cd", 35, font), "a...");
    const std::vector<std::string> passes = {"ab\x82\xa0" "cd", "ab...d", "a..."};
    EXPECT_EQ(font.measured, passes);
}

TEST(LabelFit, FailedMeasurementStopsTheCutting)
{
    // No measurement at all (no device context): the whole name.
    char shown[LABEL_BUFFER];
    fitLabel("docs\\readme-first.txt", shown, 90, nullptr, nullptr);
    EXPECT_STREQ(shown, "docs/readme-first.txt");

    // The first measurement fails: the whole name as well.
    FixedWidthFont first;
    first.failAfter = 0;
    EXPECT_EQ(fit("docs\\readme-first.txt", 90, first), "docs/readme-first.txt");

    // A later one fails: the text of that pass, made but not measured, is shown.
    FixedWidthFont later;
    later.failAfter = 3;
    EXPECT_EQ(fit("docs\\readme-first.txt", 90, later), "docs/read...rst.txt");
}

TEST(LabelFit, OverlongNameStaysInsideTheBuffers)
{
    // More bytes than any member path may have: cut to the path buffer, then shortened.
    FixedWidthFont font;
    std::string name(1000, 'x');
    std::string shown = fit(name, 60, font);
    EXPECT_LE(shown.size(), 10u);
    EXPECT_LE(font.measured.front().size(), PATH_BUFFER - 1);
    EXPECT_NE(shown.find("..."), std::string::npos);
}
