// What the tool says of a file that is not what it expects: a folder, an empty file, a text,
// a Windows program, a self-extractor without its archive, an archive cut off by a broken
// download. Status 2 means "not an archive of ours", 1 a damaged or cut-off one.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/archives.h"
#include "support/lzh_writer.h"

namespace {

using archives::Tree;

Member stored(const std::string& name, const std::string& data)
{
    Member m;
    m.name = name;
    m.data = data;
    return m;
}

// "MZ", the mark at offset 36, zeros up to 32768, a block of its present byte 0, the archive.
std::string selfExtractor(const std::string& archive)
{
    std::string bytes = "MZ" + std::string(34, '\x90') + "LHA's SFX ";
    bytes.resize(32768, '\0');
    return bytes + '\0' + archive;
}

TEST(WrongInput, EachCaseSaysWhatTheFileIsWithItsStatus)
{
    ASSERT_EQ(archives::toolMissing(), "");
    // Two members and no end mark, as LArc writes them; cut, the file ends 2000 bytes into
    // the second member's data.
    const std::string first = lzhMember(stored("first.txt", "one\n"));
    const std::string archive = first + lzhMember(stored("second.txt", std::string(3000, 's')));
    const std::string cut = archive.substr(0, archive.size() - 1000);
    const std::string cutAt = "second.txt: the archive is cut off at offset ";
    const std::string text = "Dear reader,\nthis is no archive.\n";
    const std::string program = "MZ" + std::string(40000, 'P');
    const Tree none, onlyFirst = {{"first.txt", "file:one\n"}};
    const Tree both = {{"first.txt", "file:one\n"},
                       {"second.txt", "file:" + std::string(3000, 's')}};
    // Header 0x42 gives a packed size that, added to where the data start, wraps round to
    // the header itself: the search for the cut member must not run in a circle.
    Member circle = stored("circle.txt", "");
    circle.level = 2;
    circle.extended = {sizesHeader(0, 0)};
    const uint64_t headerLength = lzhMember(circle).size();
    circle.extended = {sizesHeader(0 - headerLength, 0)};

    struct Row {
        const char* what;
        std::string bytes;  // the input; "a folder" is a folder
        const char* command;
        int exitStatus;
        std::string err;     // part of stderr, or "" for none at all
        std::string out;     // part of stdout
        std::string notOut;  // never on stdout
        Tree extracted;      // what the destination holds afterwards
    };
    const Row rows[] = {
        {"a folder", "", "list", 2, "is a folder, not an LZH archive", "", "total", none},
        {"an empty file", "", "list", 2, "is empty, not an LZH archive", "", "total", none},
        {"a text", text, "list", 2, "is not an LZH archive", "", "total", none},
        {"a text", text, "extract", 2, "is not an LZH archive", "", "", none},
        {"a program", program, "list", 2, "a Windows program but not a self-extractor", "",
         "total", none},
        {"a program", program, "info", 2, "a Windows program but not a self-extractor", "",
         "block", none},
        {"a block and nothing behind it", selfExtractor(""), "info", 2,
         "not a self-extractor: no LZH archive follows", "", "block", none},
        {"a block and an end mark", selfExtractor(std::string(1, '\0')), "list", 2,
         "not a self-extractor: no LZH archive follows", "", "total", none},
        {"no end mark", archive, "list", 0, "", "total original size: 3004\n", "cut off", none},
        {"no end mark", archive, "extract", 0, "", "", "", both},
        {"a broken header behind a member", first + std::string(30, 'x'), "list", 1,
         "broken member header at file offset " + std::to_string(first.size()),
         "total original size: 4\n", "", none},
        {"cut in a member's data", cut, "list", 1, cutAt + std::to_string(cut.size()),
         "^ cut off: the file ends at offset " + std::to_string(cut.size()) + ", 2000 bytes",
         "total original size: 3004", none},
        {"cut in a member's data", cut, "extract", 1, cutAt + std::to_string(cut.size()), "", "",
         onlyFirst},
        {"a self-extractor cut in a member's data", selfExtractor(cut), "extract", 1,
         cutAt + std::to_string(32769 + cut.size()), "", "", onlyFirst},
        {"a packed size that wraps round", lzhMember(circle) + '\0', "extract", 1,
         "circle.txt: the archive is cut off", "", "", none},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.what) + ", " + row.command);
        std::string folder = archives::newTempFolder("wrong-input"), input = folder + "/input";
        if (std::string(row.what) == "a folder") std::filesystem::create_directory(input);
        else archives::writeFile(input, row.bytes);
        std::vector<std::string> args = {row.command, input};
        if (args[0] == "extract") args = {"extract", "-C", folder + "/dest", input};

        archives::RunResult result = archives::runTool(args, "", 10);
        EXPECT_EQ(result.exitStatus, row.exitStatus) << result.describe();
        bool errAsMeant = row.err.empty() ? result.err.empty()
                                          : result.err.find(row.err) != std::string::npos;
        EXPECT_TRUE(errAsMeant) << result.err;
        EXPECT_NE(result.out.find(row.out), std::string::npos) << result.out;
        bool notOutSeen = !row.notOut.empty() && result.out.find(row.notOut) != std::string::npos;
        EXPECT_FALSE(notOutSeen) << result.out;
        EXPECT_EQ(archives::readTree(folder + "/dest"), row.extracted);
    }
}

}  // namespace
