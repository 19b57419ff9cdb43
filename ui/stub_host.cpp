#include "ui/stub_host.h"

#include <commctrl.h>
#include <process.h>
#include <shellapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>

#include "extract/runtime.h"
#include "extract/sfx_extractor.h"
#include "ui/stub_ui.h"

namespace {

// ファイル %s が壊れています。 (the file %s is damaged), in two halves around the path
const char FILE_TEXT[] = "\x83t\x83@\x83\x43\x83\x8b ";
const char DAMAGED_TEXT[] =
    " \x82\xaa\x89\xf3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81\x42";
// ファイル %s を書き込めません。 (the file %s cannot be written)
const char WRITE_FAILED_TEXT[] =
    " \x82\xf0\x8f\x91\x82\xab\x8d\x9e\x82\xdf\x82\xdc\x82\xb9\x82\xf1\x81\x42";
// フォルダを作成できません (the folder cannot be created)
const char FOLDER_TEXT[] =
    "\x83t\x83H\x83\x8b\x83_\x82\xf0\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";
// 管理者の権限が必要です。 (administrator rights are needed), beside the folder in the dialog
const char RIGHTS_TEXT[] = "\x8a\xc7\x97\x9d\x8e\xd2\x82\xcc\x8c\xa0\x8c\xc0\x82\xaa\x95K\x97v"
                           "\x82\xc5\x82\xb7\x81\x42";
// 解凍を開始できません。 (the extraction cannot be started)
const char NO_THREAD_TEXT[] =
    "\x89\xf0\x93\x80\x82\xf0\x8aJ\x8en\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x81\x42";


// A member's path, whatever its length, plus the text around it fits without cutting.
const int MESSAGE_FRONT = 32;
const int MESSAGE_BUFFER = WIDE_MEMBER_PATH + 2 * MESSAGE_FRONT;

// The longest path Windows takes, in UTF-16 units with the terminator: in the "\\?\" form.
const int LONG_PATH = 32768;

// A folder API answers with the length it wrote, or with the size it would need when the
// buffer is too small; both zero and a length that fills the buffer mean "no path".
bool fits(DWORD length, uint32_t size) { return length != 0 && length < size; }

// A folder from a wide kernel32 call, handed to the core as UTF-8.
bool folderText(DWORD length, const WCHAR* wide, char* buffer, uint32_t size)
{
    return fits(length, WIDE_PATH) && toUtf8(wide, buffer, (int)size);
}

// The boxes of the stub: Shift-JIS texts read in code page 932, whatever the system's own.
// A quiet run shows none; its outcome is the exit code.
void showBox(HWND owner, const WCHAR* text, const WCHAR* caption, UINT icon)
{
    if (!quietRun) MessageBoxW(owner, text, caption, icon);
}

// The stub's own texts without a path are a few words each.
const int SHORT_MESSAGE = 64;

// The buffers below hold a member's path, several pages each: on the stack every function
// that holds one would probe them page by page (and the stub would pay for every probe). Each
// serves one user at a time: the user-interface thread before the walk starts and after it
// has ended, the walk's thread in between.
WCHAR messageText[MESSAGE_BUFFER];
WCHAR decodedText[WIDE_MEMBER_PATH];

// "ファイル <path><back>": the file's name between the two halves of a message.
void warnWithPath(HWND owner, const char* back, const char* path)
{
    WCHAR* text = inRegister(messageText);
    fromShiftJis(FILE_TEXT, text, MESSAGE_FRONT);
    int used = wideLength(text);
    if (!toWide(path, text + used, WIDE_MEMBER_PATH)) text[used] = 0;
    used = wideLength(text);
    fromShiftJis(back, text + used, MESSAGE_BUFFER - used);
    showBox(owner, text, nullptr, MB_ICONWARNING);
}

// The wide form of a path from the core, valid until the next call. An invalid or overlong
// one becomes the empty text, which names no file: every call on it fails instead of
// reaching a different file.
//
// A member's path may be far longer than the 259 units that Windows takes in the plain form
// (MAX_PATH), so for files and folders it is made absolute and handed over in the "\\?\"
// form, which Windows takes as it stands, up to 32,767 units. GetFullPathNameW does first
// what the plain form would have done: join the current folder, turn '/' into '\', close up
// runs of separators. Windows would also drop a final dot or space and read CON as the
// console, but such names never come here: the core refuses them (storableOnWindows).
// The shell and SetCurrentDirectoryW get the plain form (`asGiven`).
WCHAR givenPath[WIDE_MEMBER_PATH];
WCHAR fullPath[LONG_PATH];

const WCHAR* widePath(const char* path, bool asGiven = false)
{
    WCHAR* given = inRegister(givenPath);
    if (!toWide(path, given, WIDE_MEMBER_PATH)) given[0] = 0;
    if (asGiven || !given[0]) return given;
    // The full path goes behind room for its prefix: "\\?\" in front of "C:\...", or
    // "\\?\UNC" over the first backslash of "\\server\share\...".
    const int ROOM = 6;
    WCHAR* full = inRegister(fullPath) + ROOM;
    DWORD length = GetFullPathNameW(given, LONG_PATH - ROOM, full, nullptr);
    if (!fits(length, LONG_PATH - ROOM)) return L"";
    static const WCHAR PREFIX[] = L"\\\\?\\UNC";
    int count = 4;
    if (full[0] == '\\') {
        if (full[2] == '?' || full[2] == '.') return full;  // a device path already: as it is
        count = 7;
    }
    // "\\?\" ends where the full path begins; "\\?\UNC" ends on its first backslash.
    WCHAR* text = full - count + (count == 7);
    for (int i = 0; i < count; ++i) text[i] = PREFIX[i];
    return text;
}

}  // namespace

void warn(HWND owner, const char* text)
{
    WCHAR wide[SHORT_MESSAGE];
    fromShiftJis(text, wide, SHORT_MESSAGE);
    showBox(owner, wide, nullptr, MB_ICONWARNING);
}

bool toWide(const char* utf8, WCHAR* out, int units)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, out, units) != 0;
}

int wideLength(const WCHAR* text)
{
    int n = 0;
    while (text[n]) ++n;
    return n;
}

bool toUtf8(const WCHAR* wide, char* out, int size)
{
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, nullptr, nullptr) != 0;
}

void setText(HWND window, const char* utf8)
{
    WCHAR wide[WIDE_PATH];
    if (!utf8 || !toWide(utf8, wide, WIDE_PATH)) wide[0] = 0;
    SetWindowTextW(window, wide);
}

void fromShiftJis(const char* text, WCHAR* out, int units)
{
    if (!MultiByteToWideChar(CODE_PAGE_SHIFT_JIS, 0, text, -1, out, units)) out[0] = 0;
}

bool StubHost::decodeText(const char* bytes, uint32_t length, uint32_t codePage, char* out,
                          uint32_t size)
{
    if (size == 0) return false;
    if (length == 0) {
        out[0] = 0;
        return true;
    }
    // No code page makes more UTF-16 units than it has bytes, and no text of the core is
    // longer than a member's path.
    WCHAR* wide = inRegister(decodedText);
    int units = length < (uint32_t)WIDE_MEMBER_PATH
                    ? MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, (int)length, wide,
                                          WIDE_MEMBER_PATH)
                    : 0;
    int written = units ? WideCharToMultiByte(CP_UTF8, 0, wide, units, out, (int)size - 1,
                                              nullptr, nullptr)
                        : 0;
    if (written == 0) return false;
    out[written] = 0;
    return true;
}

FILE* StubHost::openFile(const char* path, const char* mode)
{
    // The core opens files for reading or for writing, always in binary.
    const WCHAR* wide = widePath(path);
    return wide[0] ? _wfopen(wide, mode[0] == 'w' ? L"wb" : L"rb") : nullptr;
}

bool StubHost::removeFile(const char* path)
{
    const WCHAR* wide = widePath(path);
    return wide[0] && DeleteFileW(wide);
}

bool StubHost::currentFolder(char* buffer, uint32_t size)
{
    WCHAR wide[WIDE_PATH];
    return folderText(GetCurrentDirectoryW(WIDE_PATH, wide), wide, buffer, size);
}

bool StubHost::windowsFolder(char* buffer, uint32_t size)
{
    WCHAR wide[WIDE_PATH];
    return folderText(GetWindowsDirectoryW(wide, WIDE_PATH), wide, buffer, size);
}

PathState StubHost::pathState(const char* path)
{
    const WCHAR* wide = widePath(path);
    DWORD attributes = wide[0] ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathState::missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathState::folder : PathState::notFolder;
}

bool StubHost::createFolder(const char* path)
{
    const WCHAR* wide = widePath(path);
    return wide[0] && CreateDirectoryW(wide, nullptr);
}

bool StubHost::enterFolder(const char* path)
{
    const WCHAR* wide = widePath(path, true);
    return wide[0] && SetCurrentDirectoryW(wide);
}

// A file of a name of the system's choosing, made and deleted at once: the only test that
// asks exactly what the writes will ask, whatever the folder's access rules (and the only one
// Wine answers as Windows would). Wine's GetTempFileNameW answers a number even when it could
// not make the file; so a probe counts as made only once it has been deleted, and otherwise
// the creation's own error decides.
bool StubHost::deniedWriting(const char* path)
{
    WCHAR probe[MAX_PATH];
    bool named = GetTempFileNameW(widePath(path), L"", 0, probe) != 0;
    DWORD error = GetLastError();
    if (named && DeleteFileW(probe)) return false;
    return error == ERROR_ACCESS_DENIED;
}

// Starts this file again with the verb "runas", which shows Windows' consent prompt, and
// hands it the choices made here: /S for a quiet run; /E=N, N the sum of 1 for the Start menu,
// 2 for the desktop and 4 for Send To when that shortcut is chosen, which also marks the run
// as the elevated one; and last /D=PATH, which takes the rest of the line. This run then
// shows nothing more, waits, and ends with that run's exit code.
Elevation StubHost::runWithRights(const SfxExtractor& sfx)
{
    if (elevatedRun) return Elevation::unavailable;
    static const WCHAR SWITCHES[] = L"/S /E=0 /D=";
    const int DIGIT_AT = 6, PATH_AT = 11, AFTER_QUIET = 3;
    // The program's own path and the current folder are shorter than MAX_PATH: Windows runs
    // and enters nothing longer.
    WCHAR parameters[PATH_AT + WIDE_PATH], own[MAX_PATH], folder[MAX_PATH];
    memcpy(parameters, SWITCHES, PATH_AT * sizeof(WCHAR));
    parameters[DIGIT_AT] += (WCHAR)(((sfx.startMenuFlags & SfxConfig::chosen) >> 1) |
                                    (sfx.desktopFlags & SfxConfig::chosen) |
                                    ((sfx.sendToFlags & SfxConfig::chosen) << 1));
    if (!toWide(sfx.destination, parameters + PATH_AT, WIDE_PATH)) return Elevation::unavailable;
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    GetCurrentDirectoryW(MAX_PATH, folder);

    // The window in front (the dialog, or the progress window) owns the prompt, which Windows
    // would otherwise show only as a button on the task bar. The current folder goes along: a
    // destination typed without a drive means the same there.
    HWND owner = GetActiveWindow();
    HANDLE process;
    if (!shellExecute(owner, L"runas", own, parameters + (quietRun ? 0 : AFTER_QUIET),
                      SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI, &process, folder)) {
        if (GetLastError() != ERROR_CANCELLED) return Elevation::unavailable;
        warn(owner, RIGHTS_TEXT);
        return elevation = Elevation::declined;
    }
    ShowWindow(owner, SW_HIDE);
    // The handle is left to the end of the process, which follows at once.
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &handedExit);
    return elevation = Elevation::handedOver;
}

void StubHost::setFileTime(const char* path, int32_t unixTime)
{
    // The file's UTC time set as it stands (FILETIME: 100 ns since 1601). msvcrt's _wutime64
    // goes through local time on Windows, with the offset in force today rather than on the
    // file's date: an hour off across a daylight-saving change.
    const WCHAR* wide = widePath(path);
    HANDLE file = wide[0] ? CreateFileW(wide, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr)
                          : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) return;
    uint64_t ticks = ((int64_t)unixTime + 11644473600ll) * 10000000;
    FILETIME time = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    SetFileTime(file, nullptr, &time, &time);
    CloseHandle(file);
}

int32_t StubHost::localZoneWestAt(uint32_t wallSeconds)
{
    // By the system's own rules for the zone and that date's year: msvcrt's mktime would
    // apply this year's rules to every year. The two times lie less than a day apart, so
    // their days of the week tell whether the date changed between them.
    uint64_t ticks = wallSeconds * 10000000ull + 116444736000000000ull;  // 100 ns since 1601
    FILETIME time = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    SYSTEMTIME local, universal;
    if (!FileTimeToSystemTime(&time, &local) ||
        !TzSpecificLocalTimeToSystemTime(nullptr, &local, &universal))
        return 0;
    int days = (universal.wDayOfWeek - local.wDayOfWeek + 7) % 7;  // 0, 1 or 6 (one back)
    if (days == 6) days = -1;
    return ((days * 24 + universal.wHour - local.wHour) * 60 + universal.wMinute - local.wMinute) *
           60;
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
    warn(progressWindow, FOLDER_TEXT);
}

// Members of methods this extractor does not know are passed over without a word, as
// archives of other systems expect; a member that cannot be written under its name is named.
void StubHost::memberSkipped(const char* cleanedPath, SkipReason why)
{
    if (why != SkipReason::unknownMethod) warnWriteFailed(cleanedPath);
}

// The members behind the header are lost: a header of no known layout gets its own box, any
// other broken header the damaged-file warning, naming the self-extractor itself.
void StubHost::brokenHeader(HeaderFault fault, int64_t, const char* archivePath)
{
    if (fault == HeaderFault::unknownLayout)
        showBox(progressWindow, L"Unknown header", L"Quor SFX", MB_ICONERROR);
    else
        warnDamaged(archivePath);
}

void StubHost::entryName(const char* name)
{
    SendMessageW(progressWindow, MSG_ENTRY, 0, (LPARAM)name);
}

void StubHost::barPosition(uint32_t position)
{
    SendMessageW(barWindow, PBM_SETPOS, position, 0);
}

void StubHost::notifyShell(ShellEvent event, const char* path)
{
    LONG kind = event == ShellEvent::folderCreated ? SHCNE_MKDIR : SHCNE_CREATE;
    const WCHAR* wide = widePath(path, true);
    if (wide[0]) SHChangeNotify(kind, SHCNF_PATHW, wide, nullptr);
}

void StubHost::walkEnded(bool aborted)
{
    PostMessageW(progressWindow, aborted ? MSG_ABORTED : MSG_DONE, 0, 0);
}

bool StubHost::startThread(void (*body)(void*), void* argument)
{
    // Set before the thread exists, so that there is no moment in which a running walk could
    // be taken for an idle window (and a close would then destroy what the thread reads).
    walking = true;
    if (_beginthread(body, 0, argument) != (uintptr_t)-1) return true;
    walking = false;
    // Without this the window would stand shown and idle until the user closed it.
    warn(progressWindow, NO_THREAD_TEXT);
    return false;
}

uint32_t StubHost::availablePhysicalMemory()
{
    MEMORYSTATUS status;
    status.dwLength = sizeof status;
    GlobalMemoryStatus(&status);
    return status.dwAvailPhys > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)status.dwAvailPhys;
}
