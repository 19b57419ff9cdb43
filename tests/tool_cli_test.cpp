// The tool as a command people install: the usage and version conventions, the stubs it
// carries inside itself (so that `make` works wherever it lies), and output that
// SOURCE_DATE_EPOCH makes the same on every machine and every run.
#include <gtest/gtest.h>
#include <utime.h>

#include <filesystem>
#include <regex>

#include "support/archives.h"

using namespace archives;

namespace {

TEST(ToolConventions, HelpAndVersionSucceedOnStandardOutputAMistakeFailsOnStandardError)
{
    ASSERT_EQ(toolMissing(), "");
    struct Case {
        std::vector<std::string> args;
        int status;
        bool usageOnOut, usageOnErr;
    } cases[] = {
        {{"--help"}, 0, true, false},
        {{"-h"}, 0, true, false},
        {{"make", "--help"}, 0, true, false},
        {{}, 2, false, true},
        {{"frobnicate"}, 2, false, true},
        {{"frobnicate", "--help"}, 2, false, true},
        {{"--version", "extra"}, 2, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(no arguments)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        RunResult r = runTool(c.args);
        EXPECT_EQ(r.exitStatus, c.status) << r.describe();
        EXPECT_EQ(r.out.find("usage: quorsfx") == 0, c.usageOnOut) << r.out;
        EXPECT_EQ(r.err.find("usage: quorsfx") == 0, c.usageOnErr) << r.err;
    }
    RunResult version = runTool({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("quorsfx [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << version.out;
    EXPECT_EQ(version.err, "");
}

TEST(ToolStubs, MakeWritesTheStubOfItsArchFromInsideTheTool)
{
    ASSERT_EQ(toolMissing(), "");
    std::string folder = newTempFolder("make-arch");
    writeFile(folder + "/a.txt", "payload\n");
    const std::string stub64 = readFile(std::string(QUOR_SOURCE_DIR) + "/build/win64/ui/quorsfx.exe");
    const std::string stub32 = readFile(std::string(QUOR_SOURCE_DIR) + "/build/win32/ui/quorsfx.exe");
    ASSERT_FALSE(stub64.empty());
    ASSERT_FALSE(stub32.empty());
    std::string custom = "MZ" + std::string(34, 'x') + "LHA's SFX " + std::string(100, 'c');
    writeFile(folder + "/custom.exe", custom);
    // From a folder without any stub: nothing beside the tool or the output is looked for.
    struct Case {
        std::vector<std::string> options;
        std::string stub;  // empty: refused with status 2
    } cases[] = {
        {{}, stub64},
        {{"--arch", "x86_64"}, stub64},
        {{"--arch", "x86"}, stub32},
        {{"--arch", "x86", "--stub", "custom.exe"}, custom},
        {{"--arch", "arm64"}, ""},
        {{"--arch"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "(default)" : c.options[0] + " " + c.options.back());
        std::vector<std::string> args = {"make", "-o", "out.exe", "--no-config"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("a.txt");
        std::filesystem::remove(folder + "/out.exe");
        RunResult r = runTool(args, folder);
        if (c.stub.empty()) {
            EXPECT_EQ(r.exitStatus, 2) << r.describe();
            EXPECT_NE(r.err.find("--arch takes x86_64 (the default) or x86"), std::string::npos) << r.err;
            continue;
        }
        ASSERT_EQ(r.exitStatus, 0) << r.describe();
        std::string made = readFile(folder + "/out.exe");
        ASSERT_GT(made.size(), 32769u);
        EXPECT_TRUE(made.compare(0, c.stub.size(), c.stub) == 0);
        // Zeros up to the block, whose present byte (--no-config) is 0 as well.
        EXPECT_EQ(made.find_first_not_of('\0', c.stub.size()), 32769u);
        RunResult listed = runTool({"list", "out.exe"}, folder);
        EXPECT_EQ(listed.exitStatus, 0) << listed.describe();
        EXPECT_NE(listed.out.find("a.txt"), std::string::npos);
    }
}

// Sets the modification time of `path` (seconds since 1970, UTC).
void setTime(const std::string& path, time_t when)
{
    struct utimbuf times = {when, when};
    ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

TEST(Reproducible, SourceDateEpochClampsLaterTimesSoTheSameTreeGivesTheSameBytes)
{
    ASSERT_EQ(toolMissing(), "");
    const time_t epoch = 1700000000;  // 2023-11-14T22:13:20Z
    const time_t old = 1600000000;    // 2020-09-13T12:26:40Z, kept as it is
    std::string folder = newTempFolder("reproducible");
    // The same tree twice, its newer times different in each copy.
    for (int copy = 0; copy < 2; ++copy) {
        std::string tree = folder + "/tree" + std::to_string(copy);
        std::filesystem::create_directories(tree + "/app/data");
        writeFile(tree + "/app/data/new.txt", wordText(5000, 1));
        writeFile(tree + "/app/old.txt", "as it was in 2020\n");
        setTime(tree + "/app/data/new.txt", epoch + 1 + copy * 86400);
        setTime(tree + "/app/old.txt", old);
        setTime(tree + "/app/data", epoch + 7 + copy);
        setTime(tree + "/app", time(nullptr) - copy);
    }
    auto made = [&](const std::string& command, int copy, const std::string& value) {
        std::string out = folder + "/" + command + std::to_string(copy) + value;
        std::vector<std::string> argv = {toolPath(), command, "-o", out, "-C",
                                         folder + "/tree" + std::to_string(copy), "app"};
        if (command == "make") argv.insert(argv.begin() + 2, {"--arch", "x86", "--title", "App"});
        RunResult r = run(argv, "", 60, {"TZ=UTC", "SOURCE_DATE_EPOCH=" + value});
        EXPECT_EQ(r.exitStatus, 0) << r.describe();
        return readFile(out);
    };
    for (const std::string command : {"pack", "make"}) {
        SCOPED_TRACE(command);
        std::string first = made(command, 0, std::to_string(epoch));
        ASSERT_FALSE(first.empty());
        EXPECT_TRUE(first == made(command, 1, std::to_string(epoch)));
        // Without it, the times are the files' own, as before.
        EXPECT_FALSE(made(command, 0, "") == made(command, 1, ""));
    }
    std::string listing = runTool({"list", folder + "/pack0" + std::to_string(epoch)}).out;
    EXPECT_NE(listing.find("2023-11-14T22:13:20Z  app/data/new.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("2020-09-13T12:26:40Z  app/old.txt"), std::string::npos) << listing;

    for (const std::string bad : {"soon", "-1", "1700000000.5", "99999999999999999999"}) {
        RunResult r = run({toolPath(), "pack", "-o", folder + "/bad.lzh", "-C", folder + "/tree0", "app"},
                          "", 60, {"SOURCE_DATE_EPOCH=" + bad});
        EXPECT_EQ(r.exitStatus, 2) << bad;
        EXPECT_NE(r.err.find("SOURCE_DATE_EPOCH=" + bad + ": not a Unix time"), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(folder + "/bad.lzh"));
    }
}

}  // namespace
