// The bodies of the fuzz harnesses, kept in one header so that the libFuzzer binaries and the
// unit suite's replay of tests/fuzz/regressions/ run every input through the same code.
//
// Each body takes the raw fuzz input, drives the core as the stub would, checks what must
// hold whatever the input (paths inside the destination, CRC over exactly the bytes written,
// no descriptor or buffer left behind) and returns "" or a description of the fault. Memory
// faults are left to the sanitizers of the build.
//
// Input layouts (the first bytes steer the run, the rest is what the core reads):
//   headers   [mode] [stub file from offset 32768: configuration block, archive]
//             mode bit 7: no configuration block, the archive starts at once;
//             bits 0-6: length / 2 of the current folder the host reports (composition
//             bounds of the destination).
//   decoders  [method] [original size, 24-bit LE, cut per family] [packed-size delta,
//             signed] [read-ahead cap in bytes, 0 = unknown] [packed data ...]
//             method bit 7: a claimed size, the 24 bits times 256 (up to 4 GiB, as a
//             damaged header may claim), which the packed data cannot back.
//   extract   [abort] [archive]: abort 1-100 sets RunFlag to 0 once the bar reaches that
//             position; other values never abort.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "decode/frame.h"
#include "decode/methods.h"
#include "encode/lh_encoder.h"
#include "extract/extraction.h"
#include "extract/header_reader.h"
#include "extract/runtime.h"
#include "extract/progress.h"
#include "extract/sfx_extractor.h"
#include "support/fake_host.h"

namespace fuzz {

// ---- Files the core reads and writes: real files (seeking past the end behaves as on
// disk), kept in memory.

class ScratchFile {
public:
    explicit ScratchFile(const char* name) : fd(memfd_create(name, 0)) {}
    ~ScratchFile() { close(fd); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // A fresh stream over exactly `data`, positioned at its start; the caller closes it.
    FILE* openWith(const uint8_t* data, size_t size, const char* mode = "rb")
    {
        if (fd < 0 || ftruncate(fd, 0) != 0) return nullptr;
        size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fd, data + done, size - done, (off_t)done);
            if (n <= 0) return nullptr;
            done += (size_t)n;
        }
        return reopen(mode);
    }

    // A second stream over the same bytes, positioned at its start.
    FILE* reopen(const char* mode = "rb")
    {
        int copy = dup(fd);
        if (copy < 0) return nullptr;
        FILE* file = fdopen(copy, mode);
        if (!file) {
            close(copy);
            return nullptr;
        }
        if (fseek(file, 0, SEEK_SET) != 0) {
            fclose(file);
            return nullptr;
        }
        return file;
    }

    std::string contents() const
    {
        struct stat st;
        if (fstat(fd, &st) != 0) return {};
        std::string bytes((size_t)st.st_size, '\0');
        if (st.st_size > 0 && pread(fd, &bytes[0], bytes.size(), 0) != (ssize_t)bytes.size()) return {};
        return bytes;
    }

private:
    int fd;
};

inline uint16_t crcOf(const std::string& bytes)
{
    buildCrc16Table();
    return updateCrc16(0, (const uint8_t*)bytes.data(), (uint32_t)bytes.size());
}

inline int openDescriptors()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

inline std::string printable(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// ---- Where a path leads

inline bool isCp932Lead(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Why `path`, taken relative to the destination, could name something outside it, or "".
// Both readings count: Linux (only '/' separates) and Windows, where '/' and '\' separate
// and a leading "X:" names a drive. A name as stored in code page 932 (shiftJis) never
// separates at the second byte of a double-byte character; a UTF-8 path, as the core hands
// to the host, has no such bytes.
inline std::string escapes(const std::string& path, bool shiftJis = true)
{
    if (path.empty()) return "";
    for (int windows = 0; windows < 2; ++windows) {
        const char* system = windows ? "Windows" : "Linux";
        std::vector<std::string> parts(1);
        bool rooted = false;
        for (size_t i = 0; i < path.size(); ++i) {
            uint8_t c = (uint8_t)path[i];
            if (windows && shiftJis && isCp932Lead(c) && i + 1 < path.size()) {
                parts.back() += path.substr(i, 2);
                ++i;
            } else if (c == '/' || (windows && c == '\\')) {
                if (i == 0) rooted = true;
                parts.emplace_back();
            } else {
                parts.back() += (char)c;
            }
        }
        if (rooted) return std::string("absolute on ") + system;
        if (windows && path.size() >= 2 && path[1] == ':') return "a drive on Windows";
        int depth = 0;
        for (std::string part : parts) {
            if (windows) {
                // Windows drops trailing dots and blanks of a component: ". ." and "..." are
                // no plain names there.
                while (!part.empty() && (part.back() == ' ' || part.back() == '.') && part != "." && part != "..")
                    part.pop_back();
            }
            if (part == "..") {
                if (--depth < 0) return std::string("leaves the destination on ") + system;
            } else if (!part.empty() && part != ".") {
                ++depth;
            }
        }
    }
    return "";
}

// ---- Hosts

// Answers what the readers ask and records nothing; used where only the core's own results
// are checked.
class QuietHost : public FakeHost {
public:
    void barPosition(uint32_t position) override
    {
        if (abortWhenFull && position >= 100) RunFlag = 0;
    }
    void entryName(const char*) override {}

    bool abortWhenFull = false;  // presses Abort once the bar is full
};

// ---- The configuration block, the header reader and the pre-scan

inline std::string headers(const uint8_t* data, size_t size)
{
    if (size < 1) return "";
    bool archiveOnly = (data[0] & 0x80) != 0;
    uint32_t folderLength = (data[0] & 0x7F) * 2u;
    static ScratchFile stub("quor-fuzz-stub");

    FakeHost host;
    host.current = "C:\\" + std::string(folderLength, 'd');  // up to 257 bytes: always fits
    SfxExtractor sfx(&host);
    sfx.ownFile = stub.openWith(data + 1, size - 1);
    if (!sfx.ownFile) return "cannot open the scratch file";

    if (!archiveOnly) {
        if (!readConfiguration(sfx)) return "";  // start-up ends here
        if (!sfx.title || !sfx.destination) return "configuration read without a title or destination";
        if (strlen(sfx.destination) >= PATH_BUFFER) return "destination longer than a path buffer";
    }

    long start = ftell(sfx.ownFile);
    sumOriginalSizes(sfx);
    if (ftell(sfx.ownFile) != start) return "the pre-scan moved the archive position";

    LhaEntryHeader header;
    size_t members = 0;
    while (readNextHeader(sfx, header)) {
        ++members;
        if (memchr(header.name, 0, sizeof header.name) == nullptr) return "name not terminated";
        if (header.methodId[5] != 0) return "method id not terminated";
        char path[MEMBER_PATH_BUFFER];
        memcpy(path, header.name, sizeof path);
        cleanEntryPath(path, '/', header.codePage);
        if (memchr(path, 0, sizeof path) == nullptr) return "cleaned path not terminated";
        std::string why = escapes(path, header.codePage == CODE_PAGE_SHIFT_JIS);
        if (!why.empty())
            return "member " + printable(header.name) + " cleaned to " + printable(path) + ": " + why;
        if (!skipPackedData(sfx, filePosition(sfx.ownFile), header.packedSize)) break;
    }
    auto broken = host.only("broken-header");
    if (broken.size() > 1) return "more than one broken-header message";
    if (!broken.empty() && host.calls.back() != broken.back())
        return "the walk went on after a broken header";
    if (broken.empty() == (sfx.headerFault != HeaderFault::none))
        return "a broken header and its report disagree";
    if (!broken.empty() && !sfx.failed) return "a broken header left the run a success";
    (void)members;
    return "";
}

// ---- The decoders through a DecodeJob

// The original size is cut to `sizeBits`: above the family's largest dictionary, so that
// wrapping is covered, yet short enough for many runs a second even with the adaptive
// methods, which update their trees for every code. A claimed size (method bit 7) is not cut;
// the packed data must then end the member. `bytesPerPackedByte` is the most that any stream
// of the family can make of one packed byte (the cheapest codes of its format), so that a
// member that goes on decoding after its packed data has run out is caught even when it is
// fast: -lh4- to -lh7- make 65,536 matches of 256 bytes from a 52-bit block header of
// single-value codes; -lh3- 65,536 literals from a 41-bit single-code header; -lh2- a
// 287-byte match from 15 bits (a one-bit code, 8 escape bits, the one-leaf distance tree and
// 6 raw bits); -lh1- 60 bytes from 10 bits; -lzs- 17 bytes from 16 bits; -lz5- 18 bytes
// from 17.
struct Family {
    const char* name;
    uint32_t methods[4];
    uint32_t count;
    uint32_t sizeBits;
    uint32_t bytesPerPackedByte;
};

const Family BLOCK = {"block", {METHOD_LH4, METHOD_LH5, METHOD_LH6, METHOD_LH7}, 4, 17, 2581111};
const Family LH3 = {"lh3", {METHOD_LH3}, 1, 15, 12788};
const Family ADAPTIVE = {"adaptive", {METHOD_LH1, METHOD_LH2}, 2, 15, 154};
const Family LARC = {"larc", {METHOD_LZS, METHOD_LZ5}, 2, 15, 9};

const uint32_t MAX_ORIGINAL = (1u << 17) - 1;  // the largest of them
// A match may run past the original size by less than its length. The longest: a code
// below 510 plus an 8-bit escape (-lh2-, -lh3-) less the length bias of 253.
const uint32_t LONGEST_MATCH = 510 + 255 - 253;
const size_t DECODE_CONTROL = 6;
const uint8_t CLAIMED_SIZE = 0x80;
// A claimed size still gets at most about this much output (the bar counts to it, and the
// host aborts when it is full), so that a stream the format allows to expand a million-fold
// (single-value codes) stays within a run's time and memory, sanitizers included.
const uint32_t MAX_CLAIMED_OUTPUT = 256u << 10;
// Bytes a decoder may read past its packed data: the bit reader's look-ahead and the end of
// the last code.
const uint32_t PACKED_SLACK = 64;

// CPU time per byte (packed in, plus written out), measured over the runs of this process. An
// input that takes twenty times the usual time per byte is slow however fast the machine is;
// runs below SLOW_FLOOR_NS are too short to judge through the noise of fixed costs.
//
// Twenty, not less: the block decoders take the codes within eight bytes of a member's end one
// at a time, at about eleven times the per-byte cost of a stretch (measured: 273-289 ns against
// 25-27 under the sanitizers), and a stream of codes of no bits makes a whole claimed size
// there. Work that grows faster than the bytes, which is what this judge is for, passes any
// constant factor at a slightly longer input.
struct PaceMeter {
    double nanoseconds = 0;
    double bytes = 0;
    uint64_t runs = 0;
};
const uint64_t PACE_WARMUP_RUNS = 100;
const double SLOW_FACTOR = 20;
const double SLOW_FLOOR_NS = 20e6;
// A run that looks slow is timed this many times more and judged by its fastest try:
// preemption, page faults or a busy file system can stretch any one run on a shared machine,
// but a slow input is slow every time.
const int SLOW_RETRIES = 2;

// This thread's CPU time: the fuzzer's and the sanitizers' own threads are not the input's.
inline double cpuNanoseconds()
{
    rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    const timeval& user = usage.ru_utime;
    const timeval& system = usage.ru_stime;
    return (user.tv_sec + system.tv_sec) * 1e9 + (user.tv_usec + system.tv_usec) * 1e3;
}

// "" or why the run was slow; records the run either way. `retime()` runs the input once
// more and returns its CPU time.
template <class Retime>
std::string judgePace(PaceMeter& pace, double nanoseconds, double bytes, Retime retime)
{
    bytes += 1;
    std::string verdict;
    if (pace.runs >= PACE_WARMUP_RUNS) {
        double usual = pace.nanoseconds / pace.bytes;
        auto slow = [&] { return nanoseconds > SLOW_FLOOR_NS && nanoseconds / bytes > SLOW_FACTOR * usual; };
        for (int retry = 0; retry < SLOW_RETRIES && slow(); ++retry) nanoseconds = std::min(nanoseconds, retime());
        if (slow())
            verdict = "slow: " + std::to_string((long)(nanoseconds / bytes)) + " ns per byte, usually " +
                      std::to_string((long)usual);
    }
    pace.nanoseconds += nanoseconds;
    pace.bytes += bytes;
    pace.runs += 1;
    return verdict;
}

// The dictionary size the driver gives each method.
inline uint32_t dictBitsFor(uint32_t method)
{
    switch (method) {
    case METHOD_LH1: case METHOD_LH4: case METHOD_LZ5: return 12;
    case METHOD_LH6: return 15;
    case METHOD_LH7: return 16;
    case METHOD_LZS: return 11;
    default: return 13;
    }
}

struct DecodeOutcome {
    std::string bytes;
    uint16_t crc;
    bool aborted;
    bool corrupt;
    bool writeFailed;
};

// One job over `input` (positioned at the packed data). The context holds what the previous
// job left, as it does for the second member of an archive; `fresh` clears it first, as at
// process start.
inline std::string runJob(FILE* input, uint32_t originalSize, uint32_t packedSize, uint32_t method,
                          uint32_t availPhys, bool fresh, DecodeOutcome& outcome)
{
    static ScratchFile out("quor-fuzz-out");
    FILE* output = out.openWith(nullptr, 0, "wb");
    if (!output) return "cannot open the output file";
    if (fresh) memset((void*)&decoder, 0, sizeof decoder);
    decoder.availPhys = availPhys;
    decoder.corrupt = false;
    DecodeJob job(input, output, originalSize, packedSize, dictBitsFor(method), method, reportDecodeProgress);
    outcome.aborted = job.run();
    outcome.crc = decoder.crc16;
    outcome.corrupt = decoder.corrupt;
    outcome.writeFailed = decoder.writeFailed;
    bool buffersLeft = decoder.dictionary != nullptr || decoder.in.data != nullptr;
    if (fclose(output) != 0) return "cannot close the output file";
    if (buffersLeft) return "the job left its dictionary or input buffer behind";
    outcome.bytes = out.contents();
    return "";
}

inline std::string decode(const Family& family, const uint8_t* data, size_t size)
{
    if (size < DECODE_CONTROL) return "";
    uint32_t method = family.methods[(data[0] & ~CLAIMED_SIZE) % family.count];
    uint32_t field = data[1] | data[2] << 8 | (uint32_t)data[3] << 16;
    bool claimed = (data[0] & CLAIMED_SIZE) != 0;
    uint32_t originalSize = claimed ? field << 8 : field & ((1u << family.sizeBits) - 1);
    int64_t packed = (int64_t)(size - DECODE_CONTROL) + (int8_t)data[4];
    uint32_t packedSize = packed < 0 ? 0 : (uint32_t)packed;
    uint32_t availPhys = data[5];
    static ScratchFile in("quor-fuzz-packed");
    static PaceMeter pace;

    QuietHost host;
    RunFlag = 1;
    buildCrc16Table();
    host.abortWhenFull = claimed;

    // Both passes: a fresh decoder, then one that holds what the first left behind.
    auto passes = [&](DecodeOutcome& first, DecodeOutcome& second) -> std::string {
        for (int pass = 0; pass < 2; ++pass) {
            RunFlag = 1;
            resetProgress(&host, claimed ? MAX_CLAIMED_OUTPUT : originalSize);
            FILE* input = in.openWith(data + DECODE_CONTROL, size - DECODE_CONTROL);
            if (!input) return "cannot open the packed data";
            std::string why = runJob(input, originalSize, packedSize, method, availPhys,
                                     pass == 0, pass == 0 ? first : second);
            fclose(input);
            resetProgress(nullptr, 0);  // the host is local: no later run may report to it
            if (!why.empty()) return why;
        }
        return "";
    };
    double started = cpuNanoseconds();
    DecodeOutcome first, second;
    std::string why = passes(first, second);
    double elapsed = cpuNanoseconds() - started;
    if (!why.empty()) return why;
    RunFlag = 1;

    std::string id = MethodTable[method];
    if (first.aborted && !claimed) return id + ": the job reports an abort that nobody asked for";
    if (first.writeFailed) return id + ": a write to the output failed";
    if (crcOf(first.bytes) != first.crc) return id + ": crc16 does not cover exactly the bytes written";
    if (first.bytes.size() >= (size_t)originalSize + LONGEST_MATCH)
        return id + ": " + std::to_string(first.bytes.size()) + " bytes written for an original size of " +
               std::to_string(originalSize);
    if (!first.corrupt && !first.aborted && first.bytes.size() < originalSize)
        return id + ": only " + std::to_string(first.bytes.size()) + " of " + std::to_string(originalSize) +
               " bytes written, and the member is not marked damaged";
    // -lz5- may read past its packed size into what follows it in the file.
    uint64_t readable = std::max<uint64_t>(packedSize, size - DECODE_CONTROL) + PACKED_SLACK;
    if (first.bytes.size() > readable * family.bytesPerPackedByte)
        return id + ": " + std::to_string(first.bytes.size()) + " bytes made from " + std::to_string(packedSize) +
               " packed bytes: decoding went on after the packed data ran out";
    if (first.bytes != second.bytes || first.corrupt != second.corrupt || first.aborted != second.aborted)
        return id + ": the output depends on what the previous member left in the decoder";
    auto retime = [&] {
        DecodeOutcome again[2];
        double start = cpuNanoseconds();
        passes(again[0], again[1]);
        RunFlag = 1;
        return cpuNanoseconds() - start;
    };
    return judgePace(pace, elapsed, 2.0 * ((double)(size - DECODE_CONTROL) + (double)first.bytes.size()), retime);
}

// ---- The whole walk into a fresh folder

const uint32_t MAX_WALK_ORIGINAL = 1u << 18;
const size_t MAX_WALK_MEMBERS = 256;

// Records every path the core names to the host, and the size and CRC of each file at the
// moment it is given its time (that is, when it has passed).
class WalkHost : public FakeHost {
public:
    struct Passed {
        std::string path;
        size_t entryIndex;
        uint64_t size;
        uint16_t crc;
    };
    std::vector<std::string> paths;
    std::vector<Passed> passed;
    size_t entries = 0;
    // A name refused before the member is begun (not valid in its code page, or cut) is
    // reported as damaged too, and the walk goes on.
    size_t refusedNames = 0;
    bool begun = false;  // entryName seen, and the member neither announced nor reported

    // The destination and the folders on its way are looked at (for the rights to write there)
    // before it is entered; what the walk names comes after.
    bool entered = false;
    bool enterFolder(const char* path) override
    {
        entered = true;
        return FakeHost::enterFolder(path);
    }
    PathState pathState(const char* path) override
    {
        if (entered) paths.push_back(path);
        return FakeHost::pathState(path);
    }
    bool createFolder(const char* path) override
    {
        paths.push_back(path);
        return FakeHost::createFolder(path);
    }
    void entryName(const char* name) override
    {
        ++entries;
        begun = true;
        FakeHost::entryName(name);
    }
    void setFileTime(const char* path, int32_t unixTime) override
    {
        paths.push_back(path);
        Passed p = {path, entries - 1, 0, 0};
        std::string bytes;
        if (FILE* f = fopen(path, "rb")) {
            char buffer[65536];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
            fclose(f);
        }
        p.size = bytes.size();
        p.crc = crcOf(bytes);
        passed.push_back(p);
        FakeHost::setFileTime(path, unixTime);
    }
    void notifyShell(ShellEvent event, const char* path) override
    {
        if (event == ShellEvent::memberExtracted) begun = false;  // every member the walk passes
        FakeHost::notifyShell(event, path);
    }
    void warnDamaged(const char* path) override
    {
        paths.push_back(path);
        if (!begun) {
            ++refusedNames;
            ++entries;  // the next member is another one
        }
        begun = false;
        FakeHost::warnDamaged(path);
    }
    void warnWriteFailed(const char* path) override
    {
        paths.push_back(path);
        FakeHost::warnWriteFailed(path);
    }
};

// The members the walk will meet, read the way ExtractionThread reads them.
inline bool scanMembers(ScratchFile& archive, std::vector<LhaEntryHeader>& members)
{
    QuietHost host;
    SfxExtractor sfx(&host);
    sfx.ownFile = archive.reopen();
    if (!sfx.ownFile) return false;
    uint64_t total = 0;
    LhaEntryHeader header;
    while (readEntryHeader(sfx, header)) {
        members.push_back(header);
        total += header.originalSize;
        // Each size on its own too: 64-bit sizes (header 0x42) could wrap the total.
        if (members.size() > MAX_WALK_MEMBERS || header.originalSize > MAX_WALK_ORIGINAL ||
            total > MAX_WALK_ORIGINAL)
            return false;
        if (!skipPackedData(sfx, filePosition(sfx.ownFile), header.packedSize)) break;
    }
    return true;
}

// Everything below `root` that does not lie in `inside`.
inline std::string strayEntries(const std::string& root, const std::string& inside)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string found;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string path = it->path().string();
        if (it->is_symlink(ec)) found += " symlink " + printable(path);
        if (path != inside && path.compare(0, inside.size() + 1, inside + "/") != 0)
            found += " " + printable(path);
    }
    return found;
}

// The temporary folder of this process: <root>/dest is the destination of every run.
inline const std::string& walkRoot()
{
    static char pattern[] = "/tmp/quor-fuzz-XXXXXX";
    static std::string root = [] {
        if (!mkdtemp(pattern)) return std::string();
        atexit([] { rmdir(pattern); });  // each run empties it
        return std::string(pattern);
    }();
    return root;
}

inline std::string extract(const uint8_t* data, size_t size)
{
    namespace fs = std::filesystem;
    if (size < 1) return "";
    uint8_t abortAt = data[0];
    static ScratchFile archive("quor-fuzz-archive");
    FILE* written = archive.openWith(data + 1, size - 1);
    if (!written) return "cannot write the archive";
    fclose(written);  // the scan and the walk open streams of their own
    std::vector<LhaEntryHeader> members;
    if (!scanMembers(archive, members)) return "";  // too much output for one run

    const std::string& root = walkRoot();
    if (root.empty()) return "no temporary folder";
    const std::string dest = root + "/dest";
    std::error_code ec;
    fs::remove_all(dest, ec);
    if (mkdir(dest.c_str(), 0777) != 0) return "cannot create " + dest;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return "no current folder";

    int descriptorsBefore = openDescriptors();
    std::string fault;
    bool stopped = false;
    bool ended = false;
    bool failed = false;
    std::string lastOutput;
    WalkHost host;
    host.recordBar = false;
    RunFlag = 1;
    host.onBar = [&](uint32_t position) {
        if (abortAt >= 1 && abortAt <= 100 && position >= abortAt) {
            RunFlag = 0;
            stopped = true;
        }
    };
    {
        SfxExtractor sfx(&host);
        sfx.ownFile = archive.reopen();
        sfx.setDestination(dest.c_str());
        if (!sfx.ownFile || !sfx.destination) return "cannot set up the extractor";
        if (!startExtraction(sfx)) fault = "the destination could not be entered";
        failed = sfx.failed != 0;
        if (sfx.currentOutputPath.get()) lastOutput = sfx.currentOutputPath.get();
    }
    bool aborted = !running();
    RunFlag = 1;
    resetProgress(nullptr, 0);  // the host is local: no later run may report to it
    int descriptorsAfter = openDescriptors();
    ended = !host.calls.empty() && host.calls.back().compare(0, 6, "ended ") == 0;

    // Checks that need the destination as the current folder: the run left it there.
    if (fault.empty() && aborted && !lastOutput.empty()) {
        struct stat st;
        if (stat(lastOutput.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            fault = "the file cut off by the abort is still there: " + printable(lastOutput);
    }
    if (chdir(cwd) != 0) return "cannot return to " + std::string(cwd);

    if (fault.empty() && descriptorsAfter != descriptorsBefore)
        fault = std::to_string(descriptorsAfter - descriptorsBefore) + " file descriptors left open";
    if (fault.empty()) {
        for (const std::string& path : host.paths) {
            std::string why = escapes(path, false);
            if (!why.empty()) {
                fault = "the core named " + printable(path) + ": " + why;
                break;
            }
        }
    }
    if (fault.empty()) {
        std::string stray = strayEntries(root, dest);
        if (!stray.empty()) fault = "written outside the destination:" + stray;
    }
    if (fault.empty() && !ended) fault = "the walk did not end with walkEnded";
    if (fault.empty() && aborted != stopped) fault = stopped ? "the abort was lost" : "an abort nobody asked for";
    if (fault.empty() && aborted && host.calls.back() != "ended aborted") fault = "an abort reported as done";
    if (fault.empty() && !aborted && host.calls.back() != "ended done") fault = "a completed walk reported as aborted";
    if (fault.empty() && aborted && !failed) fault = "an abort that does not mark the run failed";
    if (fault.empty() && host.entries > members.size())
        fault = "the walk met more members than a scan of the archive finds";
    if (fault.empty()) {
        size_t warnings =
            host.only("damaged ").size() + host.only("write-failed ").size() - host.refusedNames;
        if (warnings > 1) fault = "the walk went on after a damaged member";
        if (warnings + host.refusedNames > 0 && !failed)
            fault = "a damaged member that does not mark the run failed";
    }
    // A member given its time has passed: its file must hold what its header describes.
    for (const WalkHost::Passed& p : host.passed) {
        if (!fault.empty()) break;
        if (p.entryIndex >= members.size()) {
            fault = "a time set outside any member";
            break;
        }
        const LhaEntryHeader& header = members[p.entryIndex];
        if (!header.hasCrc) continue;  // nothing to judge it by
        if (p.crc != header.crc)
            fault = std::string(header.methodId) + " member " + printable(p.path) + " passed with a CRC of the file that differs from its header";
        else if (p.size != header.originalSize)
            fault = std::string(header.methodId) + " member " + printable(p.path) + " passed with " + std::to_string(p.size) +
                    " bytes for an original size of " + std::to_string(header.originalSize);
    }

    fs::remove_all(dest, ec);
    return fault;
}

// ---- The encoder: [method and level] [write size] [shape] [payload ...]
//   byte 0: bits 0-1 the method (-lh5-, -lh6-, -lh7-, -lh7-), bits 4-7 the level (0-15
//           taken modulo 9, plus 1)
//   byte 1: bytes per write call: 1 + the value squared (1 to 65,026)
//   byte 2: how the payload becomes the input: 0-127 as it is; 128-191 repeated with one
//           byte changed per copy up to (value - 127) x 32 KiB; 192-255 each payload byte b
//           a run of b + 1 copies, then repeated likewise. The repeats reach the long matches,
//           the blocks of many items and, at the quick levels, the buffer's slide (over 1 MiB).
// The input is packed and decoded again by a fresh DecodeJob; any difference is a fault.
const size_t ENCODE_CONTROL = 3;
// Input sizes within a run's second under the sanitizers: the shortest path is slower.
const size_t MOST_QUICK_INPUT = 1280u << 10;
const size_t MOST_OPTIMAL_INPUT = 64u << 10;

inline std::string encode(const uint8_t* data, size_t size)
{
    if (size < ENCODE_CONTROL) return "";
    const uint32_t methods[4] = {METHOD_LH5, METHOD_LH6, METHOD_LH7, METHOD_LH7};
    uint32_t method = methods[data[0] & 3];
    int level = (data[0] >> 4) % 9 + 1;
    size_t piece = 1 + (size_t)data[1] * data[1];
    size_t most = level <= 3 ? MOST_QUICK_INPUT : MOST_OPTIMAL_INPUT;
    std::string payload((const char*)data + ENCODE_CONTROL, size - ENCODE_CONTROL);
    std::string input;
    if (data[2] < 128 || payload.empty()) {
        input = payload;
    } else {
        std::string unit = payload;
        if (data[2] >= 192) {
            unit.clear();
            for (unsigned char b : payload) unit.append((size_t)b + 1, (char)b);
        }
        size_t target = std::min(most, (size_t)((data[2] & 63) + 1) << 15);
        for (uint32_t copy = 0; input.size() < target; ++copy) {
            input += unit;
            input[(copy * 7919u) % input.size()] ^= (char)copy;
        }
    }
    if (input.size() > most) input.resize(most);

    std::string packed;
    LhEncoder encoder({(int)dictBitsFor(method), level},
                      [&](const uint8_t* out, size_t n) { packed.append((const char*)out, n); });
    for (size_t at = 0; at < input.size(); at += piece)
        encoder.write((const uint8_t*)input.data() + at, std::min(piece, input.size() - at));
    encoder.finish();
    std::string id = std::string(MethodTable[method]) + " level " + std::to_string(level);
    if (encoder.packedSize() != packed.size()) return id + ": packedSize() is not what the sink got";

    static ScratchFile in("quor-fuzz-encoded");
    QuietHost host;
    RunFlag = 1;
    buildCrc16Table();
    resetProgress(&host, (uint32_t)input.size());
    FILE* file = in.openWith((const uint8_t*)packed.data(), packed.size());
    if (!file) return "cannot open the packed data";
    DecodeOutcome outcome;
    std::string why = runJob(file, (uint32_t)input.size(), (uint32_t)packed.size(), method, 0, true, outcome);
    fclose(file);
    resetProgress(nullptr, 0);
    if (!why.empty()) return why;
    if (outcome.corrupt) return id + ": our decoder finds the packed data damaged";
    if (outcome.bytes != input) return id + ": the bytes decoded differ from the bytes packed";
    if (outcome.crc != crcOf(input)) return id + ": the CRC differs";
    return "";
}

}  // namespace fuzz
