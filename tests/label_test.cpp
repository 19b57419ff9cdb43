// The progress label's shortening of long member names, measured with a fixed width per
// UTF-16 unit instead of a font.
#include <gtest/gtest.h>

#include <string>
#include <vector>

// The stub's own unit, compiled into the host tests: it is portable C++ and takes the text
// measure as a callback.
#include "../ui/label_fit.cpp"

namespace {

// Every unit is `unitWidth` pixels; records each text it was asked to measure. After
// `failAfter` successful measurements it reports failure.
struct FixedWidthFont {
    int32_t unitWidth = 6;
    int failAfter = 1000;
    std::vector<std::u16string> measured;

    static bool measure(void* context, const char16_t* text, uint32_t length, int32_t* width)
    {
        auto* font = static_cast<FixedWidthFont*>(context);
        if ((int)font->measured.size() >= font->failAfter) return false;
        font->measured.emplace_back(text, length);
        *width = (int32_t)length * font->unitWidth;
        return true;
    }
};

std::u16string fit(const std::u16string& name, int32_t width, FixedWidthFont& font)
{
    char16_t shown[LABEL_BUFFER];
    fitLabel(name.c_str(), shown, width, FixedWidthFont::measure, &font);
    return shown;
}

}  // namespace

TEST(LabelFit, NamesAreCutOneCharacterAtATimeInTheMiddle)
{
    // Six pixels a unit; each case lists every text measured, the last one is shown. The
    // middle character goes, "..." marks where; the first pass is wider than the name. A
    // surrogate pair (😀 = D83D DE00) is one character: it goes whole, whether its high half
    // ends the head or starts the cut. A name that fits stays whole, backslashes shown as '/'.
    struct Case {
        std::u16string name;
        int32_t width;
        std::vector<std::u16string> passes;
    };
    const Case cases[] = {
        {u"\u8868\\dir/a.txt", 200, {u"\u8868/dir/a.txt"}},
        {u"a", 0, {u"a"}},
        {u"ab\U0001F600cd", 35, {u"ab\U0001F600cd", u"ab...cd", u"ab...d", u"a...d"}},
        {u"abc\U0001F600de", 36, {u"abc\U0001F600de", u"abc...de", u"ab...de", u"ab...e"}},
        {u"docs\\readme-first.txt", 90,
         {u"docs/readme-first.txt", u"docs/readm...-first.txt", u"docs/readm...first.txt",
          u"docs/read...first.txt", u"docs/read...irst.txt", u"docs/rea...irst.txt",
          u"docs/rea...rst.txt", u"docs/re...rst.txt", u"docs/re...st.txt", u"docs/r...st.txt"}},
    };
    for (const Case& c : cases) {
        FixedWidthFont font;
        EXPECT_EQ(fit(c.name, c.width, font), c.passes.back());
        EXPECT_EQ(font.measured, c.passes);
    }
    FixedWidthFont font;
    EXPECT_EQ(fit(u"", 0, font), u"");
}

TEST(LabelFit, FailedMeasurementStopsTheCutting)
{
    // No measurement at all (no device context): the whole name.
    char16_t shown[LABEL_BUFFER];
    fitLabel(u"docs\\readme-first.txt", shown, 90, nullptr, nullptr);
    EXPECT_EQ(std::u16string(shown), u"docs/readme-first.txt");

    // The first measurement fails: the whole name as well.
    FixedWidthFont first;
    first.failAfter = 0;
    EXPECT_EQ(fit(u"docs\\readme-first.txt", 90, first), u"docs/readme-first.txt");

    // A later one fails: the text of that pass, made but not measured, is shown.
    FixedWidthFont later;
    later.failAfter = 3;
    EXPECT_EQ(fit(u"docs\\readme-first.txt", 90, later), u"docs/read...first.txt");
}

TEST(LabelFit, OverlongNameStaysInsideTheBuffers)
{
    // More units than any member path may have: cut to the path buffer (never between the
    // halves of a pair), then shortened.
    FixedWidthFont font;
    font.failAfter = 2 * MEMBER_PATH_BUFFER;
    std::u16string name(MEMBER_PATH_BUFFER - 2, u'x');
    name += u"\U0001F600\U0001F600";
    std::u16string shown = fit(name, 60, font);
    EXPECT_EQ(shown, u"xxxx...xxx");
    EXPECT_EQ(font.measured.front().size(), MEMBER_PATH_BUFFER - 2);
    // Measured once whole, then only once it could fit (two units a pixel): not once per
    // character removed, which for a name of thousands held the walk up for seconds.
    EXPECT_LE(font.measured.size(), 2u * 60);
}
