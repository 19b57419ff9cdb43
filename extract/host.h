// The one door from the portable core to the operating system and the user.
//
// The core (extract/, decode/) never calls a window, shell or directory API itself: it asks
// the host. The Windows stub answers with Win32 calls and Japanese message boxes, the console
// host of the command-line tool with POSIX calls and English lines on stderr, and the unit
// tests with a fake that records every call. Operations carry meaning, never texts, so that
// each host phrases its messages in its own language.
#pragma once

#include <stdint.h>

enum class PathState : uint8_t { missing, folder, notFolder };

enum class ShellEvent : uint8_t {
    folderCreated,    // SHCNE_MKDIR: a folder made by makeFolderChain
    memberExtracted,  // SHCNE_CREATE: a member the walk has passed
};

class Host {
public:
    // Folders. Paths are Shift-JIS byte strings; buffers hold `size` bytes with the NUL.
    virtual bool currentFolder(char* buffer, uint32_t size) = 0;  // false when it does not fit
    virtual bool windowsFolder(char* buffer, uint32_t size) = 0;
    virtual PathState pathState(const char* path) = 0;
    virtual bool createFolder(const char* path) = 0;
    virtual bool enterFolder(const char* path) = 0;
    // Gives the file both access and modification time `unixTime`; failures are ignored.
    virtual void setFileTime(const char* path, int32_t unixTime) = 0;

    // Messages to the user. They return once the user has seen them.
    virtual void warnDamaged(const char* cleanedPath) = 0;  // the CRC did not match
    virtual void warnWriteFailed(const char* cleanedPath) = 0;  // the disk refused bytes
    virtual void warnFolderNotCreated() = 0;
    virtual void errorUnknownHeader() = 0;

    // Progress. Both wait until the user interface has shown the value.
    virtual void entryName(const char* name) = 0;
    virtual void barPosition(uint32_t position) = 0;

    virtual void notifyShell(ShellEvent event, const char* path) = 0;

    // The walk has ended; the host now owns the outcome (aborted: RunFlag was 0 at the end).
    virtual void walkEnded(bool aborted) = 0;

    // Starts `body(argument)` on a thread of its own; false when no thread could be started.
    virtual bool startThread(void (*body)(void*), void* argument) = 0;

    // Free physical memory in bytes (0 = unknown); bounds the read-ahead of packed data.
    virtual uint32_t availablePhysicalMemory() = 0;

protected:
    ~Host() = default;  // never deleted through this interface
};
