#include "ui/stub_host.h"

#include <commctrl.h>
#include <process.h>
#include <shlobj.h>
#include <stdio.h>
#include <sys/utime.h>

namespace {

// ファイル %s が壊れています。 (the file %s is damaged)
const char DAMAGED_TEXT[] =
    "\x83t\x83@\x83\x43\x83\x8b %s \x82\xaa\x89\xf3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81\x42";
// ファイル %s を書き込めません。 (the file %s cannot be written)
const char WRITE_FAILED_TEXT[] =
    "\x83t\x83@\x83\x43\x83\x8b %s \x82\xf0\x8f\x91\x82\xab\x8d\x9e\x82\xdf\x82\xdc\x82\xb9\x82\xf1\x81\x42";
// フォルダを作成できません (the folder cannot be created)
const char FOLDER_TEXT[] =
    "\x83t\x83H\x83\x8b\x83_\x82\xf0\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";
// 解凍を開始できません。 (the extraction cannot be started)
const char NO_THREAD_TEXT[] =
    "\x89\xf0\x93\x80\x82\xf0\x8aJ\x8en\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x81\x42";

// A path of up to 259 bytes plus the text around it fits without cutting.
const int MESSAGE_BUFFER = 320;

// A folder API answers with the length it wrote, or with the size it would need when the
// buffer is too small; both zero and a length that fills the buffer mean "no path".
bool fits(DWORD length, uint32_t size) { return length != 0 && length < size; }

void warnWithPath(HWND owner, const char* format, const char* path)
{
    char text[MESSAGE_BUFFER];
    _snprintf(text, sizeof text, format, path);
    text[sizeof text - 1] = 0;  // _snprintf leaves no terminator when it cuts
    MessageBoxA(owner, text, nullptr, MB_ICONWARNING);
}

}  // namespace

bool StubHost::currentFolder(char* buffer, uint32_t size)
{
    return fits(GetCurrentDirectoryA(size, buffer), size);
}

bool StubHost::windowsFolder(char* buffer, uint32_t size)
{
    return fits(GetWindowsDirectoryA(buffer, size), size);
}

PathState StubHost::pathState(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathState::missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathState::folder : PathState::notFolder;
}

bool StubHost::createFolder(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

bool StubHost::enterFolder(const char* path) { return SetCurrentDirectoryA(path) != 0; }

void StubHost::setFileTime(const char* path, int32_t unixTime)
{
    // The 64-bit variant whatever the build: msvcrt's plain _utime has a 32-bit time on i686.
    __utimbuf64 times;
    times.actime = times.modtime = unixTime;
    _utime64(path, &times);
}

void StubHost::warnDamaged(const char* cleanedPath)
{
    warnWithPath(progressWindow, DAMAGED_TEXT, cleanedPath);
}

void StubHost::warnWriteFailed(const char* cleanedPath)
{
    warnWithPath(progressWindow, WRITE_FAILED_TEXT, cleanedPath);
}

void StubHost::warnFolderNotCreated()
{
    MessageBoxA(progressWindow, FOLDER_TEXT, nullptr, MB_ICONWARNING);
}

void StubHost::memberSkipped(const char*, bool) {}

// The members behind the header are lost: a header of no known layout gets its own box, any
// other broken header the damaged-file warning, naming the self-extractor itself.
void StubHost::brokenHeader(HeaderFault fault, long, const char* archivePath)
{
    if (fault == HeaderFault::unknownLayout)
        MessageBoxA(progressWindow, "Unknown header", "Quor SFX", MB_ICONERROR);
    else
        warnDamaged(archivePath);
}

void StubHost::entryName(const char* name)
{
    SendMessageA(progressWindow, MSG_ENTRY, 0, (LPARAM)name);
}

void StubHost::barPosition(uint32_t position)
{
    SendMessageA(barWindow, PBM_SETPOS, position, 0);
}

void StubHost::notifyShell(ShellEvent event, const char* path)
{
    LONG kind = event == ShellEvent::folderCreated ? SHCNE_MKDIR : SHCNE_CREATE;
    SHChangeNotify(kind, SHCNF_PATHA, path, nullptr);
}

void StubHost::walkEnded(bool aborted)
{
    PostMessageA(progressWindow, aborted ? MSG_ABORTED : MSG_DONE, 0, 0);
}

bool StubHost::startThread(void (*body)(void*), void* argument)
{
    // Set before the thread exists, so that there is no moment in which a running walk could
    // be taken for an idle window (and a close would then destroy what the thread reads).
    walking = true;
    if (_beginthread(body, 0, argument) != (uintptr_t)-1) return true;
    walking = false;
    // Without this the window would stand shown and idle until the user closed it.
    MessageBoxA(progressWindow, NO_THREAD_TEXT, nullptr, MB_ICONWARNING);
    return false;
}

uint32_t StubHost::availablePhysicalMemory()
{
    MEMORYSTATUS status;
    status.dwLength = sizeof status;
    GlobalMemoryStatus(&status);
    return status.dwAvailPhys > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)status.dwAvailPhys;
}
