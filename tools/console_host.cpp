#include "console_host.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

FILE* ConsoleHost::openFile(const char* path, const char* mode)
{
    if (mode[0] != 'w') return sys::openFile(path, mode);
    if (throughLink(path, false)) return nullptr;
    // A member of the name of a link met earlier in the archive replaces it, as it would
    // replace an earlier file; a link on disk under that name is replaced, never followed.
    dropLink(path);
    sys::FileStatus status;
    if (sys::fileStatus(path, status) && status.kind == sys::Kind::link) sys::removeFile(path);
    return sys::createFile(path, mode);
}
// The walk removes what stands in a member's way before it opens the member: never through a
// symbolic link, or the file removed would be one outside the destination.
bool ConsoleHost::removeFile(const char* path)
{
    return !throughLink(path, false) && sys::removeFile(path);
}

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

bool ConsoleHost::createFolder(const char* path)
{
    return !throughLink(path, true) && sys::makeFolder(path);
}
bool ConsoleHost::enterFolder(const char* path) { return sys::enterFolder(path); }

int32_t zoneWestByCLibrary(uint32_t wallSeconds)
{
    // The wall clock read as UTC gives the local date's fields; mktime with tm_isdst -1 then
    // decides by the zone's rules for that date whether summer time was in force.
    std::tm parts = sys::utcTime(wallSeconds);
    parts.tm_isdst = -1;
    std::time_t universal = std::mktime(&parts);
    return universal == (std::time_t)-1 ? 0 : (int32_t)(universal - (std::time_t)wallSeconds);
}

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
    if (why == SkipReason::notCreated && memberRefused) return;  // said when it was refused
    clearLine();
    std::fprintf(stderr, "quorsfx: %s skipped (%s)\n", printable(cleanedPath).c_str(),
                 why == SkipReason::unknownMethod ? "unknown method"
                 : why == SkipReason::notCreated  ? "cannot create the file"
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
                      : fault == HeaderFault::badCrc        ? "its CRC does not match"
                                                            : "out of memory";
    std::fprintf(stderr, "quorsfx: broken member header at file offset %lld (%s); nothing behind it "
                         "is read\n", (long long)offset, why);
}

void ConsoleHost::entryName(const char* entry)
{
    memberRefused = false;
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
    if (!aborted) makeLinks();
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

// ---- Unix symbolic links
//
// LHA archivers on Unix store a symbolic link as "link|target"; the core hands it over with
// the link's cleaned path. It is made once every other member is out, so that no member is
// ever written through it, and only when its target, relative, stays inside the destination
// as it is resolved from the link's folder.

void ConsoleHost::symbolicLink(const char* path, const char* target)
{
    // A later link of the same name replaces an earlier one.
    dropLink(path);
    linkAt[path] = links.size();
    links.push_back({path, target});
}

void ConsoleHost::dropLink(const std::string& path)
{
    auto found = linkAt.find(path);
    if (found == linkAt.end()) return;
    links[found->second].live = false;
    linkAt.erase(found);
}

// True (and the member refused by name) when a folder on `path` (and with `itself`, the
// path itself) is a symbolic link on disk or a link of the archive still to be made. Member
// paths are relative to the destination; an absolute path is the destination's own, which
// the user chose, links and all.
bool ConsoleHost::throughLink(const char* path, bool itself)
{
    if (path[0] == '/') return false;
    std::string whole(path);
    for (size_t cut = whole.find('/');; cut = whole.find('/', cut + 1)) {
        if (cut == std::string::npos && !itself) return false;
        std::string part = whole.substr(0, cut);
        bool link = linkAt.count(part) != 0;
        sys::FileStatus status;
        if (link || (sys::fileStatus(part, status) && status.kind == sys::Kind::link)) {
            if (!memberRefused) {
                problem = true;
                clearLine();
                std::fprintf(stderr, "quorsfx: %s skipped (%s is a symbolic link: nothing is "
                                     "written through one)\n", name.c_str(), printable(part).c_str());
            }
            memberRefused = true;
            return true;
        }
        if (cut == std::string::npos) return false;
    }
}

// Why the link may not be made, or null. Its target is read part by part from the link's
// folder: each leading ".." climbs one folder, and must not climb above the destination; a
// ".." behind a named part is refused, since that part may be a link that leads elsewhere
// (as "up/../.." would, with up -> ../..). "." parts and empty ones stay where they are.
const char* ConsoleHost::linkRefusal(const Link& link)
{
    if (link.path.empty()) return "its name is empty once cleaned";
    if (link.target.empty()) return "its target is empty";
    if (link.target[0] == '/') return "its target is absolute";
    long depth = 0;  // folders between the destination and the link (cleaned: no "." or "..")
    for (size_t i = 0; i < link.path.size(); ++i)
        depth += link.path[i] == '/' && i > 0 && link.path[i - 1] != '/';
    bool named = false;
    size_t start = 0;
    while (start <= link.target.size()) {
        size_t end = link.target.find('/', start);
        if (end == std::string::npos) end = link.target.size();
        std::string part = link.target.substr(start, end - start);
        if (part == "..") {
            if (named || --depth < 0) return "its target leads outside the destination";
        } else if (!part.empty() && part != ".") {
            named = true;
        }
        start = end + 1;
    }
    return nullptr;
}

void ConsoleHost::makeLinks()
{
    for (const Link& link : links) {
        if (!link.live) continue;
        // The folders that hold it are made as for any member, even for a link refused (as
        // other extractors make them); none of them may be a link.
        const char* why = nullptr;
        memberRefused = true;  // the message below names the link
        for (size_t cut = link.path.find('/'); !why && cut != std::string::npos;
             cut = link.path.find('/', cut + 1)) {
            std::string folder = link.path.substr(0, cut);
            if (throughLink(folder.c_str(), true)) why = "a symbolic link on its path";
            else if (!sys::isFolder(folder) && !sys::makeFolder(folder)) why = std::strerror(errno);
        }
        if (!why) why = linkRefusal(link);
        sys::FileStatus status;
        if (!why && sys::fileStatus(link.path, status)) {
            if (status.kind == sys::Kind::folder) why = "a folder of that name is there";
            else sys::removeFile(link.path);
        }
        if (!why && !sys::makeLink(link.target, link.path)) why = std::strerror(errno);
        if (why) {
            problem = true;
            std::fprintf(stderr, "quorsfx: symbolic link %s -> %s not made (%s)\n",
                         printable(link.path).c_str(), printable(link.target).c_str(), why);
        }
    }
    links.clear();
    linkAt.clear();
}
