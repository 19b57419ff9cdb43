#include "support/archives.h"

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace archives {
namespace {

const char* const JLHA_JAR = "/usr/share/java/jlha.jar";

// Owns the run's temporary root and removes it when the test binary ends.
class TempRoot {
public:
    TempRoot() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/quor-tests-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data())) {
            path = buffer.data();
        }
    }
    ~TempRoot() {
        const char* keep = getenv("QUOR_KEEP_TEMP");
        if (!path.empty() && !(keep && *keep && std::string(keep) != "0")) {
            std::error_code ignored;
            // Hostile tests may leave folders without write permission behind.
            fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
            fs::remove_all(path, ignored);
        }
    }
    std::string path;
};

bool findInPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::stringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() && access((folder + "/" + name).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

std::string hexBytes(const std::string& bytes) {
    if (bytes.empty()) {
        return "-";
    }
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void drain(int fd, std::string& into, bool& open) {
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open = false;
    }
}

}  // namespace

std::string tempRoot() {
    static TempRoot root;
    return root.path;
}

std::string newTempFolder(const std::string& label) {
    static int counter = 0;
    std::string path = tempRoot() + "/" + label + "-" + std::to_string(++counter);
    fs::create_directories(path);
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string jlhaMissing() {
    if (!findInPath("java")) {
        return "java is not installed (Debian package default-jdk-headless)";
    }
    if (access(JLHA_JAR, R_OK) != 0) {
        return std::string(JLHA_JAR) + " is missing (Debian package jlha-utils)";
    }
    return "";
}

namespace {

// FNV-1a, 64 bits: a stable name for a set of archives, the same in every process.
class Fingerprint {
public:
    void add(const std::string& bytes) {
        addRaw(std::to_string(bytes.size()) + ":");
        addRaw(bytes);
    }
    std::string hex() const {
        char text[24];
        snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
        return text;
    }

private:
    void addRaw(const std::string& bytes) {
        for (unsigned char c : bytes) {
            hash = (hash ^ c) * 0x100000001B3ull;
        }
    }
    uint64_t hash = 0xCBF29CE484222325ull;
};

// Archives are kept in the build tree, named by a fingerprint of their description and of
// the generator: CTest runs every test in a process of its own, and a Java run per process
// would cost more than all the tests together.
std::string archiveCache() {
    return (fs::path(QUOR_TOOL).parent_path().parent_path() / "tests" / "archive-cache").string();
}

bool readPackedReport(const std::string& report, std::vector<BuiltArchive>& built,
                      std::string& error) {
    std::istringstream lines(report);
    std::string word;
    size_t archiveIndex, memberIndex;
    uint32_t packed;
    while (lines >> word >> archiveIndex >> memberIndex >> packed) {
        if (word != "packed" || archiveIndex >= built.size() ||
            memberIndex != built[archiveIndex].packedSizes.size()) {
            error = "unexpected report from the archive generator: " + report;
            return false;
        }
        built[archiveIndex].packedSizes.push_back(packed);
    }
    return true;
}

}  // namespace

std::vector<BuiltArchive> makeArchives(const std::vector<ArchivePlan>& plans, std::string& error,
                                       bool reuse) {
    error = jlhaMissing();
    if (!error.empty()) {
        return {};
    }
    const std::string generator = std::string(QUOR_SOURCE_DIR) + "/tests/jlha/MakeArchive.java";
    Fingerprint fingerprint;
    fingerprint.add(readFile(generator));
    for (const ArchivePlan& plan : plans) {
        fingerprint.add(plan.fileName);
        for (const Member& member : plan.members) {
            for (const std::string& field :
                 {member.method, std::to_string(member.level), std::to_string(member.time),
                  member.name, member.content, std::to_string(member.rawName),
                  std::to_string(member.crcOverride)}) {
                fingerprint.add(field);
            }
        }
    }
    const std::string folder = reuse ? archiveCache() + "/" + fingerprint.hex()
                                     : newTempFolder("archives") + "/set";
    const std::string reportName = "packed.txt";  // written last: its presence means done

    std::vector<BuiltArchive> built;
    for (const ArchivePlan& plan : plans) {
        built.push_back({folder + "/" + plan.fileName, {}});
    }
    if (access((folder + "/" + reportName).c_str(), R_OK) == 0) {
        if (!readPackedReport(readFile(folder + "/" + reportName), built, error)) {
            return {};
        }
        for (size_t i = 0; i < built.size(); i++) {
            if (built[i].packedSizes.size() != plans[i].members.size()) {
                error = "a damaged archive cache: " + folder;
                return {};
            }
        }
        return built;
    }

    // Built aside and renamed into place, so that parallel test processes never see half an
    // archive set; the loser of a race uses the winner's.
    const std::string work = folder + ".tmp-" + std::to_string(getpid());
    std::error_code ignored;
    fs::remove_all(work, ignored);
    fs::create_directories(work, ignored);
    if (access(work.c_str(), W_OK) != 0) {
        error = "cannot create " + work;
        return {};
    }
    std::string description;
    // Equal contents share one file, and the generator packs each (method, file) once.
    std::map<std::string, std::string> contentFiles;
    for (const ArchivePlan& plan : plans) {
        description += "archive " + work + "/" + plan.fileName + "\n";
        for (const Member& member : plan.members) {
            std::string content = "-";
            if (!member.content.empty()) {
                auto found = contentFiles.find(member.content);
                if (found == contentFiles.end()) {
                    std::string path =
                        work + "/content-" + std::to_string(contentFiles.size()) + ".bin";
                    writeFile(path, member.content);
                    found = contentFiles.emplace(member.content, path).first;
                }
                content = found->second;
            }
            description += "member " + member.method + " " + std::to_string(member.level) + " " +
                           std::to_string(member.time) + " " + hexBytes(member.name) + " " +
                           content;
            if (member.rawName) {
                description += " raw";
            }
            if (member.crcOverride >= 0) {
                description += " crc=" + hex4(static_cast<uint16_t>(member.crcOverride));
            }
            description += "\n";
        }
    }
    const std::string descriptionPath = work + "/description.txt";
    writeFile(descriptionPath, description);

    RunResult result = run({"java", "-Duser.timezone=UTC", "-cp", JLHA_JAR, generator,
                            descriptionPath},
                           "", 300);
    for (const auto& [content, path] : contentFiles) {
        fs::remove(path, ignored);
    }
    if (result.exitStatus != 0) {
        error = "the archive generator failed: " + result.describe();
        fs::remove_all(work, ignored);
        return {};
    }
    writeFile(work + "/" + reportName, result.out);
    if (rename(work.c_str(), folder.c_str()) != 0) {
        fs::remove_all(work, ignored);  // another process was first
    }
    if (!readPackedReport(readFile(folder + "/" + reportName), built, error)) {
        return {};
    }
    return built;
}

std::string randomBytes(size_t size, uint32_t seed) {
    static std::map<std::pair<size_t, uint32_t>, std::string> made;
    auto found = made.find({size, seed});
    if (found != made.end()) {
        return found->second;
    }
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator() & 0xFF);
    }
    made[{size, seed}] = bytes;
    return bytes;
}

std::string wordText(size_t size, uint32_t seed) {
    static std::map<std::pair<size_t, uint32_t>, std::string> made;
    auto found = made.find({size, seed});
    if (found != made.end()) {
        return found->second;
    }
    std::mt19937 generator(seed);
    std::vector<std::string> words;
    for (int i = 0; i < 4000; i++) {
        std::string word;
        size_t length = 2 + generator() % 9;
        for (size_t j = 0; j < length; j++) {
            word += static_cast<char>('a' + generator() % 26);
        }
        words.push_back(word);
    }
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        text += words[generator() % words.size()];
        text += generator() % 10 == 0 ? '\n' : ' ';
    }
    text.resize(size);
    made[{size, seed}] = text;
    return text;
}

uint16_t crc16(const std::string& data) {
    uint16_t crc = 0;
    for (unsigned char c : data) {
        crc ^= c;
        for (int bit = 0; bit < 8; bit++) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
        }
    }
    return crc;
}

std::string RunResult::describe() const {
    std::string text;
    if (timedOut) {
        text = "timed out";
    } else if (signal != 0) {
        text = std::string("killed by signal ") + strsignal(signal);
    } else {
        text = "exit status " + std::to_string(exitStatus);
    }
    if (!err.empty()) {
        text += "; stderr: " + err.substr(0, 2000);
    }
    return text;
}

RunResult run(const std::vector<std::string>& argv, const std::string& folder,
              int timeoutSeconds, const std::vector<std::string>& extraEnv) {
    RunResult result;
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; entry++) {
        std::string text = *entry;
        bool replaced = false;
        for (const std::string& extra : extraEnv) {
            std::string name = extra.substr(0, extra.find('=') + 1);
            replaced = replaced || text.compare(0, name.size(), name) == 0;
        }
        if (!replaced) {
            environment.push_back(text);
        }
    }
    environment.insert(environment.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (const std::string& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        result.err = "pipe failed";
        return result;
    }
    // posix_spawn rather than fork: a sanitizer build of the tests maps terabytes of shadow
    // memory, and copying that page table for every child costs more than the child itself.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    if (!folder.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);  // its own group, killed whole on a timeout
    pid_t child = -1;
    int spawned = posix_spawnp(&child, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        result.exitStatus = 127;  // as a shell reports a command it cannot start
        result.err = "cannot start " + argv[0] + (folder.empty() ? "" : " in " + folder) + ": " +
                     strerror(spawned);
        return result;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timedOut = true;
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0},
                         {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        int ready = poll(fds, 2, static_cast<int>(left < 1000 ? left : 1000));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            drain(outPipe[0], result.out, outOpen);
        }
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            drain(errPipe[0], result.err, errOpen);
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

std::string toolPath() {
    return QUOR_TOOL;
}

std::string toolMissing() {
    if (access(QUOR_TOOL, X_OK) != 0) {
        return std::string("the quorsfx tool has not been built: ") + QUOR_TOOL;
    }
    return "";
}

RunResult runTool(const std::vector<std::string>& args, const std::string& folder,
                  int timeoutSeconds) {
    std::vector<std::string> argv = {toolPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    // A SOURCE_DATE_EPOCH of the caller's (a package build sets one) would change the times
    // the tool writes; empty, the tool takes it as unset.
    return run(argv, folder, timeoutSeconds, {"TZ=UTC", "SOURCE_DATE_EPOCH="});
}

Tree readTree(const std::string& root) {
    Tree tree;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(root, error))) {
        return tree;
    }
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string relative = fs::relative(it->path(), root).string();
        fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status)) {
            tree[relative] = "link:" + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            tree[relative] = "dir";
        } else if (fs::is_regular_file(status)) {
            tree[relative] = "file:" + readFile(it->path().string());
        } else {
            tree[relative] = "other";
        }
    }
    return tree;
}

std::string diffTrees(const Tree& expected, const Tree& actual) {
    auto kind = [](const std::string& value) {
        return value.compare(0, 5, "file:") == 0
                   ? "file of " + std::to_string(value.size() - 5) + " bytes"
                   : value;
    };
    std::string report;
    for (const auto& [path, value] : expected) {
        auto found = actual.find(path);
        if (found == actual.end()) {
            report += "missing: " + printable(path) + " (" + kind(value) + ")\n";
        } else if (found->second != value) {
            report += "differs: " + printable(path) + " (expected " + kind(value) + ", got " +
                      kind(found->second) + ")\n";
        }
    }
    for (const auto& [path, value] : actual) {
        if (expected.find(path) == expected.end()) {
            report += "unexpected: " + printable(path) + " (" + kind(value) + ")\n";
        }
    }
    return report;
}

std::string corpusFolder() {
    std::error_code error;
    fs::path corpus = fs::path(QUOR_SOURCE_DIR) / ".." / "shared" / "corpus";
    if (!fs::is_directory(corpus, error)) {
        return "";
    }
    return fs::canonical(corpus, error).string();
}

Listing parseListing(const std::string& out) {
    Listing listing;
    std::istringstream lines(out);
    std::string line;
    bool sawHeader = false, sawTotal = false;
    while (std::getline(lines, line)) {
        if (sawTotal) {
            listing.problem = "text after the total line: " + printable(line);
            return listing;
        }
        if (!sawHeader) {
            if (line.compare(0, 6, "method") != 0) {
                listing.problem = "the first line does not start with \"method\": " +
                                  printable(line);
                return listing;
            }
            sawHeader = true;
            continue;
        }
        const std::string totalPrefix = "total original size: ";
        if (line.compare(0, totalPrefix.size(), totalPrefix) == 0) {
            listing.totalOriginalSize = std::stoull(line.substr(totalPrefix.size()));
            sawTotal = true;
            continue;
        }
        // "%-5s %10u %10u %-4s %2u  %-20s  %s": the time is exactly 20 characters, and the
        // name is everything after the two blanks that follow it, blanks included.
        ListedMember member;
        std::istringstream fields(line);
        fields >> member.method >> member.packedSize >> member.originalSize >> member.crc >>
            member.level >> member.time;
        std::streamoff timeEnd = fields.fail() ? -1 : static_cast<std::streamoff>(fields.tellg());
        if (timeEnd < 0 || member.time.size() != 20 ||
            line.compare(static_cast<size_t>(timeEnd), 2, "  ") != 0) {
            listing.problem = "a member line of the wrong shape: " + printable(line);
            return listing;
        }
        member.name = line.substr(static_cast<size_t>(timeEnd) + 2);
        listing.members.push_back(member);
    }
    if (!sawTotal) {
        listing.problem = "no \"total original size:\" line";
    }
    return listing;
}

std::string isoTime(int64_t unixTime) {
    time_t seconds = static_cast<time_t>(unixTime);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string sjisToUtf8(const std::string& sjis) {
    iconv_t converter = iconv_open("UTF-8", "CP932");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return "";
    }
    std::string input = sjis;
    std::string output(sjis.size() * 4 + 4, '\0');
    char* in = input.data();
    size_t inLeft = input.size();
    char* out = output.data();
    size_t outLeft = output.size();
    size_t done = iconv(converter, &in, &inLeft, &out, &outLeft);
    iconv_close(converter);
    if (done == static_cast<size_t>(-1)) {
        return "";
    }
    output.resize(output.size() - outLeft);
    return output;
}

std::string hex4(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string printable(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", c);
            text += escape;
        }
    }
    return text;
}

}  // namespace archives
