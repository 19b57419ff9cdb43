// Member headers of levels 0 to 3, the DOS time conversion and the size pre-scan.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "extract/header_reader.h"
#include "extract/sfx_extractor.h"
#include "support/fake_host.h"
#include "support/lzh_writer.h"

namespace {

// Local time is UTC for every test here, so DOS times convert without an offset.
class Reader : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    // Reads one header from `bytes`; `position` receives the file position afterwards.
    bool read(const std::string& bytes, LhaEntryHeader& header, long* position = nullptr)
    {
        if (sfx.ownFile) std::fclose(sfx.ownFile);
        sfx.ownFile = fileWith(bytes);
        bool ok = readEntryHeader(sfx, header);
        if (position) *position = std::ftell(sfx.ownFile);
        return ok;
    }
    FakeHost host;
    SfxExtractor sfx{&host};
};

const std::string DIRECTORY_ENTRY = std::string(
    "\x25\x00"
    "-lhd-"
    "\x00\x00\x00\x00"
    "\x00\x00\x00\x00"
    "\x25\x33\xE5\x4A"
    "\x20\x02"
    "\x00\x00"
    "M"
    "\x03\x00" "\x01"
    "\x08\x00" "\x02" "docs\xFF"
    "\x00\x00",
    37);

}  // namespace

TEST_F(Reader, TheWorkedLevelTwoDirectoryEntry)
{
    LhaEntryHeader h;
    long position;
    ASSERT_TRUE(read(DIRECTORY_ENTRY + "rest", h, &position));
    EXPECT_EQ(position, 37);
    EXPECT_STREQ(h.methodId, "-lhd-");
    EXPECT_EQ(h.packedSize, 0u);
    EXPECT_EQ(h.level, 2);
    EXPECT_STREQ(h.name, "docs/");
    EXPECT_EQ(h.modificationTime, 1256534821);
    EXPECT_TRUE(h.hasCrc);
    EXPECT_EQ(h.osId, 'M');
}

TEST_F(Reader, LevelZeroWithAndWithoutCrc)
{
    Member m;
    m.name = "dir\\file.txt";
    m.data = "hello";
    m.time = (20u << 25) | (3u << 21) | (1u << 16);  // 2000-03-01 00:00:00
    LhaEntryHeader h;
    long position;
    ASSERT_TRUE(read(lzhMember(m), h, &position));
    EXPECT_STREQ(h.name, "dir/file.txt");
    EXPECT_TRUE(h.hasCrc);
    EXPECT_EQ(h.crc, crc16Of("hello"));
    EXPECT_EQ(h.modificationTime, 951868800);
    EXPECT_EQ(h.packedSize, 5u);
    EXPECT_EQ(position, 2 + 22 + 12);

    m.withCrc = false;
    ASSERT_TRUE(read(lzhMember(m), h));
    EXPECT_FALSE(h.hasCrc);
    EXPECT_EQ(h.osId, 0);
}

TEST_F(Reader, LevelOneExtendedNameReplacesTheBaseNameAndLeavesThePackedSize)
{
    // Base name "base.txt", then a type-1 header "long name.txt" and a type-2 "a\xFFb\xFF".
    Member m;
    m.level = 1;
    m.name = "base.txt";
    m.data = "0123456789";
    std::string member = lzhMember(m);
    // Splice two extended headers in by hand: the writer only makes directory headers.
    // Each extended header: type, data, size of the next; the first size is in the base.
    std::string ext1 = std::string("\x01", 1) + "long name.txt" + std::string("\x07\x00", 2);
    std::string ext2 = std::string("\x02", 1) + "a\xFF" "b\xFF" + std::string("\x00\x00", 2);
    size_t H = (unsigned char)member[0];
    std::string header = member.substr(0, H) + std::string("\x10\x00", 2);  // first size: 16
    uint32_t packed = 10 + 16 + 7;
    header[7] = (char)packed;
    std::string bytes = header + ext1 + ext2 + m.data;
    LhaEntryHeader h;
    long position;
    ASSERT_TRUE(read(bytes, h, &position));
    EXPECT_STREQ(h.name, "a/b/long name.txt");
    EXPECT_EQ(h.packedSize, 10u);
    EXPECT_EQ(position, (long)(bytes.size() - 10));
}

TEST_F(Reader, AttributeHeaderCountsOnlyForDosLikeSystems)
{
    for (char os : {'M', 'U'}) {
        // First size field, a type-0x40 header with attribute 0x21, a type-1 name, the end.
        std::string ext = std::string("\x05\x00\x40\x21\x00", 5) + std::string("\x08\x00\x01", 3) +
                          "n.txt" + std::string("\x00\x00", 2);
        std::string body = "-lh0-" + std::string(12, '\0') + "\x20\x02" + std::string(2, '\0') + os;
        std::string bytes = std::string(1, (char)(2 + body.size() + ext.size())) + '\0' + body + ext;
        LhaEntryHeader h;
        ASSERT_TRUE(read(bytes, h)) << os;
        EXPECT_EQ(h.attribute, os == 'M' ? 0x21 : 0x20) << os;
        EXPECT_STREQ(h.name, "n.txt") << os;
    }
}

TEST_F(Reader, ADirectoryWithoutItsFinalSeparatorStillHoldsTheFile)
{
    Member m;
    m.level = 2;
    m.directory = "subdir\xFFsubdir2";
    m.name = "hello.txt";
    LhaEntryHeader h;
    ASSERT_TRUE(read(lzhMember(m), h));
    EXPECT_STREQ(h.name, "subdir/subdir2/hello.txt");
    m.name = "";  // a directory entry: nothing is added behind it
    ASSERT_TRUE(read(lzhMember(m), h));
    EXPECT_STREQ(h.name, "subdir/subdir2");
}

TEST_F(Reader, ShiftJisSecondByteBackslashStays)
{
    Member m;
    m.name = "\x95\x5C\\\x83\x5C.txt";
    LhaEntryHeader h;
    ASSERT_TRUE(read(lzhMember(m), h));
    EXPECT_STREQ(h.name, "\x95\x5C/\x83\x5C.txt");
}

TEST_F(Reader, EndOfArchive)
{
    LhaEntryHeader h;
    EXPECT_FALSE(read(std::string("\0", 1), h));
    EXPECT_FALSE(read("", h));
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(Reader, BrokenHeadersEndTheWalkWithTheirFault)
{
    Member m;
    m.name = "file";
    m.data = "x";
    m.level = 2;
    const std::string good = lzhMember(m);
    const size_t firstSize = 24;
    auto with = [&](size_t at, char value) {
        std::string bytes = good;
        bytes[at] = value;
        return bytes;
    };
    Member plain;
    plain.name = "abc";
    std::string unknown = lzhMember(plain);
    unknown[0] = (char)((unsigned char)unknown[0] - 1);  // H - n = 21

    struct Case {
        const char* what;
        std::string bytes;
        HeaderFault fault;
    } cases[] = {
        {"the end mark", std::string(1, '\0'), HeaderFault::none},
        {"the end of the file", "", HeaderFault::none},
        {"an extended header that leaves the header", with(firstSize, 0x40), HeaderFault::badExtension},
        {"an extended size below 3", with(firstSize, 2), HeaderFault::badExtension},
        {"a level-2 length beyond the header buffer", with(1, 0x20) + std::string(9000, 'x'),
         HeaderFault::tooLong},
        {"H - n = 21", unknown, HeaderFault::unknownLayout},
    };
    LhaEntryHeader h;
    for (const Case& c : cases) {
        EXPECT_FALSE(read(c.bytes, h)) << c.what;
        EXPECT_EQ(sfx.headerFault, c.fault) << c.what;
    }
    // Cut anywhere inside the header: never a member, never a clean end.
    for (size_t keep = 1; keep < good.size() - 1; ++keep) {
        EXPECT_FALSE(read(good.substr(0, keep), h)) << keep;
        EXPECT_EQ(sfx.headerFault, HeaderFault::cutOff) << keep;
    }
    EXPECT_TRUE(host.calls.empty());  // the walk reports, not the reader
}

// Level 3 is level 2 with 32-bit size fields: the same member reads the same at both
// levels, with every extended header the reader knows, and the header CRC (0x00) is checked
// at both. Each part of the name comes from UTF-16 where that part has it.
TEST_F(Reader, LevelThreeReadsAsLevelTwoWithWideSizeFields)
{
    auto utf16 = [](const std::u16string& text) {
        std::string bytes;
        for (char16_t c : text) bytes += {(char)(c & 0xFF), (char)(c >> 8)};
        return bytes;
    };
    const std::string unixLink("\xFF\xA1", 2), unixFolder("\xED\x41", 2);
    struct Case {
        const char* what;
        std::string name, directory;
        std::vector<std::pair<uint8_t, std::string>> extended;
        const char* expected;
        uint32_t codePage;
        bool link;
    } cases[] = {
        {"8-bit names", "\x95\x5C.txt", "\x94\x5C\xFF", {{0x50, unixFolder}}, "\x94\x5C/\x95\x5C.txt", 932, false},
        // A Windows archiver writes UTF-16 only for the part Shift-JIS cannot hold.
        {"a UTF-16 folder beside a Shift-JIS file name", "\x83\x65\x83\x58\x83\x67.txt", "______\xFF",
         {{0x45, utf16(u"\u00DC\u00D6\u00C4\u00FC\u00F6\u00E4")}}, "ÜÖÄüöä/テスト.txt", 65001, false},
        {"a UTF-16 file name beside a Shift-JIS folder", "_.txt", "\x95\x5C\xFFsub\xFF",
         {{0x44, utf16(u"\u00DC.txt")}}, "表/sub/Ü.txt", 65001, false},
        {"both in UTF-16", "x", "y\xFF", {{0x44, utf16(u"b")}, {0x45, utf16(u"a\xFFFF")}}, "a/b", 65001,
         false},
        {"a code page", "\xC3\xA9", "", {{0x46, std::string("\xE9\xFD\0\0", 4)}}, "é", 65001, false},
        {"a link by its Unix mode", "ln|../t", "", {{0x50, unixLink}}, "ln|../t", 932, true},
    };
    LhaEntryHeader h;
    for (const Case& c : cases) {
        for (int level : {2, 3}) {
            SCOPED_TRACE(std::string(c.what) + ", level " + std::to_string(level));
            Member m;
            m.level = level;
            m.headerCrc = true;
            m.name = c.name;
            m.directory = c.directory;
            m.extended = c.extended;
            m.extended.push_back(sizesHeader(1, 0x123456789));
            m.data = "x";
            m.time = 1600000000;
            long position;
            ASSERT_TRUE(read(lzhMember(m) + "next", h, &position));
            EXPECT_EQ(position, (long)lzhMember(m).size() - 1);
            EXPECT_EQ(h.level, level);
            EXPECT_STREQ(h.name, c.expected);
            EXPECT_EQ(h.codePage, c.codePage);
            EXPECT_EQ(h.unixLink, c.link);
            EXPECT_EQ(h.originalSize, 0x123456789u);
            EXPECT_EQ(h.modificationTime, 1600000000);
            EXPECT_EQ(h.crc, crc16Of("x"));
            EXPECT_FALSE(h.badName);
        }
    }

    Member m;
    m.name = "file";
    m.data = "x";
    m.headerCrc = true;
    m.level = 3;
    const std::string three = lzhMember(m);
    m.level = 2;
    const std::string two = lzhMember(m);
    auto with = [](std::string bytes, size_t at, std::string value) {
        return bytes.replace(at, value.size(), value);
    };
    struct Refused {
        const char* what;
        std::string bytes;
        HeaderFault fault;
    } refused[] = {
        {"a level-3 word size other than 4", with(three, 0, "\x02"), HeaderFault::unknownLayout},
        {"a level-3 header shorter than its base", with(three, 24, std::string("\x1E\0\0\0", 4)),
         HeaderFault::badExtension},
        {"a level-3 extended size past the end of any buffer",
         with(three, 28, std::string("\xF0\xFF\xFF\xFF", 4)), HeaderFault::badExtension},
        {"a level-3 length beyond the header buffer", with(three, 25, "\x20") + std::string(9000, 'x'),
         HeaderFault::tooLong},
        {"a level-3 header whose CRC does not match", with(three, 40, "g"), HeaderFault::badCrc},
        {"a level-2 header whose CRC does not match", with(two, 32, "g"), HeaderFault::badCrc},
    };
    for (const Refused& c : refused) {
        EXPECT_FALSE(read(c.bytes, h)) << c.what;
        EXPECT_EQ(sfx.headerFault, c.fault) << c.what;
    }
}

TEST_F(Reader, LevelTwoLengthsAreReadWholeAndOs968kHeadersCountTwoBytesMore)
{
    // A long name makes a level-2 header of 256 bytes or more; its length needs both bytes.
    Member longName;
    longName.level = 2;
    longName.name = std::string(PATH_BUFFER + 40, 'n');
    longName.data = "long";
    // The OS-9/68K port stores a level-2 header's length without its first two bytes, as
    // levels 0 and 1 count theirs; its OS id 'K' tells.
    Member os9;
    os9.level = 2;
    os9.osId = 'K';
    os9.name = "os9.txt";
    os9.directory = "sub\xFF";
    os9.data = "from OS-9";
    std::string os9Bytes = lzhMember(os9);
    uint32_t stored = ((unsigned char)os9Bytes[0] | (unsigned char)os9Bytes[1] << 8) - 2;
    os9Bytes[0] = (char)(stored & 0xFF);
    os9Bytes[1] = (char)(stored >> 8);

    std::string archive = lzhMember(longName) + os9Bytes + os9Bytes + std::string(1, '\0');
    sfx.ownFile = fileWith(archive);
    EXPECT_EQ(sumOriginalSizes(sfx), 4u + 9u + 9u);
    LhaEntryHeader h;
    ASSERT_TRUE(readEntryHeader(sfx, h));
    EXPECT_EQ(std::strlen(h.name), PATH_BUFFER + 40u);
    EXPECT_EQ(std::ftell(sfx.ownFile), (long)lzhMember(longName).size() - 4);
    std::fseek(sfx.ownFile, h.packedSize, SEEK_CUR);
    for (int k = 0; k < 2; ++k) {
        ASSERT_TRUE(readEntryHeader(sfx, h)) << k;
        EXPECT_STREQ(h.name, "sub/os9.txt");
        EXPECT_EQ(h.osId, 'K');
        char data[9];
        ASSERT_EQ(std::fread(data, 1, sizeof data, sfx.ownFile), sizeof data);
        EXPECT_EQ(std::string(data, sizeof data), "from OS-9");
    }
    EXPECT_FALSE(readEntryHeader(sfx, h));
    EXPECT_EQ(sfx.headerFault, HeaderFault::none);
}

TEST_F(Reader, LevelOneExtendedHeaderLargerThanTheBufferIsRefused)
{
    Member m;
    m.level = 1;
    m.name = "f";
    m.directory = "d\xFF";
    std::string bytes = lzhMember(m);
    size_t H = (unsigned char)bytes[0];
    bytes[H] = (char)0xF0;  // first extended header size 0x0FF0 + ... 
    bytes[H + 1] = (char)0x1F;
    bytes += std::string(9000, 'x');
    LhaEntryHeader h;
    EXPECT_FALSE(read(bytes, h));
}

TEST_F(Reader, NamesAsLongAsTheHeaderAllowsAreReadWhole)
{
    // A name cut to fit, written, would be another file ("a/b/c.txt" cut to "a/b/c"); the
    // name buffer holds whatever a header can carry, in Shift-JIS and as UTF-16 too.
    Member m;
    m.level = 2;
    m.directory = std::string(2000, 'd') + "\xFF";
    m.name = std::string(1900, 'x') + "\x82\xA0";  // ending in あ
    LhaEntryHeader h;
    ASSERT_TRUE(read(lzhMember(m), h));
    EXPECT_EQ(std::string(h.name), std::string(2000, 'd') + "/" + m.name);
    EXPECT_FALSE(h.badName);
    std::u16string wideName(1900, u'\x3042');  // あ: two bytes of UTF-16, three of UTF-8
    Member wide;
    wide.level = 2;
    wide.name = "x";
    wide.extended = {{0x44, std::string((const char*)wideName.data(), 2 * wideName.size())}};
    ASSERT_TRUE(read(lzhMember(wide), h));
    EXPECT_EQ(std::strlen(h.name), 3 * 1900u);
    EXPECT_FALSE(h.badName);
}

TEST(DosTime, Conversions)
{
    FakeHost host;
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(dosTimeToUnix(0, host), 0);
    EXPECT_EQ(dosTimeToUnix((20u << 25) | (3u << 21) | (1u << 16), host), 951868800);
    // 2009-10-26 05:27:02: two-second resolution.
    uint32_t v = (29u << 25) | (10u << 21) | (26u << 16) | (5u << 11) | (27u << 5) | 1u;
    EXPECT_EQ(dosTimeToUnix(v, host), 1256534822);
    // 2100 is counted as a leap year: 2100-03-01 is one day later than the calendar says.
    uint32_t march2100 = (120u << 25) | (3u << 21) | (1u << 16);
    EXPECT_EQ(dosTimeToUnix(march2100, host), (int32_t)(uint32_t)(4107542400LL + 86400));
    // Months 0 and 13 count no days before them.
    EXPECT_EQ(dosTimeToUnix((20u << 25) | (0u << 21) | (1u << 16), host),
              dosTimeToUnix((20u << 25) | (1u << 21) | (1u << 16), host));
    EXPECT_EQ(dosTimeToUnix((20u << 25) | (13u << 21) | (1u << 16), host),
              dosTimeToUnix((20u << 25) | (1u << 21) | (1u << 16), host));

    setenv("TZ", "JST-9", 1);  // nine hours east: local midnight is 15:00 UTC the day before
    tzset();
    EXPECT_EQ(dosTimeToUnix((20u << 25) | (3u << 21) | (1u << 16), host), 951868800 - 9 * 3600);
    setenv("TZ", "UTC", 1);
    tzset();
}

// A stored local time becomes UTC with the offset in force on its own date (summer time where
// the zone had it then), whatever the date of today; Tokyo has none. Each stamp is tried in
// its zone and compared with what the zone database gives.
TEST(DosTime, DaylightSavingOfItsOwnDate)
{
    FakeHost host;
    struct Case {
        const char* zone;
        uint32_t year, month, day, hour, minute;
        int32_t utc;
    };
    const Case cases[] = {
        {"Europe/Berlin", 2025, 6, 28, 12, 2, 1751104920},     // summer, UTC+2
        {"Europe/Berlin", 2025, 1, 15, 12, 2, 1736938920},     // winter, UTC+1
        {"Europe/Berlin", 2025, 3, 30, 3, 30, 1743298200},     // the first hour of summer time
        {"America/New_York", 2025, 7, 4, 12, 0, 1751644800},   // summer, UTC-4
        {"America/New_York", 2025, 12, 25, 12, 0, 1766682000}, // winter, UTC-5
        {"Asia/Tokyo", 2025, 7, 4, 12, 0, 1751598000},
        {"Asia/Tokyo", 2025, 12, 25, 12, 0, 1766631600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.month) + "/" + std::to_string(c.day));
        setenv("TZ", c.zone, 1);
        tzset();
        uint32_t stamp = ((c.year - 1980) << 25) | (c.month << 21) | (c.day << 16) | (c.hour << 11) |
                         (c.minute << 5);
        EXPECT_EQ(dosTimeToUnix(stamp, host), c.utc);
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

// A member of 4 GiB and more: header 0x42 replaces the 32-bit sizes, and the pre-scan and the
// skip to the next header reach past 4 GiB (a sparse file, so no disk is used).
TEST_F(Reader, SizesPastFourGiBComeFromHeader0x42AndArePassedOver)
{
    const uint64_t packed = (5ull << 30) + 3, original = (6ull << 30) + 1;
    Member big;
    big.level = 2;
    big.name = "big";
    big.originalSize = UINT32_MAX;
    big.extended = {sizesHeader(packed, original)};
    Member small = big;
    small.name = "small";
    small.data = "abc";
    small.originalSize = 3;
    small.extended.clear();
    sfx.ownFile = sparseFileWith(lzhMember(big), packed, lzhMember(small) + std::string("\0", 1));
    EXPECT_EQ(sumOriginalSizes(sfx), original + 3);

    LhaEntryHeader h;
    ASSERT_TRUE(readEntryHeader(sfx, h));
    EXPECT_EQ(h.packedSize, packed);
    EXPECT_EQ(h.originalSize, original);
    ASSERT_TRUE(skipPackedData(sfx, (int64_t)lzhMember(big).size(), h.packedSize));
    ASSERT_TRUE(readEntryHeader(sfx, h));
    EXPECT_STREQ(h.name, "small");
    EXPECT_EQ(h.originalSize, 3u);
    // A size that would carry the position past the largest one is not sought.
    EXPECT_FALSE(skipPackedData(sfx, 1, UINT64_MAX));
}

TEST_F(Reader, PreScanSumsOriginalSizesAndLeavesThePosition)
{
    Member a, b, c;
    a.name = "a";
    a.data = "12345";
    b.level = 1;
    b.name = "b";
    b.directory = "dir\xFF";
    b.data = "123";
    b.originalSize = 1000;
    c.level = 2;
    c.name = "c";
    c.data = std::string(70000, 'z');
    std::string archive = lzhMember(a) + lzhMember(b) + lzhMember(c) + std::string("\0", 1);
    sfx.ownFile = fileWith("xx" + archive, 2);
    EXPECT_EQ(sumOriginalSizes(sfx), 5u + 1000u + 70000u);
    EXPECT_EQ(std::ftell(sfx.ownFile), 2);

    // A header cut off by the end of the file adds nothing.
    std::fclose(sfx.ownFile);
    std::string cut = lzhMember(a) + lzhMember(c).substr(0, 15);
    sfx.ownFile = fileWith(cut);
    EXPECT_EQ(sumOriginalSizes(sfx), 5u);

    std::fclose(sfx.ownFile);
    sfx.ownFile = fileWith(std::string("\0", 1) + lzhMember(a));
    EXPECT_EQ(sumOriginalSizes(sfx), 0u);
}
