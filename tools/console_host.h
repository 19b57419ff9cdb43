// The host of the command-line tool: folders and times through system.h, English lines on
// stderr, the extraction thread as a std::thread, and a one-line progress display on a
// terminal.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "extract/host.h"

// `text` (UTF-8) shortened in its middle with "..." to at most `columns` terminal columns,
// counting every character beyond ASCII as two, which is never too few.
std::string fitColumns(const std::string& text, size_t columns);

// Host::localZoneWestAt by the C library's zone rules (TZ and the zone database).
int32_t zoneWestByCLibrary(uint32_t wallSeconds);

class ConsoleHost : public Host {
public:
    explicit ConsoleHost(bool showProgress) : showProgress(showProgress) {}
    ~ConsoleHost();

    bool decodeText(const char* bytes, uint32_t length, uint32_t codePage, char* out,
                    uint32_t size) override;
    FILE* openFile(const char* path, const char* mode) override;
    bool removeFile(const char* path) override;
    bool currentFolder(char* buffer, uint32_t size) override;
    bool windowsFolder(char* buffer, uint32_t size) override;
    PathState pathState(const char* path) override;
    bool createFolder(const char* path) override;
    bool enterFolder(const char* path) override;
    // The tool has no higher rights to ask for: a refused folder is reported when the write
    // fails, as any other.
    bool deniedWriting(const char*) override { return false; }
    Elevation runWithRights(const SfxExtractor&) override { return Elevation::unavailable; }
    void setFileTime(const char* path, int32_t unixTime) override;
    int32_t localZoneWestAt(uint32_t wallSeconds) override { return zoneWestByCLibrary(wallSeconds); }
    void symbolicLink(const char* path, const char* target) override;
    void warnDamaged(const char* cleanedPath) override;
    void warnWriteFailed(const char* cleanedPath) override;
    void warnFolderNotCreated() override;
    void memberSkipped(const char* cleanedPath, SkipReason why) override;
    void brokenHeader(HeaderFault fault, int64_t offset, const char* archivePath) override;
    void entryName(const char* name) override;
    void barPosition(uint32_t position) override;
    void notifyShell(ShellEvent, const char*) override {}
    void walkEnded(bool aborted) override;
    bool startThread(void (*body)(void*), void* argument) override;
    uint32_t availablePhysicalMemory() override;

    // Blocks until walkEnded; true when the walk was aborted.
    bool waitForEnd();
    // A warning or error was shown (a damaged member, a failed write, an unknown header).
    bool reportedProblem() const { return problem; }
    // Where the file ends when the walk met a member whose packed data run past it (a broken
    // download), -1 otherwise. The host does not see that member's header, so it leaves the
    // message to the tool, which names the member.
    int64_t cutOffAt() const { return cutOff; }

private:
    void clearLine();
    void drawLine();

    // Unix symbolic links (POSIX; console_host.cpp keeps this code in one section). Links
    // are made after every other member, in archive order; until then a member path through
    // one of them, or through a link already on disk, is refused.
    struct Link {
        std::string path, target;  // relative to the destination; the target as stored
        bool live = true;          // false once a later member or link of its name replaced it
    };
    bool throughLink(const char* path, bool itself);
    const char* linkRefusal(const Link& link);
    void dropLink(const std::string& path);
    void makeLinks();
    std::vector<Link> links;  // in archive order
    // The live links by path: every member's path is looked up here part by part, so a
    // hostile archive of many links must not make each look-up a walk over all of them.
    std::unordered_map<std::string, size_t> linkAt;
    bool memberRefused = false;  // the current member was refused for a link on its path

    bool showProgress;
    std::string name;  // UTF-8, for the progress line and the messages about links
    uint32_t position = 0;
    bool lineShown = false;
    bool problem = false;
    int64_t cutOff = -1;

    std::thread worker;
    std::mutex mutex;
    std::condition_variable ended;
    bool walkDone = false;
    bool walkAborted = false;
};
