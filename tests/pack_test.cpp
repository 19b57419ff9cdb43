// `quorsfx pack`: the level-2 header of each kind of name, byte for byte where readers are
// strict (the header CRC, which no peer checks, byte 19, the length's low byte); and the
// refusals: a link, a pipe, a name the self-extractor would read as
// another path, a PATH outside -C, after which nothing is written: an existing OUT stays as
// it was and no temporary file is left beside it. (What pack writes is read back by every
// peer in tests/pack_roundtrip.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "archive_writer.h"
#include "decode/frame.h"
#include "support/archives.h"
#include "support/block_streams.h"

using namespace archives;

namespace {

uint32_t le16(const std::string& s, size_t at) { return (uint8_t)s[at] | (uint8_t)s[at + 1] << 8; }

struct NameCase {
    std::string path;      // UTF-8, as on disk
    std::string folder;    // extended header 0x02 as stored, "" for none
    std::string file;      // extended header 0x01
    int codePage;          // extended header 0x46, -1 for none
    bool unixTime;         // extended header 0x54, which keeps the length off a multiple of 256
};

const NameCase NAMES[] = {
    {"plain.txt", "", "plain.txt", -1, false},
    {"日本語/表.txt", "\x93\xFA\x96\x7B\x8C\xEA\xFF", "\x95\x5C.txt", 932, false},
    {"é/한.txt", "\xC3\xA9\xFF", "\xED\x95\x9C.txt", 65001, false},
    {std::string(217, 'n'), "", std::string(217, 'n'), -1, true},  // 256 bytes without 0x54
};

TEST(PackHeaders, EachNameGetsTheHeadersItsReadersNeed)
{
    ASSERT_EQ(toolMissing(), "");
    for (const NameCase& c : NAMES) {
        SCOPED_TRACE(c.path);
        std::string folder = newTempFolder("pack-header");
        std::filesystem::path file = folder + "/in/" + c.path;
        std::filesystem::create_directories(file.parent_path());
        writeFile(file.string(), "data");
        RunResult result = runTool({"pack", "-o", folder + "/out.lzh", "-C", folder + "/in", c.path});
        ASSERT_EQ(result.exitStatus, 0) << result.describe();

        std::string archive = readFile(folder + "/out.lzh");
        size_t length = le16(archive, 0);
        ASSERT_GE(archive.size(), length + 4 + 1);  // header, 4 bytes stored, end mark
        EXPECT_NE(length % 256, 0u);
        EXPECT_EQ(archive.substr(2, 5), "-lh0-");
        EXPECT_EQ(archive[19], '\x20');  // libarchive refuses anything else at level 2
        EXPECT_EQ(archive[20], 2);
        EXPECT_EQ(le16(archive, 21), crc16("data"));
        EXPECT_EQ(archive[23], 'U');
        std::string header = archive.substr(0, length);
        std::map<int, std::string> extensions;
        size_t at = 24;
        for (size_t size; at + 2 <= length && (size = le16(header, at)) != 0; at += size) {
            ASSERT_GE(size, 3u);
            ASSERT_LE(at + 2 + size, length);
            extensions[(uint8_t)header[at + 2]] = header.substr(at + 3, size - 3);
        }
        EXPECT_EQ(at + 2, length);  // the chain ends the header
        ASSERT_EQ(extensions[0x00].size(), 2u);
        std::string zeroed = header;
        zeroed.replace(27, 2, 2, '\0');  // the first extended header's data
        EXPECT_EQ(le16(extensions[0x00], 0), crc16(zeroed));
        EXPECT_EQ(extensions.count(0x02) ? extensions[0x02] : "", c.folder);
        EXPECT_EQ(extensions[0x01], c.file);
        EXPECT_EQ(extensions.count(0x46) ? (int)le16(extensions[0x46], 0) : -1, c.codePage);
        EXPECT_EQ(extensions.count(0x54) != 0, c.unixTime);
    }
}

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
    {"backslash in a name", [](const std::string& t) { writeFile(t + "/a\\b", "x"); },
     {"."}, 1, "a\\b: the name holds a control character or a backslash"},
    {"missing PATH", [](const std::string&) {}, {"ok.txt", "gone"}, 1, "gone: No such file"},
    {"PATH through ..", [](const std::string&) {}, {"../tree/ok.txt"}, 2, "may not leave"},
    {"absolute PATH", [](const std::string&) {}, {"/etc/hostname"}, 2, "relative to the folder"},
    {"no threads", [](const std::string&) {}, {"--threads", "0", "."}, 2, "--threads takes a number from 1"},
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

// Builds are reproducible: the same tree gives the same archive whatever the number of
// threads, with members of several segments, and small ones (packed side by side, in memory)
// before, between and after them: empty, stored, one segment exactly, in a folder.
TEST(PackThreads, TheArchiveIsTheSameForEveryNumberOfThreads)
{
    ASSERT_EQ(toolMissing(), "");
    std::string folder = newTempFolder("pack-threads");
    ASSERT_EQ(mkdir((folder + "/tree").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((folder + "/tree/d").c_str(), 0755), 0);
    writeFile(folder + "/tree/0.txt", wordText(70000, 20));
    writeFile(folder + "/tree/a.txt", wordText(2500000, 21));
    writeFile(folder + "/tree/b.txt", wordText(5000, 22));
    writeFile(folder + "/tree/c.bin", randomBytes(300000, 23) + wordText(1200000, 24));
    writeFile(folder + "/tree/d/empty", "");
    writeFile(folder + "/tree/d/noise", randomBytes(40000, 25));
    writeFile(folder + "/tree/d/segment.txt", wordText(1 << 20, 26));
    for (int i = 0; i < 9; ++i) writeFile(folder + "/tree/d/small" + std::to_string(i), wordText(3000 + 7000 * i, 30 + i));
    std::string first;
    for (const char* threads : {"1", "2", "3"}) {
        std::string out = folder + "/" + threads + ".lzh";
        RunResult result = runTool({"pack", "-o", out, "-C", folder + "/tree", "--threads", threads, "."});
        ASSERT_EQ(result.exitStatus, 0) << result.describe();
        if (first.empty()) first = readFile(out);
        else EXPECT_TRUE(readFile(out) == first) << threads << " threads";
    }
}

// A small file packed ahead on a worker: packed as the writer would pack it (or stored when it
// would not shrink), and failed rather than packed as a file it no longer is.
TEST(PackInMemory, PacksOrStoresTheFileAsListedAndRefusesOneThatChanged)
{
    std::string folder = newTempFolder("pack-memory");
    const struct {
        const char* name;
        std::string bytes;
        long listedExtra;  // the listed size minus the real one
        bool goOn;         // what keepGoing answers
        const char* error;  // the start of the error; "" for none
        bool compressed;
    } cases[] = {
        {"text", wordText(50000, 41), 0, true, "", true},
        {"noise", randomBytes(30000, 42), 0, true, "", false},
        {"empty", "", 0, true, "", false},
        {"grown", wordText(1000, 43), -100, true, "", false},
        {"shrunk", wordText(1000, 44), 100, true, "", false},
        {"interrupted", wordText(1000, 45), 0, false, "interrupted", false},
    };
    PackSettings settings;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = folder + "/" + c.name;
        writeFile(path, c.bytes);
        struct stat info = {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        info.st_size += c.listedExtra;
        PackedMember member;
        packInMemory(path, info, settings, [&] { return c.goOn; }, member);
        if (c.listedExtra != 0) {
            EXPECT_EQ(member.error, path + " changed while it was read");
            continue;
        }
        EXPECT_EQ(member.error.rfind(c.error, 0), 0u) << member.error;
        if (*c.error) continue;
        EXPECT_EQ(member.compressed, c.compressed);
        EXPECT_EQ(member.size, c.bytes.size());
        EXPECT_EQ(member.crc, updateCrc16(0, (const uint8_t*)c.bytes.data(), (uint32_t)c.bytes.size()));
        blocks::Bytes data(member.data.begin(), member.data.end());
        if (c.compressed) data = blocks::runJob(blocks::LH7, data, (uint32_t)c.bytes.size()).out;
        EXPECT_TRUE(data == blocks::Bytes(c.bytes.begin(), c.bytes.end()));
    }
    PackedMember missing;
    packInMemory(folder + "/none", {}, settings, [] { return true; }, missing);
    EXPECT_EQ(missing.error.rfind("cannot open " + folder + "/none", 0), 0u) << missing.error;
}

}  // namespace
