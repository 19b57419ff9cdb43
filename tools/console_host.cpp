#include "console_host.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstring>

#include "sjis.h"

ConsoleHost::~ConsoleHost()
{
    if (worker.joinable()) worker.join();
}

// Linux file names are bytes; the tool writes them as UTF-8 in every locale, so that the
// same archive gives the same names whatever LANG says.
bool ConsoleHost::decodeText(const char* bytes, uint32_t length, uint32_t codePage, char* out,
                             uint32_t size)
{
    std::string utf8;
    if (!decodeCodePage(bytes, length, codePage, utf8) || utf8.size() + 1 > size) return false;
    std::memcpy(out, utf8.c_str(), utf8.size() + 1);
    return true;
}

FILE* ConsoleHost::openFile(const char* path, const char* mode) { return std::fopen(path, mode); }
bool ConsoleHost::removeFile(const char* path) { return std::remove(path) == 0; }

bool ConsoleHost::currentFolder(char* buffer, uint32_t size) { return getcwd(buffer, size) != nullptr; }

bool ConsoleHost::windowsFolder(char* buffer, uint32_t size)
{
    // There is no Windows folder here; a destination "below Program Files" has nowhere to
    // go but the root, which the tool never uses for extraction anyway.
    if (size < 2) return false;
    std::strcpy(buffer, "/");
    return true;
}

PathState ConsoleHost::pathState(const char* path)
{
    struct stat st;
    if (stat(path, &st) != 0) return PathState::missing;
    return S_ISDIR(st.st_mode) ? PathState::folder : PathState::notFolder;
}

bool ConsoleHost::createFolder(const char* path) { return mkdir(path, 0777) == 0; }
bool ConsoleHost::enterFolder(const char* path) { return chdir(path) == 0; }

void ConsoleHost::setFileTime(const char* path, int32_t unixTime)
{
    struct utimbuf times = {unixTime, unixTime};
    utime(path, &times);
}

void ConsoleHost::warnDamaged(const char* cleanedPath)
{
    problem = true;
    clearLine();
    std::fprintf(stderr, "quorsfx: %s is damaged (CRC mismatch, or a name not valid in its "
                         "code page)\n", printable(cleanedPath).c_str());
}

void ConsoleHost::warnWriteFailed(const char* cleanedPath)
{
    problem = true;
    clearLine();
    std::fprintf(stderr, "quorsfx: cannot write %s (disk full or write error)\n",
                 printable(cleanedPath).c_str());
}

void ConsoleHost::warnFolderNotCreated()
{
    problem = true;
    clearLine();
    std::fprintf(stderr, "quorsfx: cannot create the destination folder\n");
}

void ConsoleHost::memberSkipped(const char* cleanedPath, SkipReason why)
{
    problem = true;
    clearLine();
    std::fprintf(stderr, "quorsfx: %s skipped (%s)\n", printable(cleanedPath).c_str(),
                 why == SkipReason::unknownMethod ? "unknown method"
                 : why == SkipReason::notCreated  ? "cannot create the file"
                                                  : "a name Windows does not store as given");
}

void ConsoleHost::brokenHeader(HeaderFault fault, long offset, const char*)
{
    const char* why = fault == HeaderFault::cutOff          ? "the file ends inside it"
                      : fault == HeaderFault::unknownLayout ? "unknown header layout"
                      : fault == HeaderFault::badExtension  ? "an extended header leaves the header"
                      : fault == HeaderFault::tooLong       ? "longer than 4096 bytes"
                                                            : "out of memory";
    problem = true;
    clearLine();
    std::fprintf(stderr, "quorsfx: broken member header at file offset %ld (%s); nothing behind it "
                         "is read\n", offset, why);
}

void ConsoleHost::entryName(const char* entry)
{
    name = printable(entry);
    drawLine();
}

void ConsoleHost::barPosition(uint32_t value)
{
    position = value > 100 ? 100 : value;
    drawLine();
}

void ConsoleHost::drawLine()
{
    if (!showProgress) return;
    std::fprintf(stderr, "\r\033[K%3u%% %s", position, name.c_str());
    std::fflush(stderr);
    lineShown = true;
}

void ConsoleHost::clearLine()
{
    if (!lineShown) return;
    std::fprintf(stderr, "\r\033[K");
    lineShown = false;
}

void ConsoleHost::walkEnded(bool aborted)
{
    clearLine();
    std::lock_guard<std::mutex> lock(mutex);
    walkDone = true;
    walkAborted = aborted;
    ended.notify_all();
}

bool ConsoleHost::startThread(void (*body)(void*), void* argument)
{
    worker = std::thread(body, argument);
    return true;
}

uint32_t ConsoleHost::availablePhysicalMemory()
{
    long pages = sysconf(_SC_AVPHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    unsigned long long bytes = (unsigned long long)pages * (unsigned long long)pageSize;
    return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)bytes;
}

bool ConsoleHost::waitForEnd()
{
    std::unique_lock<std::mutex> lock(mutex);
    ended.wait(lock, [this] { return walkDone; });
    lock.unlock();
    if (worker.joinable()) worker.join();
    return walkAborted;
}
