// quorsfx: the command-line tool beside the stub. It shows what a self-extractor or an
// archive holds, builds self-extractors, and extracts through the very same core the stub
// runs, with a console host in place of the windows.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "console_host.h"
#include "extract/extraction.h"
#include "extract/progress.h"
#include "extract/runtime.h"
#include "pack.h"
#include "sjis.h"
#include "stubs.h"
#include "system.h"

namespace {

const int EXIT_MEMBER_FAILED = 1;
const int EXIT_USAGE = 2;

const char USAGE[] =
    "usage: quorsfx info FILE\n"
    "       quorsfx list FILE\n"
    "       quorsfx extract [-C DIR] FILE\n"
    "       quorsfx pack -o OUT.lzh [-C DIR] [--method lh5|lh6|lh7] [--level 1-9]\n"
    "                    [--threads N] PATH...\n"
    "       quorsfx make -o OUT [--arch x86_64|x86 | --stub STUB] [--no-config | OPTIONS]\n"
    "                    ARCHIVE.lzh\n"
    "       quorsfx make -o OUT [--arch x86_64|x86 | --stub STUB] [--no-config | OPTIONS]\n"
    "                    [-C DIR] [--method M] [--level N] [--threads N] PATH...\n"
    "       quorsfx -h | --help | --version\n"
    "OPTIONS: --title T --destination D --under-program-files --shortcut-target S\n"
    "         --start-menu N --desktop N --send-to N --run R --shortcut-name N\n"
    "pack and make take PATHs relative to DIR (default: the current folder), folders with\n"
    "everything below them; method lh7 and the encoder's default level unless given\n"
    "(--level 1 the fastest, 9 the smallest), one thread per processor unless --threads\n"
    "is given; the archive is the same for any number of threads.\n"
    "make writes the x86_64 stub the tool carries, the i686 one with --arch x86 (it runs on\n"
    "32-bit Windows too), or the file STUB.\n"
    "A FILE that begins with \"MZ\" and carries \"LHA's SFX \" at offset 36 is read as a\n"
    "self-extractor (configuration block at offset 32768); any other FILE as a bare LHA\n"
    "archive. Exit status: 0 done, 1 a damaged or cut-off archive, 2 not an archive of ours\n"
    "or a usage or input/output error.\n";

int fail(const std::string& message)
{
    std::fprintf(stderr, "quorsfx: %s\n", message.c_str());
    return EXIT_USAGE;
}

bool readWhole(const std::string& path, std::string& bytes)
{
    FILE* in = sys::openFile(path, "rb");
    if (!in) return false;
    bytes.clear();
    char buffer[64 * 1024];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, got);
    bool failed = std::ferror(in);
    std::fclose(in);
    return !failed;
}

// Every stub carries these ten bytes at offset 36 of its DOS header, in fields the Windows
// loader ignores: they tell a self-extractor from any other Windows program.
const long MARK_OFFSET = 36;
const std::string SFX_MARK = "LHA's SFX ";

// An opened input: the file positioned at its archive (a self-extractor: at its configuration
// block), and whether it is a self-extractor.
struct Input {
    FILE* file = nullptr;
    bool selfExtractor = false;
};

// Opens FILE and tells what it is. A file that begins with "MZ" is a Windows program, and a
// self-extractor only when it carries the mark; anything else is taken for a bare archive.
// Errors name what the file is and why it is refused (exit status 2).
bool openInput(const std::string& path, Input& input, std::string& error)
{
    if (sys::isFolder(path)) {
        error = path + " is a folder, not an LZH archive";
        return false;
    }
    input.file = sys::openFile(path, "rb");
    if (!input.file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    char head[MARK_OFFSET + 10];
    size_t got = std::fread(head, 1, sizeof head, input.file);
    if (got == 0) {
        error = path + " is empty, not an LZH archive";
        return false;
    }
    input.selfExtractor = got >= 2 && head[0] == 'M' && head[1] == 'Z';
    if (input.selfExtractor &&
        (got < sizeof head || std::string(head + MARK_OFFSET, SFX_MARK.size()) != SFX_MARK)) {
        error = path + " is a Windows program but not a self-extractor (no \"" + SFX_MARK +
                "\" mark at offset 36)";
        return false;
    }
    long start = input.selfExtractor ? SfxConfig::offset : 0;
    if (std::fseek(input.file, start, SEEK_SET) != 0) {
        error = "cannot seek in " + path;
        return false;
    }
    return true;
}

// Whether a member header starts at the position of `file`, which is left there: its method
// id stands between two dashes (-lh5-, -lzs-, -pm0- ...). Where none does, the file is no
// archive of ours; behind the dashes a damaged or cut-off header is reported by the walk.
bool archiveStartsAt(FILE* file)
{
    const long METHOD = 2, METHOD_LENGTH = 5;
    long at = std::ftell(file);
    char head[METHOD + METHOD_LENGTH];
    bool found = std::fread(head, 1, sizeof head, file) == sizeof head && head[METHOD] == '-' &&
                 head[METHOD + METHOD_LENGTH - 1] == '-';
    std::fseek(file, at, SEEK_SET);
    return found;
}

// The refusal of an input without an archive where its archive should start.
std::string noArchive(const std::string& path, const Input& input, long offset)
{
    if (input.selfExtractor)
        return path + " is not a self-extractor: no LZH archive follows its configuration block "
                      "(offset " + std::to_string(offset) + ")";
    return path + " is not an LZH archive (no member header at offset 0)";
}

// Reads the configuration block the way the stub does, so that the archive offset is right,
// and makes sure that an archive starts there.
bool skipConfiguration(SfxExtractor& sfx, const std::string& path, const Input& input,
                       std::string& error)
{
    if (input.selfExtractor && !readConfiguration(sfx)) {
        error = path + ": the configuration block at offset 32768 is cut off or holds a text "
                       "that is not valid in its code page";
        return false;
    }
    if (archiveStartsAt(sfx.ownFile)) return true;
    error = noArchive(path, input, std::ftell(sfx.ownFile));
    return false;
}

std::string shown(const char* text) { return text ? sjisToUtf8(text) : std::string(); }

// A stored configuration text: Shift-JIS, or UTF-8 behind the mark EF BB BF. No Shift-JIS
// text begins with those bytes (EF BB is no character of code page 932).
const std::string UTF8_MARK = "\xEF\xBB\xBF";

std::string shownText(const std::string& stored)
{
    if (stored.compare(0, UTF8_MARK.size(), UTF8_MARK) == 0)
        return shownInCodePage(stored.substr(UTF8_MARK.size()), 65001);
    return sjisToUtf8(stored);
}

std::string isoTime(int32_t unixTime)
{
    std::tm utc = sys::utcTime(unixTime);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

// ---- info

// The raw fields of a block, as stored: `info` shows the destination text, not the folder
// that the stub would compose from it on some machine.
struct RawBlock {
    bool present = false;
    std::string title, destination, shortcutTarget, programToRun, shortcutName;
    int underProgramFiles = 0, startMenu = 0, desktop = 0, sendTo = 0;
};

bool readRawBlock(FILE* file, RawBlock& block)
{
    auto byte = [&](int& value) {
        value = std::fgetc(file);
        return value != EOF;
    };
    auto text = [&](std::string& value) {
        int length;
        if (!byte(length)) return false;
        value.resize(length);
        return std::fread(&value[0], 1, length, file) == (size_t)length;
    };
    int present;
    if (!byte(present)) return false;
    block.present = present != 0;
    if (!block.present) return true;
    return text(block.title) && byte(block.underProgramFiles) && text(block.destination) &&
           text(block.shortcutTarget) && byte(block.startMenu) && byte(block.desktop) &&
           byte(block.sendTo) && text(block.programToRun) && text(block.shortcutName);
}

int info(const std::string& path)
{
    Input input;
    std::string error;
    if (!openInput(path, input, error)) return fail(error);
    if (!input.selfExtractor) {
        bool archive = archiveStartsAt(input.file);
        std::fclose(input.file);
        if (!archive) return fail(noArchive(path, input, 0));
        std::printf("configuration block: absent (a bare archive)\narchive offset: 0\n");
        return 0;
    }
    RawBlock block;
    if (!readRawBlock(input.file, block)) return fail(path + ": the configuration block is cut off");
    long archive = std::ftell(input.file);
    bool found = archiveStartsAt(input.file);
    std::fclose(input.file);
    if (!found) return fail(noArchive(path, input, archive));
    if (!block.present) {
        std::printf("configuration block: absent (present byte 0)\narchive offset: %ld\n", archive);
        return 0;
    }
    std::printf("configuration block: present\n");
    std::printf("title: %s\n", shownText(block.title).c_str());
    std::printf("under program files: %s\n", block.underProgramFiles ? "yes" : "no");
    std::printf("destination: %s\n", shownText(block.destination).c_str());
    std::printf("shortcut target: %s\n", shownText(block.shortcutTarget).c_str());
    std::printf("start menu flags: %d\n", block.startMenu);
    std::printf("desktop flags: %d\n", block.desktop);
    std::printf("send to flags: %d\n", block.sendTo);
    std::printf("program to run: %s\n", shownText(block.programToRun).c_str());
    std::printf("shortcut name: %s\n", shownText(block.shortcutName).c_str());
    std::printf("archive offset: %ld\n", archive);
    return 0;
}

// ---- list

// The message for a file that ends inside a member's packed data. The walk reports only
// where the file ends; `list` names the member it has just shown, `extract` the one the walk
// read last (memberHeader).
void reportCutOff(const std::string& member, int64_t fileEnd)
{
    std::fprintf(stderr, "quorsfx: %s: the archive is cut off at offset %lld (the file ends inside "
                         "this member); nothing of it or behind it is extracted\n",
                 member.c_str(), (long long)fileEnd);
}

std::string memberName(const LhaEntryHeader& header)
{
    return shownInCodePage(header.name, header.codePage);
}

int list(const std::string& path)
{
    Input input;
    std::string error;
    if (!openInput(path, input, error)) return fail(error);
    ConsoleHost host(false);
    SfxExtractor sfx(&host);
    sfx.ownFile = input.file;
    if (!skipConfiguration(sfx, path, input, error)) return fail(error);

    // The total counts the members listed whole: a header that cannot be read, and what
    // lies behind it, add nothing.
    uint64_t total = 0;
    std::printf("method     packed   original crc  lv  modified (UTC)        name\n");
    LhaEntryHeader header;
    for (;;) {
        bool read = readNextHeader(sfx, header);
        bool cutOff = !read && sfx.headerFault == HeaderFault::dataCutOff;
        if (!read && !cutOff) break;
        int64_t dataStart = filePosition(sfx.ownFile);
        char crc[8];
        if (header.hasCrc) std::snprintf(crc, sizeof crc, "%04X", header.crc);
        else std::strcpy(crc, "----");
        std::string method = shown(header.methodId);
        std::printf("%-5s %10llu %10llu %-4s %2u  %-20s  %s\n", method.c_str(),
                    (unsigned long long)header.packedSize, (unsigned long long)header.originalSize,
                    crc, header.level, isoTime(header.modificationTime).c_str(),
                    memberName(header).c_str());
        if (cutOff) {
            int64_t fileEnd = host.cutOffAt();
            std::printf("^ cut off: the file ends at offset %lld, %lld bytes into this member's "
                        "packed data\n", (long long)fileEnd, (long long)(fileEnd - dataStart));
            reportCutOff(memberName(header), fileEnd);
            break;
        }
        total += header.originalSize;
        if (!skipPackedData(sfx, dataStart, header.packedSize)) break;
    }
    std::printf("total original size: %llu\n", (unsigned long long)total);
    return sfx.failed ? EXIT_MEMBER_FAILED : 0;
}

// ---- extract

void interrupted() { RunFlag.store(0, std::memory_order_relaxed); }

int extract(const std::string& path, std::string folder)
{
    Input input;
    std::string error;
    if (!openInput(path, input, error)) return fail(error);

    // Paths are taken before the core changes the current folder to the destination.
    std::string cwd;
    if (!sys::currentFolder(cwd)) return fail("cannot read the current folder");
    folder = sys::fromUser(folder);
    if (folder.empty()) folder = cwd;
    else if (!sys::isAbsolute(folder)) folder = cwd + "/" + folder;
    if (folder.size() >= PATH_BUFFER) return fail("destination path too long: " + folder);

    ConsoleHost host(sys::stderrIsTerminal());
    SfxExtractor sfx(&host);
    sfx.ownFile = input.file;
    if (!skipConfiguration(sfx, path, input, error)) return fail(error);
    sfx.setDestination(folder.c_str());
    sfx.windowsNames = sys::windowsFileNames();

    sys::onInterrupt(interrupted);
    if (!startExtraction(sfx)) return EXIT_USAGE;
    bool aborted = host.waitForEnd();
    if (aborted) {
        // The member being written when the walk stopped is removed, as the stub does.
        if (sfx.currentOutputPath.get()) sys::removeFile(sfx.currentOutputPath.get());
        std::fprintf(stderr, "quorsfx: interrupted\n");
        return EXIT_MEMBER_FAILED;
    }
    if (host.cutOffAt() >= 0) reportCutOff(memberName(memberHeader), host.cutOffAt());
    if (sfx.failed || host.reportedProblem()) return EXIT_MEMBER_FAILED;
    return 0;
}

// ---- make

bool parseFlag(const std::string& text, int& value)
{
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end || v < 0 || v > 255) return false;
    value = (int)v;
    return true;
}

int make(const std::vector<std::string>& args)
{
    std::string out, stub;
    const EmbeddedStub* builtIn = embeddedStub("x86_64");
    bool noConfig = false, anyOption = false;
    PackOptions packing;
    RawBlock block;
    block.present = true;
    struct TextOption {
        const char* name;
        std::string* field;
    } texts[] = {{"--title", &block.title},
                 {"--destination", &block.destination},
                 {"--shortcut-target", &block.shortcutTarget},
                 {"--run", &block.programToRun},
                 {"--shortcut-name", &block.shortcutName}};
    struct FlagOption {
        const char* name;
        int* field;
    } flags[] = {{"--start-menu", &block.startMenu}, {"--desktop", &block.desktop},
                 {"--send-to", &block.sendTo}};

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        bool known = false;
        if (a == "-o") {
            if (!value(out)) return fail("-o needs a file name");
            known = true;
        } else if (a == "--stub") {
            if (!value(stub)) return fail("--stub needs a file name");
            known = true;
        } else if (a == "--arch") {
            std::string arch;
            if (!value(arch) || !(builtIn = embeddedStub(arch)))
                return fail("--arch takes x86_64 (the default) or x86");
            known = true;
        } else if (a == "--no-config") {
            noConfig = known = true;
        } else if (a == "--under-program-files") {
            block.underProgramFiles = 1;
            anyOption = known = true;
        }
        for (auto& t : texts) {
            if (a != t.name) continue;
            std::string utf8, stored;
            if (!value(utf8)) return fail(a + " needs a text");
            // Shift-JIS where it can hold the text, as every reader of these blocks expects;
            // otherwise the mark and UTF-8, which the stub reads as well.
            std::string checked;
            if (!utf8ToSjis(utf8, stored)) {
                if (!decodeCodePage(utf8.data(), utf8.size(), 65001, checked))
                    return fail(a + ": not valid UTF-8");
                stored = UTF8_MARK + utf8;
            }
            if (stored.size() > SfxConfig::maxText)
                return fail(a + ": " + std::to_string(stored.size()) + " bytes as stored, at most 255");
            *t.field = stored;
            anyOption = known = true;
        }
        for (auto& f : flags) {
            if (a != f.name) continue;
            std::string text;
            if (!value(text) || !parseFlag(text, *f.field)) return fail(a + " needs a number from 0 to 255");
            anyOption = known = true;
        }
        if (known) continue;
        std::string error;
        int taken = takePackOption(args, i, packing, error);
        if (taken < 0) return fail(error);
        if (taken) continue;
        if (!a.empty() && a[0] == '-') return fail("unknown option " + a);
        packing.paths.push_back(a);
    }
    if (out.empty() || packing.paths.empty()) return fail("make needs -o OUT and an ARCHIVE or PATHs");
    // One existing .lzh file is an archive made elsewhere, taken as it stands; anything else
    // is packed.
    std::string archive;
    sys::FileStatus archiveInfo;
    const std::string first = sys::fromUser(packing.paths[0]);
    if (packing.paths.size() == 1 && !packing.given && first.size() > 4 &&
        strcasecmp(first.c_str() + first.size() - 4, ".lzh") == 0 &&
        sys::fileStatus(first, archiveInfo, true) && archiveInfo.kind == sys::Kind::regular)
        archive = first;
    if (noConfig && anyOption) return fail("--no-config cannot be combined with block options");
    // --stub FILE overrides the stub the tool carries.
    std::string stubBytes;
    if (stub.empty()) {
        stubBytes.assign((const char*)builtIn->bytes, builtIn->size);
        stub = std::string("(built in, ") + builtIn->arch + ")";
    } else if (!readWhole(stub, stubBytes)) {
        return fail("cannot read stub " + stub);
    }
    if (stubBytes.size() > (size_t)SfxConfig::offset)
        return fail("stub " + stub + " is " + std::to_string(stubBytes.size()) +
                    " bytes; at most 32768 fit before the configuration block");
    // What `list` and `extract` take for a self-extractor, so that a file made here is one.
    if (stubBytes.size() < MARK_OFFSET + SFX_MARK.size() || stubBytes.compare(0, 2, "MZ") != 0 ||
        stubBytes.compare(MARK_OFFSET, SFX_MARK.size(), SFX_MARK) != 0)
        return fail("stub " + stub + " lacks the mark \"" + SFX_MARK + "\" at offset 36");
    if (!archive.empty()) {
        FILE* file = sys::openFile(archive, "rb");
        bool found = file && archiveStartsAt(file);
        if (file) std::fclose(file);
        if (!found) return fail(archive + " is not an LZH archive (no member header at offset 0)");
    }

    std::string file = stubBytes;
    file.resize(SfxConfig::offset, '\0');
    if (noConfig) {
        file += '\0';
    } else {
        auto counted = [&](const std::string& text) {
            file += (char)text.size();
            file += text;
        };
        file += '\1';
        counted(block.title);
        file += (char)block.underProgramFiles;
        counted(block.destination);
        counted(block.shortcutTarget);
        file += (char)block.startMenu;
        file += (char)block.desktop;
        file += (char)block.sendTo;
        counted(block.programToRun);
        counted(block.shortcutName);
    }
    out = sys::fromUser(out);
    if (archive.empty()) return writePacked(out, file, packing);
    return writeCopied(out, file, archive);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args = sys::startTool(argc, argv);
    if (args.empty()) {
        std::fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    std::string command = args[0];
    args.erase(args.begin());
    // Asked for, the usage goes to standard output with status 0 (`quorsfx make --help` as
    // well); after a mistake it goes to standard error with status 2.
    auto isHelp = [](const std::string& a) { return a == "--help" || a == "-h"; };
    bool known = command == "info" || command == "list" || command == "extract" ||
                 command == "pack" || command == "make";
    if (isHelp(command) || (known && !args.empty() && isHelp(args[0]))) {
        std::fputs(USAGE, stdout);
        return std::fflush(stdout) == 0 ? 0 : EXIT_USAGE;
    }
    if (command == "--version" && args.empty()) {
        std::printf("quorsfx %s\n", QUOR_VERSION);
        return std::fflush(stdout) == 0 ? 0 : EXIT_USAGE;
    }
    if (command == "info" && args.size() == 1) return info(args[0]);
    if (command == "list" && args.size() == 1) return list(args[0]);
    if (command == "extract") {
        std::string folder;
        if (args.size() == 3 && args[0] == "-C") return extract(args[2], args[1]);
        if (args.size() == 1) return extract(args[0], folder);
    }
    if (command == "make") return make(args);
    if (command == "pack") return pack(args);
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
}
