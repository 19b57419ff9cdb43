// Helpers for the tests that work on real archives: archives written by jlha (an encoder
// nobody here wrote) from a description, the quorsfx tool and the Debian oracles run as
// child processes, directory trees compared byte for byte, and the shared corpus located.
//
// Archives are cached in the build tree (tests/archive-cache), named by a fingerprint of
// their description, so that the many test processes CTest starts share one Java run. Trees
// and other temporary files live below one folder per test process, removed when it ends
// (set QUOR_KEEP_TEMP=1 to keep it for a post-mortem).
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace archives {

// A common modification time (2009-10-26 05:27:00 UTC): even, because levels 0 and 1 store
// MS-DOS time stamps in two-second steps.
const int64_t SOME_TIME = 1256534820;

// One member for jlha to write. Names are raw bytes (Shift-JIS allowed) with '/' between
// folders: jlha stores that '/' as '\' at level 0 and as a 0xFF-separated directory header at
// levels 1 and 2 (see tests/jlha/MakeArchive.java), so a reader gives back exactly `name`.
struct Member {
    std::string method = "-lh5-";  // stored even where the packed data is larger
    int level = 2;
    int64_t time = SOME_TIME;      // Unix time
    std::string name;
    std::string content;
    bool rawName = false;          // store `name` unaltered, '/' and all, in the name field
    int crcOverride = -1;          // 0..0xFFFF: store this CRC instead of the true one
};

struct ArchivePlan {
    std::string fileName;  // inside the run's archive folder, e.g. "lh5-level1.lzh"
    std::vector<Member> members;
};

struct BuiltArchive {
    std::string path;
    std::vector<uint32_t> packedSizes;  // per member, as jlha wrote them
};

// Why archives cannot be written on this machine ("" when java and jlha.jar are there).
std::string jlhaMissing();

// Writes every archive with one Java run, or finds them in the cache. `reuse` false: build
// them afresh in the process's temporary folder (for archives that differ in every run).
// Empty result and `error` set on failure.
std::vector<BuiltArchive> makeArchives(const std::vector<ArchivePlan>& plans, std::string& error,
                                       bool reuse = true);

// Deterministic contents: incompressible bytes, and word text that compresses with matches
// both near and far back.
std::string randomBytes(size_t size, uint32_t seed);
std::string wordText(size_t size, uint32_t seed);

// CRC-16/ARC (reflected polynomial 0xA001, initial value 0), as LHA headers store it.
uint16_t crc16(const std::string& data);

// A child process's outcome. `exitStatus` is -1 when it did not exit normally.
struct RunResult {
    int exitStatus = -1;
    int signal = 0;       // the signal that ended it, 0 if none
    bool timedOut = false;
    std::string out;
    std::string err;
    std::string describe() const;  // one line for failure messages
};

// Runs `argv` (argv[0] a path or a name looked up in PATH) with stdin from /dev/null, in
// `folder` when it is not empty, with `extraEnv` ("NAME=value") added to the environment.
// A child still running after `timeoutSeconds` is killed with its process group.
RunResult run(const std::vector<std::string>& argv, const std::string& folder = "",
              int timeoutSeconds = 60, const std::vector<std::string>& extraEnv = {});

// The quorsfx tool, run with TZ=UTC: levels 0 and 1 store local time, and UTC makes the
// times in listings and on extracted files predictable.
std::string toolPath();
std::string toolMissing();  // "" when the tool has been built
RunResult runTool(const std::vector<std::string>& args, const std::string& folder = "",
                  int timeoutSeconds = 60);

// Temporary folders below the run's root.
std::string tempRoot();
std::string newTempFolder(const std::string& label);  // unique, created

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

// A folder tree: relative path -> "dir", "file:" + bytes, "link:" + target, or "other".
using Tree = std::map<std::string, std::string>;
Tree readTree(const std::string& root);
// Differences between two trees, one per line ("" when equal); file bytes are not printed.
std::string diffTrees(const Tree& expected, const Tree& actual);

// ../shared/corpus from the project root, or "" when it is absent.
std::string corpusFolder();

// One member line of `quorsfx list`.
struct ListedMember {
    std::string method;
    uint32_t packedSize = 0;
    uint32_t originalSize = 0;
    std::string crc;  // four upper-case hex digits, or "----"
    unsigned level = 0;
    std::string time;  // YYYY-MM-DDTHH:MM:SSZ
    std::string name;  // UTF-8, '/' separators
};

struct Listing {
    std::vector<ListedMember> members;
    uint64_t totalOriginalSize = 0;
    std::string problem;  // "" when the output has the expected shape
};

Listing parseListing(const std::string& out);

// "YYYY-MM-DDTHH:MM:SSZ" of a Unix time.
std::string isoTime(int64_t unixTime);
// Shift-JIS (code page 932) to UTF-8 through the C library's iconv, independent of the
// tool's own converter; "" when the bytes are not valid Shift-JIS.
std::string sjisToUtf8(const std::string& sjis);
// "4CRC" style: four upper-case hex digits.
std::string hex4(uint16_t value);
// Bytes as they would appear in a message: printable ASCII kept, the rest as \xNN.
std::string printable(const std::string& bytes);

}  // namespace archives
