// What the tool asks of the system, by UTF-8 name: files, folders, the console, Ctrl-C and
// the clock. One implementation per system (system_posix.cpp, system_windows.cpp), so that
// the tool's own logic reads the same on both. Windows is asked only through its wide (UTF-16)
// calls: the ANSI code page never decides a name. Failures leave errno set, so that
// std::strerror(errno) says why on both systems.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace sys {

// The arguments after the program's name, in UTF-8. Windows: from the UTF-16 command line,
// whatever the code pages are; the console is also set to take UTF-8 (restored at exit) and
// standard output and error to write bytes as they are, so that the tool writes the same
// bytes as on Linux. Linux: argv as it is.
std::vector<std::string> startTool(int argc, char** argv);

enum class Kind { regular, folder, link, other };

struct FileStatus {
    Kind kind = Kind::other;
    uint32_t mode = 0;     // st_mode, kind and permission bits (Windows: made from the kind)
    uint64_t size = 0;
    int64_t modified = 0;  // Unix time
    // Together they name the file itself, whatever path reaches it (device and inode).
    uint64_t volume = 0, index = 0;
};

// What `path` names: a symbolic link itself (lstat), or with `followLinks` what it leads to
// (stat).
bool fileStatus(const std::string& path, FileStatus& status, bool followLinks = false);
// The same for an open file (fstat).
bool openFileStatus(FILE* file, FileStatus& status);
// Whether `path` is a folder, or leads to one through links.
bool isFolder(const std::string& path);

FILE* openFile(const std::string& path, const char* mode);
// Opens `path` for writing (a "w" mode), never through a symbolic link: where one stands at
// `path` the open fails (POSIX O_NOFOLLOW), so that a link made in the meantime cannot lead
// a member out of the destination.
FILE* createFile(const std::string& path, const char* mode);
// Makes the symbolic link `path` that leads to `target` (as stored, '/' between its parts).
// Windows: false with errno ENOTSUP; a link there needs rights or a developer setting that an
// extraction cannot count on, and a Unix link target is no Windows path.
bool makeLink(const std::string& target, const std::string& path);
bool removeFile(const std::string& path);
bool makeFolder(const std::string& path);
bool enterFolder(const std::string& path);
// With '/' between its parts, as every path the tool shows and composes.
bool currentFolder(std::string& path);
void setModified(const std::string& path, int64_t unixTime);
// The names in a folder, "." and ".." left out, in the order the system gives them.
bool listFolder(const std::string& path, std::vector<std::string>& names);
// Whether names are stored as Windows stores them: a device for CON or NUL.TXT, a stream
// for "x.txt:s", a final dot or space dropped. The extraction then refuses such members
// rather than write them under another name, or nowhere, and report them written.
bool windowsFileNames();
// Cuts an open file to `size` bytes.
bool truncateFile(FILE* file, uint64_t size);

// A path as typed by the user, with '/' between its parts: Windows takes '\' as well.
std::string fromUser(const std::string& path);
// Whether a path (with '/' separators) starts at a root rather than at the current folder:
// "/x", and on Windows "C:/x" and "//server/share" too. "C:x" counts as well: it is not
// below the current folder either.
bool isAbsolute(const std::string& path);

// A new, empty file beside `target` (in its folder), open for writing and reading, that no
// other process opened; its name in `name`.
FILE* createBeside(const std::string& target, std::string& name);
// Writes what `file` holds to the disk (fsync, FlushFileBuffers).
bool syncFile(FILE* file);
// Renames `from` over `to` in one step: `to` is the old file or the new one, never neither.
bool replaceFile(const std::string& from, const std::string& to);

// Whether standard error is a terminal that takes the progress line's "\r\033[K" (a console
// of Windows 10 or later), and its width in columns (80 when the system does not say).
bool stderrIsTerminal();
size_t terminalColumns();

// `handler` is called on Ctrl-C (and a termination request) instead of ending the process.
// It runs in a signal handler or in a thread of its own: it may only set an atomic flag.
void onInterrupt(void (*handler)());

std::tm utcTime(int64_t unixTime);
// Physical memory free now, in bytes; 0 when unknown.
uint64_t availableMemory();
// Hands memory that this process has freed back to the system, where the C library keeps it
// per thread (glibc); nothing elsewhere.
void releaseFreedMemory();

}  // namespace sys
