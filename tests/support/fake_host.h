// A host that records every call as one line, for tests that assert the exact sequence of
// what the core asked of the outside world. Folders are real (a temporary folder), so the
// core's file output can be checked too.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "extract/host.h"

class FakeHost : public Host {
public:
    std::vector<std::string> calls;  // e.g. "entry docs/a.txt", "bar 33", "ended done"
    std::string current = ".";       // what currentFolder reports
    std::string windows = "C:\\WINDOWS";
    bool threadsStart = true;        // false: startThread fails
    bool runInline = true;           // startThread runs the body before it returns
    uint32_t memory = 0;             // availablePhysicalMemory
    bool recordBar = true;
    std::function<void(uint32_t)> onBar;  // runs after a bar position is recorded
    std::string deniedFolder;        // deniedWriting is true for this path ("probe" calls)
    Elevation elevation = Elevation::unavailable;  // what runWithRights answers ("rights")

    bool decodeText(const char* bytes, uint32_t length, uint32_t codePage, char* out,
                    uint32_t size) override;
    FILE* openFile(const char* path, const char* mode) override { return fopen(path, mode); }
    bool removeFile(const char* path) override { return remove(path) == 0; }
    bool currentFolder(char* buffer, uint32_t size) override;
    bool windowsFolder(char* buffer, uint32_t size) override;
    PathState pathState(const char* path) override;
    bool createFolder(const char* path) override;
    bool enterFolder(const char* path) override;
    bool deniedWriting(const char* path) override;
    Elevation runWithRights(const SfxExtractor&) override;
    void setFileTime(const char* path, int32_t unixTime) override;
    int32_t localZoneWestAt(uint32_t wallSeconds) override;  // the tool's, by TZ
    void symbolicLink(const char* path, const char* target) override
    {
        calls.push_back(std::string("link ") + path + " -> " + target);
    }
    void warnDamaged(const char* cleanedPath) override;
    void warnWriteFailed(const char* cleanedPath) override;
    void warnFolderNotCreated() override;
    void memberSkipped(const char* cleanedPath, SkipReason why) override;
    void brokenHeader(HeaderFault fault, int64_t offset, const char* archivePath) override;
    void entryName(const char* name) override;
    void barPosition(uint32_t position) override;
    void notifyShell(ShellEvent event, const char* path) override;
    void walkEnded(bool aborted) override;
    bool startThread(void (*body)(void*), void* argument) override;
    uint32_t availablePhysicalMemory() override { return memory; }

    // Calls that start with `prefix`, in order.
    std::vector<std::string> only(const std::string& prefix) const;
};
