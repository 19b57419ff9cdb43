// Member names that try to leave the destination: '..' runs, drive letters, leading '/' and
// '\', UNC prefixes, 0xFF separators and Shift-JIS characters whose second byte is a
// backslash. After `quorsfx extract -C dest` nothing outside dest has changed, and every
// member lands at its cleaned path.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/archives.h"

using namespace archives;
namespace fs = std::filesystem;

namespace {

// The destination lies a few levels below the watched folder, so that a name climbing out
// with '..' would still land where the snapshot sees it.
const std::string DEST_BELOW = "a/b/c/d/dest";

struct HostileName {
    const char* why;
    const char* method;
    int level;
    bool raw;              // the name bytes as stored, not laid out by jlha
    std::string name;
    std::string landsAt;   // path below dest; "" when the member is skipped
};

// Names as stored. Level-0 names keep '\' (turned into '/' by the reader unless it is a
// Shift-JIS second byte); jlha stores a '/' of a level-1/2 name as a 0xFF-separated
// directory header.
std::vector<HostileName> hostileNames(const std::string& watched) {
    const std::string HYOU = "\x95\x5C";  // 表: second byte 0x5C
    const std::string SO = "\x83\x5C";    // ソ: second byte 0x5C
    const std::string FU = "\x83\x74";    // フ
    // Where they land: names are written in UTF-8.
    const std::string HYOU8 = "\xE8\xA1\xA8", SO8 = "\xE3\x82\xBD", FU8 = "\xE3\x83\x95";
    return {
        {"dot-dot run, '/'", "-lh0-", 0, true, "../../etc/hosts", "etc/hosts"},
        {"dot-dot run, '\\'", "-lh0-", 0, true, "..\\..\\..\\..\\..\\escape0.txt",
         "escape0.txt"},
        {"leading '/'", "-lh0-", 0, true, "/abs/file0", "abs/file0"},
        {"leading '\\'", "-lh0-", 0, true, "\\abs\\file1", "abs/file1"},
        {"drive letter", "-lh0-", 0, true, "C:\\dir\\file.txt", "dir/file.txt"},
        {"drive-relative dot-dot", "-lh0-", 0, true, "C:..\\x0", "x0"},
        {"dot and dot-run components", "-lh5-", 0, true, "a/./b/.../c0", "a/b/c0"},
        {"hidden-file dot", "-lh0-", 0, true, ".profile0", "profile0"},
        {"UNC prefix", "-lh0-", 0, true, "\\\\server\\share\\unc0", "server/share/unc0"},
        {"only dots after a folder", "-lh0-", 0, true, "dots3/...", ""},
        {"only dots", "-lh0-", 0, true, "...", ""},
        {"absolute path into the watched folder", "-lh0-", 0, true, watched + "/abs-target.txt",
         watched.substr(1) + "/abs-target.txt"},
        // 表 followed by '\..': the 0x5C is part of the character, the '\' after it is a
        // separator, and the '..' run after that goes.
        {"Shift-JIS 0x5C, then dot-dot", "-lh0-", 0, true, HYOU + "\\..\\..\\x1",
         HYOU8 + "/x1"},
        // 表.. is one component of four bytes, not '..'.
        {"Shift-JIS 0x5C glued to dots", "-lh0-", 0, true, HYOU + "..\\..\\x2",
         HYOU8 + "../x2"},
        {"dot-dot run in a 0xFF directory", "-lh5-", 1, false, "../../../../../escape1.txt",
         "escape1.txt"},
        {"dot-dot inside a 0xFF directory", "-lh0-", 1, false, "a2/../../b2/file4",
         "a2/b2/file4"},
        {"leading 0xFF", "-lh6-", 2, false, "/abs2/file2", "abs2/file2"},
        {"drive in a 0xFF directory", "-lh0-", 2, false, "C:/drive2/file3", "drive2/file3"},
        {"Shift-JIS 0x5C before a 0xFF separator", "-lh0-", 2, false,
         SO + FU + "/" + HYOU + ".txt", SO8 + FU8 + "/" + HYOU8 + ".txt"},
        {"'\\' dot-dot in a level-2 file name", "-lh0-", 2, true, "..\\..\\x6", "x6"},
        {"leading '/' in a level-1 base name", "-lh0-", 1, true, "/etc/escape7",
         "etc/escape7"},
        // 0xFF separates folders only in a directory header; in a file name it is a byte,
        // and no character of code page 932: the member is refused, not written.
        {"0xFF in a level-2 file name", "-lh0-", 2, true, "..\xFF..\xFFx8", ""},
        {"folder entry climbing out", "-lhd-", 2, false, "../../../../../lhd-escape/",
         "lhd-escape/"},
        {"folder entry with a leading '\\'", "-lhd-", 0, true, "\\abs-dir\\", "abs-dir/"},
        {"a plain member after all of them", "-lh5-", 1, false, "last/ok.txt", "last/ok.txt"},
    };
}

std::string contentOf(size_t index) {
    return "member " + std::to_string(index) + "\n";
}

struct HostileArchive {
    std::string watched;  // the folder whose snapshot must not change outside dest
    std::string path;
    std::vector<HostileName> names;
    std::string error;
};

const HostileArchive& hostileArchive() {
    static HostileArchive archive = [] {
        HostileArchive built;
        built.watched = newTempFolder("hostile");
        built.names = hostileNames(built.watched);
        ArchivePlan plan{"hostile.lzh", {}};
        for (size_t i = 0; i < built.names.size(); i++) {
            const HostileName& name = built.names[i];
            Member member{name.method, name.level, SOME_TIME, name.name,
                          name.method == std::string("-lhd-") ? "" : contentOf(i)};
            member.rawName = name.raw;
            plan.members.push_back(member);
        }
        // The names hold this process's folder, so the archive is new in every run.
        std::vector<BuiltArchive> archives = makeArchives({plan}, built.error, false);
        if (!archives.empty()) {
            built.path = archives[0].path;
        }
        return built;
    }();
    return archive;
}

Tree expectedTree(const std::vector<HostileName>& names) {
    Tree tree;
    for (size_t i = 0; i < names.size(); i++) {
        std::string path = names[i].landsAt;
        bool folder = !path.empty() && path.back() == '/';
        if (folder) {
            path.pop_back();
        }
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            tree[path.substr(0, slash)] = "dir";
        }
        if (!path.empty()) {
            tree[path] = folder ? "dir" : "file:" + contentOf(i);
        }
    }
    // "dots3/..." is cleaned to "dots3/", which names no file: the member is passed over
    // and nothing is made for it.
    return tree;
}

Tree outsideDest(const std::string& watched) {
    Tree outside;
    for (const auto& [path, value] : readTree(watched)) {
        if (path != DEST_BELOW && path.compare(0, DEST_BELOW.size() + 1, DEST_BELOW + "/") != 0) {
            outside[path] = value;
        }
    }
    return outside;
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = jlhaMissing();
        if (!missing.empty()) {
            GTEST_SKIP() << "cannot write test archives: " << missing;
        }
        ASSERT_EQ(toolMissing(), "");
        ASSERT_EQ(hostileArchive().error, "");
    }
};

TEST_F(Hostile, NamesStayInsideTheDestinationAtTheirCleanedPaths) {
    const HostileArchive& archive = hostileArchive();
    fs::create_directories(archive.watched + "/" + DEST_BELOW);
    fs::create_directories(archive.watched + "/cwd");
    writeFile(archive.watched + "/a/b/keep.txt", "untouched\n");
    Tree before = outsideDest(archive.watched);

    std::string dest = archive.watched + "/" + DEST_BELOW;
    RunResult result =
        runTool({"extract", "-C", dest, archive.path}, archive.watched + "/cwd", 30);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, 0) << result.describe();
    // Two members ("dots3/..." and "...") clean to names of no file and are passed over, and
    // one name is not Shift-JIS: the run goes on but fails.
    EXPECT_EQ(result.exitStatus, 1) << result.describe();

    EXPECT_EQ(diffTrees(before, outsideDest(archive.watched)), "")
        << "something was written outside the destination";
    EXPECT_EQ(diffTrees(expectedTree(archive.names), readTree(dest)), "");
}

TEST_F(Hostile, ListingShowsTheNamesUncleaned) {
    // The listing is what the header reader delivers: separators unified, nothing removed.
    const HostileArchive& archive = hostileArchive();
    RunResult result = runTool({"list", archive.path});
    ASSERT_EQ(result.exitStatus, 0) << result.describe();
    Listing listing = parseListing(result.out);
    ASSERT_EQ(listing.problem, "") << result.out;
    ASSERT_EQ(listing.members.size(), archive.names.size());
    auto listedName = [&](const std::string& why) {
        for (size_t i = 0; i < archive.names.size(); i++) {
            if (archive.names[i].why == why) {
                return listing.members[i].name;
            }
        }
        return std::string("(no such case)");
    };
    EXPECT_EQ(listedName("dot-dot run, '/'"), "../../etc/hosts");
    EXPECT_EQ(listedName("dot-dot run, '\\'"), "../../../../../escape0.txt");
    EXPECT_EQ(listedName("dot-dot run in a 0xFF directory"), "../../../../../escape1.txt");
    EXPECT_EQ(listedName("leading 0xFF"), "/abs2/file2");
    EXPECT_EQ(listedName("UNC prefix"), "//server/share/unc0");
}

}  // namespace
