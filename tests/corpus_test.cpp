// The real-world corpus (../shared/corpus): archives made by many archivers on many
// platforms. Every archive is listed and extracted without a crash, a hang or a byte written
// outside the destination; where lhasa (an independent extractor) reads an archive, the
// listing and the extracted files agree with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "support/archives.h"

using namespace archives;
namespace fs = std::filesystem;

namespace {

const int TIMEOUT_SECONDS = 20;

struct CorpusArchive {
    std::string path;
    std::string relative;  // e.g. "lha213/lh5.lzh"
    bool regression;       // the hand-made hostile folder
    int firstLevel;        // header level of the first member, -1 when unreadable
};

std::vector<CorpusArchive> corpusArchives(const std::string& corpus) {
    std::vector<CorpusArchive> found;
    for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
        std::string extension = entry.path().extension().string();
        std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
        if (!entry.is_regular_file() ||
            (extension != ".lzh" && extension != ".lzs" && extension != ".lha")) {
            continue;
        }
        CorpusArchive archive;
        archive.path = entry.path().string();
        archive.relative = fs::relative(entry.path(), corpus).string();
        archive.regression = archive.relative.compare(0, 11, "regression/") == 0;
        std::string bytes = readFile(archive.path);
        archive.firstLevel = bytes.size() > 20 ? static_cast<unsigned char>(bytes[20]) : -1;
        found.push_back(archive);
    }
    std::sort(found.begin(), found.end(),
              [](const CorpusArchive& a, const CorpusArchive& b) { return a.path < b.path; });
    return found;
}

bool lhasaMissing() {
    return run({"lhasa"}, "", TIMEOUT_SECONDS).exitStatus == 127;
}

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// lhasa writes the names of MS-DOS archivers, which stored them in upper case, in lower case
// on disk and in listings; paths are compared without regard to ASCII case for that reason.
Tree caseFolded(const Tree& tree) {
    Tree folded;
    for (const auto& [path, value] : tree) {
        folded[lowerAscii(path)] = value;
    }
    return folded;
}

struct LhasaMember {
    std::string method, crc, name;
    uint32_t packedSize = 0, originalSize = 0;
};

// Member lines of `lhasa v`: permissions or [OS], packed, size, ratio, method, crc, a
// 12-character date, name. A Unix symbolic link shows as "name -> target".
std::vector<LhasaMember> lhasaListing(const std::string& out) {
    static const std::regex line(
        R"(^.*?\s(\d+)\s+(\d+)\s+\S+\s+(-[a-z0-9]{3}-)\s+([0-9a-f]{4})\s.{12}\s(.*)$)");
    std::vector<LhasaMember> members;
    std::istringstream lines(out);
    std::string text;
    while (std::getline(lines, text)) {
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            LhasaMember member;
            member.packedSize = static_cast<uint32_t>(std::stoul(match[1]));
            member.originalSize = static_cast<uint32_t>(std::stoul(match[2]));
            member.method = match[3];
            member.crc = match[4];
            member.name = match[5];
            members.push_back(member);
        }
    }
    return members;
}

// lhasa's view of an archive's members; empty when lhasa cannot read any. (It reads none of
// lha_unix114i/h0_subdir.lzh, whose level-0 folder entries have empty names.)
std::vector<LhasaMember> lhasaMembers(const CorpusArchive& archive) {
    return lhasaListing(run({"lhasa", "v", archive.path}, "", TIMEOUT_SECONDS).out);
}

class Corpus : public ::testing::Test {
protected:
    void SetUp() override {
        corpus = corpusFolder();
        if (corpus.empty()) {
            GTEST_SKIP() << "the shared corpus (../shared/corpus from the project root) is "
                            "missing; nothing to test against";
        }
        ASSERT_EQ(toolMissing(), "");
        archives = corpusArchives(corpus);
        ASSERT_FALSE(archives.empty()) << "no archives below " << corpus;
        lhasaAbsent = lhasaMissing();
    }

    // Archives lhasa reads the way this extractor must: not the hostile folder, and not the
    // level-3 headers, which this extractor does not read (they only have to end the walk
    // cleanly). lh0_dirs_bug.lzh holds headers with empty names that an Amiga archiver
    // wrote by mistake; lhasa repairs them with knowledge of that fault, which a reader of
    // the headers as stored cannot share.
    static bool comparableWithLhasa(const CorpusArchive& archive) {
        return !archive.regression && archive.firstLevel >= 0 && archive.firstLevel <= 2 &&
               archive.relative != "lha_amiga_122/lh0_dirs_bug.lzh";
    }

    // lhasa's members of an archive it can be the oracle for; empty when it cannot.
    std::vector<LhasaMember> oracleMembers(const CorpusArchive& archive) const {
        if (lhasaAbsent || !comparableWithLhasa(archive)) {
            return {};
        }
        return lhasaMembers(archive);
    }

    std::string corpus;
    std::vector<CorpusArchive> archives;
    bool lhasaAbsent = false;
};

// MacLHA wraps files in MacBinary: a 128-byte header whose bytes 83 to 86 hold the length of
// the data fork (big-endian), which follows the header. lhasa unwraps such members of
// level-1 and level-2 headers with the Mac OS id; this extractor, like the stub, writes the
// member as stored (that is what its CRC covers), so its data fork is what lhasa wrote.
bool wrapsMacBinary(const CorpusArchive& archive) {
    return archive.relative.compare(0, 11, "maclha_224/") == 0 && archive.firstLevel >= 1 &&
           archive.relative.find("_nm_") == std::string::npos;
}

std::string dataFork(const std::string& treeValue) {
    const size_t header = 128;
    if (treeValue.compare(0, 5, "file:") != 0 || treeValue.size() < 5 + header) {
        return treeValue;
    }
    std::string bytes = treeValue.substr(5);
    size_t length = 0;
    for (size_t i = 83; i < 87; i++) {
        length = length << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return "file:" + bytes.substr(header, length);
}

// A link of lhasa's tree ("link:TARGET" at `path`) that this extractor refuses: its target
// is absolute or climbs above the destination.
bool leadsOutside(const std::string& path, const std::string& value) {
    if (value.compare(0, 5, "link:") != 0) return false;
    std::string target = value.substr(5);
    if (target.empty() || target[0] == '/') return true;
    long depth = (long)std::count(path.begin(), path.end(), '/');
    std::stringstream parts(target);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part == "..") {
            if (--depth < 0) return true;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
    }
    return false;
}

// Compares our extraction with lhasa's: the same files with the same bytes, and the same
// Unix symbolic links, which both make of the folder entries "link|target", but for those
// leading outside the destination, which this extractor refuses. Folders that the entries
// make here are not counted against it. When lhasa itself gives up part-way, only what it
// wrote is compared.
std::string compareWithLhasa(const Tree& lhasa, const Tree& ours, bool lhasaFinished,
                             bool macBinary) {
    Tree expected, actual;
    for (const auto& [path, value] : caseFolded(lhasa)) {
        if (!leadsOutside(path, value)) expected[path] = value;
    }
    for (const auto& [path, value] : caseFolded(ours)) {
        bool lhasaHasIt = expected.count(path) != 0;
        if (lhasaHasIt || (lhasaFinished && value != "dir")) {
            actual[path] = macBinary ? dataFork(value) : value;
        }
    }
    return diffTrees(expected, actual);
}

// Runs an extraction in a folder of its own and returns everything it changed outside the
// destination ("" when nothing). The destination lies a few levels down so that a path
// climbing out with '..' would still land inside the watched folder.
struct ContainedRun {
    RunResult result;
    std::string escaped;
    std::string dest;
};

ContainedRun extractContained(const std::string& archive, const std::string& label) {
    ContainedRun contained;
    std::string work = newTempFolder(label);
    std::string parent = work + "/a/b/c/d";
    fs::create_directories(parent);
    fs::create_directories(work + "/cwd");
    contained.dest = parent + "/dest";
    const std::vector<std::string> absolute = {"/tmp/absolute_path.txt", "/tmp/passwd",
                                               "/absolute/path"};
    std::vector<bool> existed;
    for (const std::string& path : absolute) {
        existed.push_back(fs::exists(fs::symlink_status(path)));
    }
    Tree before = readTree(work);
    contained.result = runTool({"extract", "-C", contained.dest, archive}, work + "/cwd",
                               TIMEOUT_SECONDS);
    Tree after;
    for (const auto& [path, value] : readTree(work)) {
        if (path != "a/b/c/d/dest" && path.compare(0, 13, "a/b/c/d/dest/") != 0) {
            after[path] = value;
        }
    }
    contained.escaped = diffTrees(before, after);
    for (size_t i = 0; i < absolute.size(); i++) {
        if (!existed[i] && fs::exists(fs::symlink_status(absolute[i]))) {
            contained.escaped += "written: " + absolute[i] + "\n";
        }
    }
    return contained;
}

// Every archive lhasa cannot be the oracle for (the hostile folder, level-3 headers, ...):
// listing and extraction end by themselves, without a crash, and write nothing outside the
// destination. The others get the same checks, and more, in the two tests after this one;
// each archive is run once, since under the sanitizers every run of the tool counts.
TEST_F(Corpus, ArchivesWithoutOracleEndCleanlyWithoutEscape) {
    for (const CorpusArchive& archive : archives) {
        if (!oracleMembers(archive).empty()) {
            continue;
        }
        SCOPED_TRACE(archive.relative);
        RunResult listed = runTool({"list", archive.path}, "", TIMEOUT_SECONDS);
        EXPECT_FALSE(listed.timedOut);
        EXPECT_EQ(listed.signal, 0) << listed.describe();
        EXPECT_GE(listed.exitStatus, 0);
        EXPECT_LE(listed.exitStatus, 2);

        ContainedRun extracted = extractContained(archive.path, "corpus");
        EXPECT_FALSE(extracted.result.timedOut);
        EXPECT_EQ(extracted.result.signal, 0) << extracted.result.describe();
        EXPECT_GE(extracted.result.exitStatus, 0);
        EXPECT_LE(extracted.result.exitStatus, 2);
        EXPECT_EQ(extracted.escaped, "");
    }
}

TEST_F(Corpus, ListingAgreesWithLhasa) {
    if (lhasaAbsent) {
        GTEST_SKIP() << "lhasa is not installed (Debian package lhasa)";
    }
    int compared = 0;
    for (const CorpusArchive& archive : archives) {
        std::vector<LhasaMember> expected = oracleMembers(archive);
        if (expected.empty()) {
            continue;
        }
        SCOPED_TRACE(archive.relative);
        RunResult result = runTool({"list", archive.path}, "", TIMEOUT_SECONDS);
        EXPECT_EQ(result.exitStatus, 0) << result.describe();
        Listing listing = parseListing(result.out);
        if (!listing.problem.empty() || listing.members.size() != expected.size()) {
            ADD_FAILURE() << "lhasa lists " << expected.size() << " members; the listing is:\n"
                          << result.out << listing.problem;
            continue;
        }
        for (size_t i = 0; i < expected.size(); i++) {
            const ListedMember& listed = listing.members[i];
            std::string name = expected[i].name;
            size_t arrow = name.find(" -> ");
            if (arrow != std::string::npos) {
                name.replace(arrow, 4, "|");  // how Unix archivers store a link's target
            }
            EXPECT_EQ(lowerAscii(listed.name), lowerAscii(name));
            EXPECT_EQ(listed.method, expected[i].method);
            EXPECT_EQ(listed.packedSize, expected[i].packedSize) << listed.name;
            EXPECT_EQ(listed.originalSize, expected[i].originalSize) << listed.name;
            EXPECT_EQ(lowerAscii(listed.crc), expected[i].crc) << listed.name;
        }
        compared++;
    }
    EXPECT_GT(compared, 50);
}

TEST_F(Corpus, ExtractionAgreesWithLhasa) {
    if (lhasaAbsent) {
        GTEST_SKIP() << "lhasa is not installed (Debian package lhasa)";
    }
    int compared = 0;
    for (const CorpusArchive& archive : archives) {
        if (oracleMembers(archive).empty()) {
            continue;
        }
        SCOPED_TRACE(archive.relative);
        std::string oracleDest = newTempFolder("lhasa");
        RunResult oracle =
            run({"lhasa", "xqfw=" + oracleDest, archive.path}, oracleDest, TIMEOUT_SECONDS);
        ContainedRun extracted = extractContained(archive.path, "corpus");
        // Where lhasa fails too (a file and a folder of one name), a member is lost and the
        // run fails; it never crashes or counts as a usage error. So does a link refused.
        Tree oracleTree = readTree(oracleDest);
        bool refusesLink = std::any_of(oracleTree.begin(), oracleTree.end(),
                                       [](const auto& entry) { return leadsOutside(entry.first, entry.second); });
        if (oracle.exitStatus == 0)
            EXPECT_EQ(extracted.result.exitStatus, refusesLink ? 1 : 0) << extracted.result.describe();
        else
            EXPECT_LE(extracted.result.exitStatus, 1) << extracted.result.describe();
        EXPECT_EQ(extracted.escaped, "");
        EXPECT_EQ(compareWithLhasa(oracleTree, readTree(extracted.dest),
                                   oracle.exitStatus == 0, wrapsMacBinary(archive)),
                  "");
        compared++;
    }
    EXPECT_GT(compared, 50);
}

TEST_F(Corpus, TruncatedMemberEndsWithTheCutOffReport) {
    std::string truncated = corpus + "/regression/truncated.lzh";
    if (!fs::exists(truncated)) {
        GTEST_SKIP() << truncated << " is missing";
    }
    ContainedRun extracted = extractContained(truncated, "truncated");
    EXPECT_EQ(extracted.result.exitStatus, 1) << extracted.result.describe();
    std::string err = extracted.result.err;
    while (!err.empty() && err.back() == '\n') {
        err.pop_back();
    }
    std::string lastLine = err.substr(err.rfind('\n') == std::string::npos ? 0 : err.rfind('\n') + 1);
    // The file ends inside GPL-2's packed data: a broken download, not a damaged member.
    EXPECT_NE(lastLine.find("cut off at offset " + std::to_string(fs::file_size(truncated))),
              std::string::npos)
        << extracted.result.err;
    EXPECT_EQ(extracted.result.err.find("damaged"), std::string::npos) << extracted.result.err;
    EXPECT_EQ(extracted.escaped, "");
}

}  // namespace
