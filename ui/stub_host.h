// The Win32 side of the host interface: folders and files through the wide (UTF-16) calls of
// kernel32 and msvcrt, messages to the user as message boxes owned by the progress window
// (none in a quiet run), progress through window messages, and the extraction thread through
// msvcrt's _beginthread. Every text the core hands over is UTF-8.
//
// The extraction thread calls every operation except startThread; it reaches the window only
// by SendMessageW (which waits until the user-interface thread has handled the message), by
// message boxes owned by the progress window, and by the one PostMessageW of walkEnded.
#pragma once

#include <windows.h>
#include <stdio.h>

#include "extract/host.h"

// Messages of the progress window. WM_USER + 2 is deliberately not used: it is PBM_SETPOS,
// the bar's own set-position message.
const UINT MSG_START = WM_USER;        // posted once by start-up: dialog, show, start the walk
const UINT MSG_ENTRY = WM_USER + 1;    // sent: lParam is the next member's name
const UINT MSG_DONE = WM_USER + 3;     // posted last when the walk ended without an abort
const UINT MSG_ABORTED = WM_USER + 4;  // posted last when the walk ended after an abort

class StubHost final : public Host {
public:
    bool decodeText(const char* bytes, uint32_t length, uint32_t codePage, char* out,
                    uint32_t size) override;
    FILE* openFile(const char* path, const char* mode) override;
    bool removeFile(const char* path) override;
    bool currentFolder(char* buffer, uint32_t size) override;
    bool windowsFolder(char* buffer, uint32_t size) override;
    PathState pathState(const char* path) override;
    bool createFolder(const char* path) override;
    bool enterFolder(const char* path) override;
    bool deniedWriting(const char* path) override;
    Elevation runWithRights(const SfxExtractor& sfx) override;
    void setFileTime(const char* path, int32_t unixTime) override;
    int32_t localZoneWestAt(uint32_t wallSeconds) override;
    // Windows has no place for a Unix link: passed over in silence, as a folder entry.
    void symbolicLink(const char*, const char*) override {}
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
    uint32_t availablePhysicalMemory() override;

    HWND progressWindow;
    HWND labelWindow;
    HWND barWindow;
    HWND abortButton;
    // What the last runWithRights came to, and the exit code of the run it handed over to.
    Elevation elevation;
    DWORD handedExit;
    // True from the start of the extraction thread until its final message has been handled;
    // written and read on the user-interface thread only.
    bool walking;
};
