// The tool's system on Windows: every name goes to and from UTF-16 here, and only the wide
// calls are made (the C runtime's _w* ones or Win32's *W ones), so no ANSI code page ever
// decides a name. Paths keep '/' between their parts; Windows takes it as it takes '\'.
#include "system.h"

#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/utime.h>

#include <cerrno>
#include <cstdlib>

namespace sys {

namespace {

std::wstring wide(const std::string& utf8)
{
    if (utf8.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring text(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &text[0], length);
    return text;
}

// A file's name for the wide calls. Past MAX_PATH (248 for a folder) Windows takes only the
// absolute "\\?\" form, which it passes on unparsed: that form is made from the full path,
// with '/' turned into '\' and "." and ".." resolved. Shorter names go as they are.
std::wstring fileName(const std::string& path)
{
    std::wstring name = wide(path);
    DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size < MAX_PATH - 12) return name;
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(name.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size) return name;
    full.resize(length);
    if (full.compare(0, 4, L"\\\\?\\") == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC" + full.substr(1);
    return L"\\\\?\\" + full;
}

std::string narrow(const wchar_t* text, size_t length)
{
    if (length == 0) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text, (int)length, nullptr, 0, nullptr, nullptr);
    std::string utf8(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, (int)length, &utf8[0], size, nullptr, nullptr);
    return utf8;
}

// The errno a Win32 failure stands for, so that strerror(errno) tells why as on Linux.
void setErrnoFromWin32()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: errno = EACCES; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
    case ERROR_DIRECTORY: errno = ENOTDIR; break;
    default: errno = EIO; break;
    }
}

// 100-nanosecond intervals since 1601 to Unix time.
int64_t unixTimeOf(const FILETIME& time)
{
    int64_t ticks = (int64_t)(((uint64_t)time.dwHighDateTime << 32) | time.dwLowDateTime);
    return ticks / 10000000 - 11644473600LL;
}

void fill(const BY_HANDLE_FILE_INFORMATION& info, bool link, FileStatus& status)
{
    bool folder = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    bool readOnly = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
    // A reparse point (a symbolic link or a junction) is not followed, as lstat does not.
    status.kind = link ? Kind::link : folder ? Kind::folder : Kind::regular;
    status.mode = folder ? (S_IFDIR | 0755) : (S_IFREG | (readOnly ? 0444 : 0644));
    status.size = folder ? 0 : ((uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow);
    status.modified = unixTimeOf(info.ftLastWriteTime);
    status.volume = info.dwVolumeSerialNumber;
    status.index = (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
}

bool statusOfHandle(HANDLE handle, bool link, FileStatus& status)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        setErrnoFromWin32();
        return false;
    }
    fill(info, link, status);
    // Devices and pipes are no files to pack.
    if (GetFileType(handle) != FILE_TYPE_DISK) status.kind = Kind::other;
    return true;
}

// Standard error is a console that takes escape sequences (set by startTool).
bool terminal = false;

// Restored at exit, so that the console the tool ran in keeps its code page.
UINT consoleCodePage = 0;
void restoreConsole() { SetConsoleOutputCP(consoleCodePage); }

}  // namespace

std::vector<std::string> startTool(int, char**)
{
    // The C runtime's argv holds ANSI bytes; the UTF-16 command line holds every name.
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wideArgs = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wideArgs && i < count; ++i) args.push_back(narrow(wideArgs[i], wcslen(wideArgs[i])));
    LocalFree(wideArgs);

    consoleCodePage = GetConsoleOutputCP();
    if (consoleCodePage && consoleCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit(restoreConsole);
    // "\r\033[K" redraws the progress line, as on a Linux terminal. A console that cannot
    // take escape sequences (before Windows 10) would print them: it gets no progress line.
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    terminal = GetConsoleMode(err, &mode) &&
               SetConsoleMode(err, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    // "\n" stays "\n": the same bytes as the Linux tool writes, which consoles show alike.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return args;
}

bool fileStatus(const std::string& path, FileStatus& status, bool followLinks)
{
    std::wstring name = fileName(path);
    // Opened for no access at all: any file's attributes can be read so, a folder's too
    // (backup semantics), and a link's own (open reparse point).
    HANDLE handle = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        setErrnoFromWin32();
        return false;
    }
    DWORD attributes = GetFileAttributesW(name.c_str());
    bool link = !followLinks && attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    bool ok = statusOfHandle(handle, link, status);
    CloseHandle(handle);
    return ok;
}

bool openFileStatus(FILE* file, FileStatus& status)
{
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(file));
    return handle != INVALID_HANDLE_VALUE && statusOfHandle(handle, false, status);
}

bool isFolder(const std::string& path)
{
    DWORD attributes = GetFileAttributesW(fileName(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

FILE* openFile(const std::string& path, const char* mode)
{
    return _wfopen(fileName(path).c_str(), wide(mode).c_str());
}

// Windows makes no symbolic link for the tool (makeLink), and the extraction refuses every
// member whose path leads through one; a plain open is all that is left.
FILE* createFile(const std::string& path, const char* mode) { return openFile(path, mode); }

bool makeLink(const std::string&, const std::string&)
{
    errno = ENOTSUP;
    return false;
}

bool removeFile(const std::string& path) { return _wremove(fileName(path).c_str()) == 0; }
bool makeFolder(const std::string& path) { return _wmkdir(fileName(path).c_str()) == 0; }
bool enterFolder(const std::string& path) { return _wchdir(wide(path).c_str()) == 0; }

bool currentFolder(std::string& path)
{
    DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring buffer(size, L'\0');
    DWORD length = size ? GetCurrentDirectoryW(size, &buffer[0]) : 0;
    if (length == 0 || length >= size) {
        setErrnoFromWin32();
        return false;
    }
    path = fromUser(narrow(buffer.data(), length));
    return true;
}

void setModified(const std::string& path, int64_t unixTime)
{
    struct __utimbuf64 times = {unixTime, unixTime};
    _wutime64(fileName(path).c_str(), &times);
}

bool listFolder(const std::string& path, std::vector<std::string>& names)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(fileName(path + "/*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // An empty folder still holds "." and ".."; only a drive's root can hold nothing.
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
        setErrnoFromWin32();
        return false;
    }
    do {
        std::string name = narrow(found.cFileName, wcslen(found.cFileName));
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    if (!complete) setErrnoFromWin32();
    FindClose(search);
    return complete;
}

bool windowsFileNames() { return true; }

bool truncateFile(FILE* file, uint64_t size)
{
    // The end of the file is set at the file pointer; the pointer goes back where it was.
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(file));
    LARGE_INTEGER at, was, here = {};
    at.QuadPart = (LONGLONG)size;
    if (std::fflush(file) != 0) return false;
    if (!SetFilePointerEx(handle, here, &was, FILE_CURRENT) || !SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(handle) || !SetFilePointerEx(handle, was, nullptr, FILE_BEGIN)) {
        setErrnoFromWin32();
        return false;
    }
    return true;
}

std::string fromUser(const std::string& path)
{
    std::string text = path;
    for (char& c : text)
        if (c == '\\') c = '/';
    return text;
}

bool isAbsolute(const std::string& path)
{
    bool drive = path.size() >= 2 && path[1] == ':' &&
                 ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive || (!path.empty() && path[0] == '/');
}

FILE* createBeside(const std::string& target, std::string& name)
{
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "." : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // CREATE_NEW fails where the name exists: a name another process took is never opened.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08lx%02u", GetCurrentProcessId(), attempt);
        std::string candidate = folder + "/." + base + suffix;
        HANDLE handle = CreateFileW(fileName(candidate).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            setErrnoFromWin32();
            return nullptr;
        }
        int fd = _open_osfhandle((intptr_t)handle, _O_RDWR | _O_BINARY);
        FILE* file = fd < 0 ? nullptr : _fdopen(fd, "w+b");
        if (!file) {
            if (fd >= 0) _close(fd);
            else CloseHandle(handle);
            DeleteFileW(fileName(candidate).c_str());
            errno = EIO;
            return nullptr;
        }
        name = candidate;
        return file;
    }
    errno = EEXIST;
    return nullptr;
}

bool syncFile(FILE* file)
{
    if (std::fflush(file) != 0) return false;
    if (FlushFileBuffers((HANDLE)_get_osfhandle(_fileno(file)))) return true;
    setErrnoFromWin32();
    return false;
}

bool replaceFile(const std::string& from, const std::string& to)
{
    if (MoveFileExW(fileName(from).c_str(), fileName(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    setErrnoFromWin32();
    return false;
}

bool stderrIsTerminal() { return terminal; }

size_t terminalColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? (size_t)columns : 80;
}

namespace {
void (*interruptHandler)() = nullptr;

// Runs in a thread Windows starts for it. TRUE: handled, the process goes on and stops the
// work itself, removing what it had begun to write.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    interruptHandler();
    // A closing console ends the process when this returns: give the work time to stop.
    if (event == CTRL_CLOSE_EVENT) Sleep(2000);
    return TRUE;
}
}  // namespace

void onInterrupt(void (*handler)())
{
    interruptHandler = handler;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

std::tm utcTime(int64_t unixTime)
{
    __time64_t t = unixTime;
    std::tm utc{};
    _gmtime64_s(&utc, &t);
    return utc;
}

uint64_t availableMemory()
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullAvailPhys : 0;
}

void releaseFreedMemory() {}

}  // namespace sys
