// The tool's system on Linux (and any POSIX system): names are bytes, passed as they are.
#include "system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace sys {

std::vector<std::string> startTool(int argc, char** argv)
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

namespace {

void fill(const struct stat& st, FileStatus& status)
{
    status.kind = S_ISREG(st.st_mode)   ? Kind::regular
                  : S_ISDIR(st.st_mode) ? Kind::folder
                  : S_ISLNK(st.st_mode) ? Kind::link
                                        : Kind::other;
    status.mode = st.st_mode;
    status.size = (uint64_t)st.st_size;
    status.modified = st.st_mtime;
    status.volume = st.st_dev;
    status.index = st.st_ino;
}

}  // namespace

bool fileStatus(const std::string& path, FileStatus& status, bool followLinks)
{
    struct stat st;
    if ((followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return false;
    fill(st, status);
    return true;
}

bool openFileStatus(FILE* file, FileStatus& status)
{
    struct stat st;
    if (fstat(fileno(file), &st) != 0) return false;
    fill(st, status);
    return true;
}

bool isFolder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FILE* openFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

FILE* createFile(const std::string& path, const char* mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, mode);
    if (!file) close(fd);
    return file;
}

bool makeLink(const std::string& target, const std::string& path)
{
    return symlink(target.c_str(), path.c_str()) == 0;
}
bool removeFile(const std::string& path) { return std::remove(path.c_str()) == 0; }
bool makeFolder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }
bool enterFolder(const std::string& path) { return chdir(path.c_str()) == 0; }

bool currentFolder(std::string& path)
{
    std::vector<char> buffer(4096);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) return false;
        buffer.resize(buffer.size() * 2);
    }
    path = buffer.data();
    return true;
}

void setModified(const std::string& path, int64_t unixTime)
{
    struct utimbuf times = {(time_t)unixTime, (time_t)unixTime};
    utime(path.c_str(), &times);
}

bool listFolder(const std::string& path, std::vector<std::string>& names)
{
    DIR* dir = opendir(path.c_str());
    if (!dir) return false;
    errno = 0;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    int error = errno;
    closedir(dir);
    errno = error;
    return error == 0;
}

bool windowsFileNames() { return false; }

bool truncateFile(FILE* file, uint64_t size) { return ftruncate(fileno(file), (off_t)size) == 0; }

std::string fromUser(const std::string& path) { return path; }
bool isAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

FILE* createBeside(const std::string& target, std::string& name)
{
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "." : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = folder + "/." + base + ".XXXXXX";
    int fd = mkstemp(&pattern[0]);
    if (fd < 0) return nullptr;
    // mkstemp makes the file private (0600); the archive gets what a new file gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE* file = fdopen(fd, "w+b");
    if (!file) {
        int error = errno;
        close(fd);
        unlink(pattern.c_str());
        errno = error;
        return nullptr;
    }
    name = pattern;
    return file;
}

bool syncFile(FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }
bool replaceFile(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }

bool stderrIsTerminal() { return isatty(STDERR_FILENO); }

size_t terminalColumns()
{
    struct winsize size = {};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

namespace {
void (*interruptHandler)() = nullptr;
void onSignal(int) { interruptHandler(); }
}  // namespace

void onInterrupt(void (*handler)())
{
    interruptHandler = handler;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

std::tm utcTime(int64_t unixTime)
{
    std::time_t t = (std::time_t)unixTime;
    std::tm utc{};
    gmtime_r(&t, &utc);
    return utc;
}

uint64_t availableMemory()
{
    long pages = sysconf(_SC_AVPHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return (uint64_t)pages * (uint64_t)pageSize;
}

void releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace sys
