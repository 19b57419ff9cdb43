// `quorsfx pack` refuses what it cannot pack as it is, and then writes nothing: a link, a
// pipe, a file of 4 GiB or more, a name the self-extractor would read as another path, a PATH
// outside -C. An existing OUT stays as it was and no temporary file is left beside it. (What
// pack writes is read back by every peer in tests/pack_roundtrip.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "support/archives.h"

using namespace archives;

namespace {

struct Refusal {
    const char* name;
    std::function<void(const std::string& tree)> make;  // adds the offending entry
    std::vector<std::string> paths;
    int exitStatus;
    const char* message;
};

const Refusal REFUSALS[] = {
    {"symbolic link",
     [](const std::string& t) { ASSERT_EQ(symlink("ok.txt", (t + "/link").c_str()), 0); },
     {"."}, 1, "link: a symbolic link"},
    {"pipe", [](const std::string& t) { ASSERT_EQ(mkfifo((t + "/pipe").c_str(), 0644), 0); },
     {"."}, 1, "pipe: not a regular file or folder"},
    {"4 GiB file",  // sparse: no disk space taken
     [](const std::string& t) {
         writeFile(t + "/huge", "");
         ASSERT_EQ(truncate((t + "/huge").c_str(), 1ll << 32), 0);
     },
     {"."}, 1, "huge: 4 GiB or more"},
    {"backslash in a name", [](const std::string& t) { writeFile(t + "/a\\b", "x"); },
     {"."}, 1, "a\\b: the name holds a control character or a backslash"},
    {"missing PATH", [](const std::string&) {}, {"ok.txt", "gone"}, 1, "gone: No such file"},
    {"PATH through ..", [](const std::string&) {}, {"../tree/ok.txt"}, 2, "may not leave"},
    {"absolute PATH", [](const std::string&) {}, {"/etc/hostname"}, 2, "relative to the folder"},
};

TEST(PackRefusals, NothingIsWrittenWhenAPathCannotBePacked)
{
    ASSERT_EQ(toolMissing(), "");
    for (const Refusal& c : REFUSALS) {
        SCOPED_TRACE(c.name);
        std::string folder = newTempFolder("pack-refused");
        std::string tree = folder + "/tree";
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        writeFile(tree + "/ok.txt", "fine\n");
        c.make(tree);
        writeFile(folder + "/out.lzh", "old");
        std::vector<std::string> args = {"pack", "-o", folder + "/out.lzh", "-C", tree};
        args.insert(args.end(), c.paths.begin(), c.paths.end());
        RunResult result = runTool(args);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << result.describe();
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(readFile(folder + "/out.lzh"), "old");
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "out.lzh" || name == "tree") << "left behind: " << name;
        }
    }
}

}  // namespace
