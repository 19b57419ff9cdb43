#include "console_host.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "sjis.h"
#include "system.h"

std::string fitColumns(const std::string& text, size_t columns)
{
    // Columns of each character, at the offsets where characters start.
    std::vector<size_t> starts;
    size_t width = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = text[i];
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte of UTF-8
        starts.push_back(i);
        width += c < 0x80 ? 1 : 2;
    }
    if (width <= columns) return text;
    auto columnsOf = [&](size_t k) { return (unsigned char)text[starts[k]] < 0x80 ? 1u : 2u; };
    size_t room = columns > 3 ? columns - 3 : 0;
    size_t head = 0, headWidth = 0, tail = starts.size(), tailWidth = 0;
    while (head < tail && headWidth + columnsOf(head) <= room / 2) headWidth += columnsOf(head++);
    while (tail > head && tailWidth + columnsOf(tail - 1) <= room - headWidth)
        tailWidth += columnsOf(--tail);
    size_t headEnd = head < starts.size() ? starts[head] : text.size();
    size_t tailStart = tail < starts.size() ? starts[tail] : text.size();
    return text.substr(0, headEnd) + "..." + text.substr(tailStart);
}

ConsoleHost::~ConsoleHost()
{
    if (worker.joinable()) worker.join();
}

// Names go to the system as UTF-8 (Linux: as bytes; Windows: as UTF-16 made from them) in
// every locale, so that the same archive gives the same names whatever LANG says.
bool ConsoleHost::decodeText(const char* bytes, uint32_t length, uint32_t codePage, char* out,
                             uint32_t size)
{
    std::string utf8;
    if (!decodeCodePage(bytes, length, codePage, utf8) || utf8.size() + 1 > size) return false;
    std::memcpy(out, utf8.c_str(), utf8.size() + 1);
    return true;
}

FILE* ConsoleHost::openFile(const char* path, const char* mode) { return sys::openFile(path, mode); }
bool ConsoleHost::removeFile(const char* path) { return sys::removeFile(path); }

bool ConsoleHost::currentFolder(char* buffer, uint32_t size)
{
    std::string folder;
    if (!sys::currentFolder(folder) || folder.size() + 1 > size) return false;
    std::memcpy(buffer, folder.c_str(), folder.size() + 1);
    return true;
}

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
    // Followed through links, as stat does: a link to a folder is a folder to write into.
    if (sys::isFolder(path)) return PathState::folder;
    sys::FileStatus status;
    return sys::fileStatus(path, status) ? PathState::notFolder : PathState::missing;
}

bool ConsoleHost::createFolder(const char* path) { return sys::makeFolder(path); }
bool ConsoleHost::enterFolder(const char* path) { return sys::enterFolder(path); }

void ConsoleHost::setFileTime(const char* path, int32_t unixTime) { sys::setModified(path, unixTime); }

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
                 : why == SkipReason::tooLarge    ? "a compressed member of 4 GiB or more: only "
                                                    "stored ones are read at that size"
                                                  : "a name Windows does not store as given");
}

void ConsoleHost::brokenHeader(HeaderFault fault, int64_t offset, const char*)
{
    problem = true;
    clearLine();
    if (fault == HeaderFault::dataCutOff) {
        // Only the offset is known here; the tool names the member (see cutOffAt).
        cutOff = offset;
        return;
    }
    const char* why = fault == HeaderFault::cutOff          ? "the file ends inside it"
                      : fault == HeaderFault::unknownLayout ? "unknown header layout"
                      : fault == HeaderFault::badExtension  ? "an extended header leaves the header"
                      : fault == HeaderFault::tooLong       ? "longer than 4096 bytes"
                                                            : "out of memory";
    std::fprintf(stderr, "quorsfx: broken member header at file offset %lld (%s); nothing behind it "
                         "is read\n", (long long)offset, why);
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
    // A line that wrapped would not be cleared by the next "\r": the name is shortened to
    // what is left of the terminal's width after "100% " and the last column.
    size_t columns = sys::terminalColumns();
    size_t room = columns > 6 ? columns - 6 : 0;
    std::fprintf(stderr, "\r\033[K%3u%% %s", position, fitColumns(name, room).c_str());
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
    uint64_t bytes = sys::availableMemory();
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
