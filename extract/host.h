// The one door from the portable core to the operating system and the user.
//
// The core (extract/, decode/) never calls a window, shell or directory API itself: it asks
// the host. The Windows stub answers with Win32 calls and Japanese message boxes, the console
// host of the command-line tool with POSIX calls and English lines on stderr, and the unit
// tests with a fake that records every call. Operations carry meaning, never texts, so that
// each host phrases its messages in its own language.
#pragma once

#include <stdint.h>
#include <stdio.h>

// Code pages that member names and configuration texts are stored in. Names and texts are
// converted to UTF-8 once they are read; the core works on UTF-8 from then on.
const uint32_t CODE_PAGE_SHIFT_JIS = 932;
const uint32_t CODE_PAGE_UTF8 = 65001;

struct SfxExtractor;

enum class PathState : uint8_t { missing, folder, notFolder };

// Why a member header could not be read, or the member it announces cannot be. The walk stops
// there as at the end of the archive, but the members behind it are lost, so the run has failed.
enum class HeaderFault : uint8_t {
    none,           // a clean end: the end mark, or the end of the file where a header starts
    cutOff,         // the file ends inside the header
    unknownLayout,  // its length and name length fit no header layout ("Unknown header")
    badExtension,   // an extended header leaves the header or is too short for its type
    tooLong,        // longer than the header buffer
    noMemory,       // a name text could not be allocated
    dataCutOff,     // the member's packed data run past the end of the file (a broken download)
    badCrc,         // the header's own CRC (extended header 0x00) does not match its bytes
};

// Why a member was passed over.
enum class SkipReason : uint8_t {
    unknownMethod,  // a method this extractor does not know
    notCreated,     // its file could not be made (the system refused the path), or its name
                    // names no file
    windowsName,    // Windows would store it under another name, or open a device (CON)
};

// What became of a run whose destination the system refuses it for want of rights.
enum class Elevation : uint8_t {
    unavailable,  // no run with more rights can be had: this is one already, or the host has
                  // none to ask for
    declined,     // the user refused the system's consent prompt (the host has said what the
                  // folder needs); nothing was written
    handedOver,   // a run with more rights took the choices made here and has ended; its
                  // outcome is this run's (the host holds its exit code)
};

enum class ShellEvent : uint8_t {
    folderCreated,    // SHCNE_MKDIR: a folder made by makeFolderChain
    memberExtracted,  // SHCNE_CREATE: a member the walk has passed
};

// Every path and text that crosses this interface as a `const char*` (or is returned in a
// buffer) is UTF-8, whatever the code page of the system: the host converts to the form its
// file system and user interface want.
class Host {
public:
    // Converts `length` bytes in `codePage` to NUL-terminated UTF-8 in `out` (`size` bytes
    // with the NUL). False when the bytes are not valid in that code page, the code page
    // is not known, or the result does not fit.
    virtual bool decodeText(const char* bytes, uint32_t length, uint32_t codePage, char* out,
                            uint32_t size) = 0;
    // Files by UTF-8 path: fopen's modes ("rb", "wb"), and deletion.
    virtual FILE* openFile(const char* path, const char* mode) = 0;
    virtual bool removeFile(const char* path) = 0;

    // Folders. Buffers hold `size` bytes with the NUL.
    virtual bool currentFolder(char* buffer, uint32_t size) = 0;  // false when it does not fit
    virtual bool windowsFolder(char* buffer, uint32_t size) = 0;
    virtual PathState pathState(const char* path) = 0;
    virtual bool createFolder(const char* path) = 0;
    virtual bool enterFolder(const char* path) = 0;
    // True when the system refuses this run to create anything in the existing folder
    // `path` for want of rights (Windows: ERROR_ACCESS_DENIED; POSIX: EACCES, EPERM, EROFS).
    // Any other answer is false: the writes that follow will tell.
    virtual bool deniedWriting(const char* path) = 0;
    // Hands the whole run over to a copy of this program with more rights (the stub: itself
    // again with administrator rights, through Windows' consent prompt), with the destination
    // and shortcut choices of `sfx`, and waits for it. Called before anything is written.
    virtual Elevation runWithRights(const SfxExtractor& sfx) = 0;
    // A member that stands for a Unix symbolic link: `path` (cleaned) is to lead to `target`,
    // as stored ('/' between its parts, never cleaned). A host that makes links makes them
    // once every other member is out, judges where each target leads, and reports what it
    // refuses; the stub passes such members over, as before: Windows has no place for them.
    virtual void symbolicLink(const char* path, const char* target) = 0;
    // Gives the file both access and modification time `unixTime`; failures are ignored.
    virtual void setFileTime(const char* path, int32_t unixTime) = 0;
    // Seconds west of UTC of the local time `wallSeconds` (a local date and time counted in
    // seconds since 1970-01-01 00:00 as if it were UTC), by the zone's rules for that date:
    // daylight saving time counts where that date had it, whatever the date of today. 0 when
    // the system cannot tell.
    virtual int32_t localZoneWestAt(uint32_t wallSeconds) = 0;

    // Messages to the user. They return once the user has seen them.
    virtual void warnDamaged(const char* cleanedPath) = 0;  // the CRC did not match
    virtual void warnWriteFailed(const char* cleanedPath) = 0;  // the disk refused bytes
    virtual void warnFolderNotCreated() = 0;
    // A member was passed over; the walk goes on, but the run no longer counts as a success.
    // The stub passes over members of unknown methods without a word, as archives of other
    // systems expect, and names every other.
    virtual void memberSkipped(const char* cleanedPath, SkipReason why) = 0;
    // The header at archive byte `offset` of `archivePath` cannot be read; nothing behind it
    // is extracted. For dataCutOff `offset` is where the file ends, inside the packed data of
    // the member that header announces: nothing of that member is written either.
    virtual void brokenHeader(HeaderFault fault, int64_t offset, const char* archivePath) = 0;

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
