// What the tool says of a file that is not what it expects: a folder, an empty file, a text,
// a Windows program, a self-extractor without its archive, and archives cut off by a broken
// download. Status 2 means "not an archive of ours", 1 a damaged or cut-off one.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/archives.h"
#include "support/lzh_writer.h"

namespace fs = std::filesystem;

namespace {

Member stored(const std::string& name, const std::string& data)
{
    Member m;
    m.name = name;
    m.data = data;
    m.time = (30u << 25) | (6u << 21) | (15u << 16);  // 2010-06-15
    return m;
}

// "MZ", the mark at offset 36, zeros up to the block at 32768, a block of its present byte 0,
// then the archive.
std::string selfExtractor(const std::string& archive)
{
    std::string bytes = "MZ" + std::string(34, '\x90') + "LHA's SFX ";
    bytes.resize(32768, '\0');
    return bytes + '\0' + archive;
}

std::set<std::string> filesBelow(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.insert(fs::relative(it->path(), folder).string());
    return names;
}

TEST(WrongInput, EveryCaseNamesWhatTheFileIsAndFailsWithItsStatus)
{
    ASSERT_EQ(archives::toolMissing(), "");
    // Two members and no end mark, as LArc writes them: the end of the file after the last
    // member is a clean end.
    const std::string first = lzhMember(stored("first.txt", "one\n"));
    const std::string archive = first + lzhMember(stored("second.txt", std::string(3000, 's')));
    const std::string cut = archive.substr(0, archive.size() - 1000);
    const std::string sfxCut = selfExtractor(cut);
    const std::string cutAt = "cut off at offset " + std::to_string(cut.size());
    const std::string sfxCutAt = "cut off at offset " + std::to_string(sfxCut.size());
    const std::set<std::string> none, both = {"first.txt", "second.txt"}, onlyFirst = {"first.txt"};

    struct Row {
        const char* what;
        std::string bytes;  // the input file; "a folder" is a folder
        const char* command;
        int exitStatus;
        std::string err;        // part of stderr ("" : stderr stays empty)
        std::string out;        // part of stdout
        std::string notOut;     // never on stdout
        std::set<std::string> extracted;  // extract: what the destination holds afterwards
    };
    const Row rows[] = {
        {"a folder", "", "list", 2, "is a folder, not an LZH archive", "", "total", none},
        {"an empty file", "", "list", 2, "is empty, not an LZH archive", "", "total", none},
        {"a text file", "Dear reader,\nthis is no archive at all.\n", "list", 2,
         "is not an LZH archive", "", "total", none},
        {"a text file", "Dear reader,\nthis is no archive at all.\n", "extract", 2,
         "is not an LZH archive", "", "", none},
        {"a Windows program", "MZ" + std::string(40000, '\x90'), "list", 2,
         "is a Windows program but not a self-extractor", "", "total", none},
        {"a Windows program", "MZ" + std::string(40000, '\x90'), "info", 2,
         "is a Windows program but not a self-extractor", "", "configuration block", none},
        {"a self-extractor with nothing behind its block", selfExtractor(""), "info", 2,
         "not a self-extractor: no LZH archive follows", "", "configuration block", none},
        {"a self-extractor with only an end mark behind its block", selfExtractor(std::string(1, '\0')),
         "list", 2, "not a self-extractor: no LZH archive follows", "", "total", none},
        {"an archive without an end mark", archive, "list", 0, "", "total original size: 3004\n",
         "cut off", none},
        {"an archive without an end mark", archive, "extract", 0, "", "", "", both},
        {"a header that cannot be read behind a member", first + std::string(30, 'x'), "list", 1,
         "broken member header at file offset " + std::to_string(first.size()),
         "total original size: 4\n", "", none},
        {"an archive cut inside a member's packed data", cut, "list", 1, "second.txt: the archive is " + cutAt,
         "^ cut off: the file ends at offset " + std::to_string(cut.size()) + ", 2000 bytes",
         "total original size: 3004", none},
        {"an archive cut inside a member's packed data", cut, "extract", 1,
         "second.txt: the archive is " + cutAt, "", "", onlyFirst},
        {"a self-extractor cut inside a member's packed data", sfxCut, "extract", 1,
         "second.txt: the archive is " + sfxCutAt, "", "", onlyFirst},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.what) + ", " + row.command);
        std::string folder = archives::newTempFolder("wrong-input");
        std::string input = folder + "/input";
        if (std::string(row.what) == "a folder") fs::create_directory(input);
        else archives::writeFile(input, row.bytes);
        std::string dest = folder + "/dest";
        std::vector<std::string> args = {row.command, input};
        if (std::string(row.command) == "extract") args = {"extract", "-C", dest, input};

        archives::RunResult result = archives::runTool(args);
        EXPECT_EQ(result.exitStatus, row.exitStatus) << result.describe();
        if (row.err.empty()) {
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_NE(result.err.find(row.err), std::string::npos) << result.err;
        }
        EXPECT_NE(result.out.find(row.out), std::string::npos) << result.out;
        if (!row.notOut.empty()) {
            EXPECT_EQ(result.out.find(row.notOut), std::string::npos) << result.out;
        }
        EXPECT_EQ(filesBelow(dest), row.extracted);
    }
}

}  // namespace
