#include "pack.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "system.h"

namespace {

const int EXIT_MEMBER_REFUSED = 1;
const long MOST_THREADS = 64;
const int EXIT_USAGE = 2;

int fail(const std::string& message)
{
    std::fprintf(stderr, "quorsfx: %s\n", message.c_str());
    return EXIT_USAGE;
}

std::atomic<int> packInterrupted{0};
void interrupted() { packInterrupted.store(1, std::memory_order_relaxed); }

// ---- The walk

// One member to write: its path in the archive (and below the -C folder), and what lstat
// said of it. Kept small: the list holds every member of the tree at once.
struct Item {
    std::string member;
    mode_t mode;
    off_t size;
    time_t mtime;
};

struct Walk {
    std::string root;  // the -C folder
    std::vector<Item> items;
    std::vector<std::string> refused;  // one line each: why a path cannot be packed
    std::vector<std::string> walked;   // the members of the PATHs done (PATHs may overlap)
    uint64_t totalBytes = 0;
    bool outputExists = false;  // OUT already there: it must not pack itself
    sys::FileStatus output;

    std::string sourceOf(const std::string& member) const
    {
        return member.empty() ? root : root + "/" + member;
    }
};

// A PATH as the member path it names: relative, '/'-separated, without "." parts; "" for the
// folder itself. Absolute paths and ".." are refused: a member must land inside the folder it
// is extracted into, and the tool does not rewrite what it was asked to pack.
bool memberPathOf(const std::string& arg, std::string& member, std::string& error)
{
    if (arg.empty() || sys::isAbsolute(arg)) {
        error = "\"" + arg + "\": give PATHs relative to the folder of -C (default: the current folder)";
        return false;
    }
    member.clear();
    size_t at = 0;
    while (at <= arg.size()) {
        size_t end = arg.find('/', at);
        if (end == std::string::npos) end = arg.size();
        std::string part = arg.substr(at, end - at);
        if (part == "..") {
            error = "\"" + arg + "\": a PATH may not leave the folder of -C through \"..\"";
            return false;
        }
        if (!part.empty() && part != ".") member += (member.empty() ? "" : "/") + part;
        at = end + 1;
    }
    return true;
}

void walk(Walk& w, const std::string& member)
{
    std::string source = w.sourceOf(member);
    std::string shown = member.empty() ? "." : member;
    sys::FileStatus info;
    if (!sys::fileStatus(source, info)) {
        w.refused.push_back(shown + ": " + std::strerror(errno));
        return;
    }
    if (w.outputExists && info.volume == w.output.volume && info.index == w.output.index) {
        std::fprintf(stderr, "quorsfx: %s is the archive being written; not packed into itself\n",
                     shown.c_str());
        return;
    }
    if (info.kind == sys::Kind::link) {
        w.refused.push_back(shown + ": a symbolic link; the self-extractor cannot make links");
        return;
    }
    if (info.kind != sys::Kind::folder && info.kind != sys::Kind::regular) {
        w.refused.push_back(shown + ": not a regular file or folder (a device, pipe or socket)");
        return;
    }
    if (!member.empty()) {
        // Below a PATH given before, this member and all below it are in already.
        if (std::find(w.walked.begin(), w.walked.end(), member) != w.walked.end()) return;
        StoredName name;
        std::string error;
        if (!storedNameOf(member, info.kind == sys::Kind::folder, name, error)) {
            w.refused.push_back(shown + ": " + error);
            return;
        }
    }
    if (info.kind == sys::Kind::regular) {
        FILE* file = sys::openFile(source, "rb");
        if (!file) {
            w.refused.push_back(shown + ": " + std::strerror(errno));
            return;
        }
        std::fclose(file);
        w.items.push_back({member, (mode_t)info.mode, (off_t)info.size, (time_t)info.modified});
        w.totalBytes += info.size;
        return;
    }
    if (!member.empty()) w.items.push_back({member, (mode_t)info.mode, 0, (time_t)info.modified});
    std::vector<std::string> names;
    if (!sys::listFolder(source, names)) {
        w.refused.push_back(shown + ": " + std::strerror(errno));
        return;
    }
    // Byte order: the same tree gives the same archive on every machine.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) walk(w, member.empty() ? name : member + "/" + name);
}

// ---- Reproducible output

// SOURCE_DATE_EPOCH, the reproducible-builds convention: a decimal Unix time, the latest
// time the output may carry. Unset or empty, times are written as they are. A value that is
// not such a number is refused rather than ignored: the build that set it expects its
// output to be reproducible.
bool readSourceDateEpoch(PackSettings& settings, std::string& error)
{
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (!text || !*text) return true;
    int64_t value = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || value > (INT64_MAX - 9) / 10) {
            error = std::string("SOURCE_DATE_EPOCH=") + text + ": not a Unix time (decimal seconds)";
            return false;
        }
        value = value * 10 + (*c - '0');
    }
    settings.latestTime = value;
    return true;
}

// ---- The output file

// OUT is written under a temporary name in its own folder and renamed when complete, so that
// OUT is either the old file or the whole new archive, never a part of one.
class OutputFile {
public:
    ~OutputFile()
    {
        if (file) std::fclose(file);
        if (!temporary.empty()) sys::removeFile(temporary);
    }

    bool create(const std::string& out, std::string& error)
    {
        file = sys::createBeside(out, temporary);
        if (!file) {
            error = "cannot create a file beside " + out + ": " + std::strerror(errno);
            return false;
        }
        target = out;
        return true;
    }

    FILE* get() const { return file; }

    bool commit(std::string& error)
    {
        bool ok = sys::syncFile(file);
        ok = std::fclose(file) == 0 && ok;
        file = nullptr;
        if (!ok || !sys::replaceFile(temporary, target)) {
            error = "cannot write " + target + ": " + std::strerror(errno);
            return false;
        }
        temporary.clear();
        return true;
    }

private:
    FILE* file = nullptr;
    std::string temporary;
    std::string target;
};

// ---- Progress on a terminal

std::string amount(uint64_t bytes)
{
    char text[32];
    if (bytes < 10 * 1024) std::snprintf(text, sizeof text, "%llu B", (unsigned long long)bytes);
    else if (bytes < 10ull * 1024 * 1024) std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

// One line like extract's: the share done, the bytes done of the total, the current member.
class ProgressLine {
public:
    ProgressLine(uint64_t total) : shown(sys::stderrIsTerminal()), total(total) {}
    ~ProgressLine() { clear(); }

    void show(uint64_t done, const std::string& member)
    {
        if (!shown) return;
        unsigned percent = total ? (unsigned)(done * 100 / total) : 100;
        if (percent == lastPercent && member == lastMember) return;
        lastPercent = percent;
        lastMember = member;
        std::fprintf(stderr, "\r\033[K%3u%% %s of %s  %s", percent, amount(done).c_str(),
                     amount(total).c_str(), member.c_str());
        std::fflush(stderr);
        drawn = true;
    }

    void clear()
    {
        if (!drawn) return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        drawn = false;
    }

private:
    bool shown;
    uint64_t total;
    unsigned lastPercent = ~0u;
    std::string lastMember;
    bool drawn = false;
};

// ---- Small files ahead, on several threads

// Packs the small files of the walk (IN_MEMORY_MOST bytes at most) into memory on `threads`
// workers, in walk order and a little ahead of the writer, which takes each in its turn. The
// archive is the same as one thread writes: each member is packed on its own either way.
//
// Memory stays within a thread's share: the workers run only within the stretch of small files
// up to the next large one, which is packed by the writer with its own threads while they
// wait, and the files they have taken and the writer has not stay within AHEAD_BYTES per
// thread: a count of files would let one larger file hold up every worker behind it while
// the others wait for the writer (a fifth of the wall time on a tree of headers).
const uint64_t AHEAD_BYTES = 4u << 20;

class AheadPacker {
public:
    AheadPacker(const Walk& w, const PackSettings& settings, int threads) : settings(settings)
    {
        size_t larges = 0;
        for (size_t i = 0; i < w.items.size(); ++i) {
            const Item& item = w.items[i];
            if (S_ISDIR(item.mode)) continue;
            if ((uint64_t)item.size > IN_MEMORY_MOST) {
                ++larges;
                continue;
            }
            jobOf[i] = jobs.size();
            jobs.push_back({w.sourceOf(item.member), statOf(item), larges, {}, false});
        }
        if (jobs.size() < 2) return;  // nothing to share
        aheadBytes = AHEAD_BYTES * (uint64_t)threads;
        try {
            for (int t = 0; t < threads; ++t) workers.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // No more threads to be had: those started share the small files; with none,
            // the writer packs them itself, as with one thread.
        }
    }

    ~AheadPacker()
    {
        {
            std::lock_guard<std::mutex> hold(lock);
            stopped = true;
        }
        changed.notify_all();
        for (std::thread& t : workers) t.join();
    }

    // Item `index` was packed ahead: its result, once ready, is moved to `member`.
    bool takes(size_t index) const { return !workers.empty() && jobOf.count(index) != 0; }
    void take(size_t index, PackedMember& member)
    {
        size_t j = jobOf.at(index);
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return jobs[j].ready; });
        member = std::move(jobs[j].result);
        jobs[j].result = PackedMember();
        heldBytes -= (uint64_t)jobs[j].info.st_size;
        hold.unlock();
        changed.notify_all();
    }

    // The writer has written every large file before the next item: the workers may go on.
    void largeWritten()
    {
        {
            std::lock_guard<std::mutex> hold(lock);
            ++largesWritten;
        }
        changed.notify_all();
    }

private:
    struct Job {
        std::string source;
        struct stat info;
        size_t largesBefore;  // large files ahead of it in the walk
        PackedMember result;
        bool ready;
    };

    static struct stat statOf(const Item& item)
    {
        struct stat info = {};
        info.st_mode = item.mode;
        info.st_size = item.size;
        info.st_mtime = item.mtime;
        return info;
    }

    void work()
    {
        for (;;) {
            std::unique_lock<std::mutex> hold(lock);
            if (next < jobs.size() && jobs[next].largesBefore > largesWritten) {
                // The writer's large file comes first, with threads and tables of its own;
                // what this thread freed would stay with it (glibc) unless trimmed.
                hold.unlock();
                LhEncoder::releaseThreadTables();
                sys::releaseFreedMemory();
                hold.lock();
            }
            changed.wait(hold, [&] {
                return stopped || (next < jobs.size() &&
                                   (heldBytes == 0 || heldBytes + (uint64_t)jobs[next].info.st_size <= aheadBytes) &&
                                   jobs[next].largesBefore <= largesWritten);
            });
            if (stopped) {
                hold.unlock();
                LhEncoder::releaseThreadTables();
                return;
            }
            Job& job = jobs[next++];
            heldBytes += (uint64_t)job.info.st_size;
            hold.unlock();
            PackedMember result;
            packInMemory(job.source, job.info, settings, [this] {
                return packInterrupted.load(std::memory_order_relaxed) == 0 && !stopped.load();
            }, result);
            hold.lock();
            job.result = std::move(result);
            job.ready = true;
            hold.unlock();
            changed.notify_all();
        }
    }

    const PackSettings settings;
    std::vector<Job> jobs;
    std::map<size_t, size_t> jobOf;  // item index to job index
    std::vector<std::thread> workers;
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<bool> stopped{false};
    size_t next = 0;           // the next job a worker takes
    uint64_t heldBytes = 0;    // input bytes of the jobs taken by workers and not by the writer
    uint64_t aheadBytes = 0;   // at most that many, unless one job alone is more
    size_t largesWritten = 0;
};

}  // namespace

PackOptions::PackOptions()
{
    settings.threads = (int)std::clamp<long>((long)std::thread::hardware_concurrency(), 1, MOST_THREADS);
}

int takePackOption(const std::vector<std::string>& args, size_t& i, PackOptions& options,
                   std::string& error)
{
    const std::string& a = args[i];
    if (a != "-C" && a != "--method" && a != "--level" && a != "--threads") return 0;
    if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return -1;
    }
    const std::string& value = args[++i];
    if (a == "--threads") {
        // More threads than a machine has cores only cost memory (up to 64 MiB each).
        char* end = nullptr;
        errno = 0;
        long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || !std::isdigit((unsigned char)value[0]) || *end != '\0' || errno != 0 || n < 1 ||
            n > MOST_THREADS) {
            error = "--threads takes a number from 1 to " + std::to_string(MOST_THREADS);
            return -1;
        }
        options.settings.threads = (int)n;
        return 1;
    }
    options.given = true;
    if (a == "-C") {
        options.folder = sys::fromUser(value);
    } else if (a == "--method") {
        static const struct {
            const char* name;
            int bits;
        } methods[] = {{"lh5", 13}, {"lh6", 15}, {"lh7", 16}};
        auto m = std::find_if(std::begin(methods), std::end(methods),
                              [&](const auto& m) { return value == m.name; });
        if (m == std::end(methods)) {
            error = "--method takes lh5, lh6 or lh7";
            return -1;
        }
        options.settings.dictionaryBits = m->bits;
    } else {
        if (value.size() != 1 || value[0] < '1' || value[0] > '9') {
            error = "--level takes a number from 1 (fast) to 9 (smallest)";
            return -1;
        }
        options.settings.level = value[0] - '0';
    }
    return 1;
}

int writePacked(const std::string& out, const std::string& prefix, const PackOptions& options)
{
    if (options.paths.empty()) return fail("nothing to pack: give one PATH or more");
    PackSettings settings = options.settings;
    std::string epochError;
    if (!readSourceDateEpoch(settings, epochError)) return fail(epochError);
    Walk w;
    w.root = options.folder.empty() ? "." : options.folder;
    if (!sys::isFolder(w.root)) return fail("-C " + w.root + ": not a folder");
    w.outputExists = sys::fileStatus(out, w.output, true);
    for (const std::string& path : options.paths) {
        std::string member, error;
        if (!memberPathOf(sys::fromUser(path), member, error)) return fail(error);
        // A PATH inside one given before (or the same again) is in the archive already.
        bool inside = false;
        for (const std::string& e : w.walked)
            inside = inside || e.empty() || member == e || member.compare(0, e.size() + 1, e + "/") == 0;
        if (inside) continue;
        walk(w, member);
        w.walked.push_back(member);
    }
    // All or nothing: an archive that lacks a member must not pass for the tree it was
    // asked to hold, so a refused path stops the run before OUT is touched.
    if (!w.refused.empty()) {
        for (const std::string& line : w.refused) std::fprintf(stderr, "quorsfx: %s\n", line.c_str());
        std::fprintf(stderr, "quorsfx: %zu path%s refused; %s not written\n", w.refused.size(),
                     w.refused.size() == 1 ? "" : "s", out.c_str());
        return EXIT_MEMBER_REFUSED;
    }

    OutputFile output;
    std::string error;
    if (!output.create(out, error)) return fail(error);
    if (!prefix.empty() && std::fwrite(prefix.data(), 1, prefix.size(), output.get()) != prefix.size())
        return fail("cannot write " + out + ": " + std::strerror(errno));

    sys::onInterrupt(interrupted);
    ArchiveWriter writer(output.get(), settings);
    ProgressLine line(w.totalBytes);
    uint64_t done = 0;
    std::unique_ptr<AheadPacker> ahead;
    if (settings.threads > 1) ahead.reset(new AheadPacker(w, settings, settings.threads));
    for (size_t index = 0; index < w.items.size(); ++index) {
        const Item& item = w.items[index];
        bool ok;
        struct stat info = {};
        info.st_mode = item.mode;
        info.st_size = item.size;
        info.st_mtime = item.mtime;
        line.show(done, item.member);
        if (S_ISDIR(item.mode)) {
            ok = writer.addFolder(item.member, info, error);
        } else if (ahead && ahead->takes(index)) {
            PackedMember member;
            ahead->take(index, member);
            error = member.error;
            ok = error.empty() && writer.addPacked(item.member, info, member, error);
            done += (uint64_t)item.size;
        } else {
            // A member that would not shrink is read a second time to be stored; the line
            // does not go back for it.
            uint64_t shown = 0;
            auto progress = [&](uint64_t bytes) {
                shown = std::max(shown, bytes);
                line.show(done + shown, item.member);
                return packInterrupted.load(std::memory_order_relaxed) == 0;
            };
            ok = writer.addFile(item.member, w.sourceOf(item.member), info, progress, error);
            done += (uint64_t)item.size;
            if (ahead) ahead->largeWritten();
        }
        if (packInterrupted.load(std::memory_order_relaxed)) {
            line.clear();
            std::fprintf(stderr, "quorsfx: interrupted; %s not written\n", out.c_str());
            return EXIT_MEMBER_REFUSED;
        }
        if (!ok) {
            line.clear();
            if (writer.outputFailed()) return fail(error);
            std::fprintf(stderr, "quorsfx: %s: %s; %s not written\n", item.member.c_str(), error.c_str(),
                         out.c_str());
            return EXIT_MEMBER_REFUSED;
        }
    }
    line.clear();
    if (!writer.finish(error) || !output.commit(error)) return fail(error);
    return 0;
}

int writeCopied(const std::string& out, const std::string& prefix, const std::string& archive)
{
    FILE* in = sys::openFile(archive, "rb");
    if (!in) return fail("cannot read archive " + archive + ": " + std::strerror(errno));
    OutputFile output;
    std::string error;
    bool ok = output.create(out, error);
    if (ok && std::fwrite(prefix.data(), 1, prefix.size(), output.get()) != prefix.size()) ok = false;
    std::vector<char> buffer(64 * 1024);
    while (ok) {
        size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        if (got == 0) break;
        ok = std::fwrite(buffer.data(), 1, got, output.get()) == got;
    }
    bool readFailed = std::ferror(in);
    std::fclose(in);
    if (readFailed) return fail("cannot read archive " + archive);
    if (!ok) return fail(error.empty() ? "cannot write " + out + ": " + std::strerror(errno) : error);
    if (!output.commit(error)) return fail(error);
    return 0;
}

int pack(const std::vector<std::string>& args)
{
    PackOptions options;
    std::string out, error;
    for (size_t i = 0; i < args.size(); ++i) {
        int taken = takePackOption(args, i, options, error);
        if (taken < 0) return fail(error);
        if (taken) continue;
        if (args[i] == "-o") {
            if (i + 1 >= args.size()) return fail("-o needs a file name");
            out = sys::fromUser(args[++i]);
        } else if (!args[i].empty() && args[i][0] == '-') {
            return fail("unknown option " + args[i]);
        } else {
            options.paths.push_back(args[i]);
        }
    }
    if (out.empty()) return fail("pack needs -o OUT");
    return writePacked(out, std::string(), options);
}
