// Start-up, the progress window and the message loop: the frame of the program.
//
// The process entry builds the one SfxExtractor and the Win32 host on its stack, reads the
// configuration block from its own file and the switches from its command line, creates the
// hidden progress window next to the mouse cursor (inside the work area of that monitor, sized
// for its DPI) and posts it MSG_START. Everything else happens in progressWindowProc: the
// dialog, the start of the extraction thread, the label and the end of the run, which sets
// the exit code.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <stddef.h>
#include <stdio.h>

#include "extract/extraction.h"
#include "extract/progress.h"
#include "extract/sfx_extractor.h"
#include "ui/resource.h"
#include "ui/stub_host.h"
#include "ui/stub_ui.h"

HINSTANCE appInstance;
bool quietRun;
bool elevatedRun;

namespace {

const WCHAR CLASS_NAME[] = L"QUORSFXCLASS";
// 中止 (Abort)
const char ABORT_TEXT[] = "\x92\x86\x8e~";
// /D= の引用符が閉じていません。 (the quote of /D= is not closed)
const char OPEN_QUOTE_TEXT[] = "/D= \x82\xcc\x88\xf8\x97p\x95\x84\x82\xaa\x95\xc2\x82\xb6"
                               "\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81\x42";

// The exit code tells a script what happened; only a run in which every member was extracted
// ends with 0.
const UINT EXIT_DONE = 0;
const UINT EXIT_LOST = 1;         // a member lost, damaged or passed over, or no destination
const UINT EXIT_CANCELLED = 2;    // Cancel in the dialog, Abort, or the window closed
const UINT EXIT_NOT_STARTED = 3;  // the own file or its block unreadable, no window

// Until the run reaches an end of its own, it counts as cancelled: the only other ways out of
// the message loop are the user's.
UINT exitCode = EXIT_CANCELLED;

// The progress window's client area (what its children need, margins included), and where
// the window stands relative to the mouse cursor, in pixels at 96 DPI; every size is scaled
// to the DPI of the monitor the window opens on. The frame around the client area is the
// system's: Windows 10 and 11 draw a taller caption and wider borders than older systems or
// Wine, and larger text settings make the caption taller still.
const int BASE_DPI = 96;
const int CLIENT_WIDTH = 214, CLIENT_HEIGHT = 76;
const DWORD WINDOW_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU;
const int CURSOR_OFFSET_X = -110, CURSOR_OFFSET_Y = 32;  // centred below the mouse cursor
const UINT WM_DPICHANGED_MESSAGE = 0x02E0;  // WM_DPICHANGED, missing from older headers

SfxExtractor* currentExtractor;
HFONT childFont;  // the label's and the button's font at the window's DPI

StubHost& hostOf(SfxExtractor& sfx) { return *static_cast<StubHost*>(sfx.host); }

// `value` at 96 DPI scaled to `dpi` (or from one DPI to another). Not inlined: its dozen
// uses would cost the stub more than the calls.
__attribute__((noinline)) int scaled(int value, UINT dpi, UINT from = BASE_DPI)
{
    return (value * (int)dpi + (int)from / 2) / (int)from;
}

// The DPI of the screen as GDI sees it: the system's DPI, for which the stock fonts are made.
UINT screenDpi()
{
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? (UINT)dpi : BASE_DPI;
}

// The DPI of a monitor. GetDpiForMonitor (shcore.dll) is missing before Windows 8.1 and in
// some Wine versions, so it is looked up at run time; without it the screen's DPI counts.
typedef HRESULT(WINAPI* DpiForMonitor)(HMONITOR, int, UINT*, UINT*);
UINT monitorDpi(HMONITOR monitor)
{
    HMODULE shcore = LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    DpiForMonitor lookUp = shcore ? (DpiForMonitor)(void*)GetProcAddress(shcore, "GetDpiForMonitor")
                                  : nullptr;
    UINT x = 0, y = 0;
    if (lookUp && lookUp(monitor, 0 /* MDT_EFFECTIVE_DPI */, &x, &y) == S_OK && x) return x;
    return screenDpi();
}

// Ends the walk: RunFlag goes to 0 once and never back; the thread stops at its next poll
// and posts MSG_ABORTED (or MSG_DONE when it had already passed its last poll).
void requestAbort() { RunFlag.store(0, std::memory_order_relaxed); }

// start's answer while the walk runs; every other answer is the exit code of a run that ends.
const UINT WALKING = (UINT)-1;

UINT start(HWND window, SfxExtractor& sfx)
{
    if (sfx.configPresent && !quietRun && !elevatedRun) {
        INT_PTR result = DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_DESTINATION), window,
                                         destinationDialogProc, (LPARAM)&sfx);
        // EXIT_LOST: the folder could not be made (or a run with administrator rights took
        // over); EXIT_CANCELLED: Cancel; -1: the dialog could not be shown.
        if (result != 0) return result < 0 ? EXIT_NOT_STARTED : (UINT)result;
    }
    setText(window, sfx.title);
    if (!quietRun) ShowWindow(window, SW_SHOW);
    return startExtraction(sfx) ? WALKING : EXIT_LOST;
}

UINT finish(HWND window, SfxExtractor& sfx, bool aborted)
{
    StubHost& host = hostOf(sfx);
    host.walking = false;
    if (aborted) {
        // The member being written when the flag fell is incomplete; the thread has closed it.
        if (sfx.currentOutputPath.get()) host.removeFile(sfx.currentOutputPath.get());
        return EXIT_CANCELLED;
    }
    if (sfx.failed) return EXIT_LOST;
    UINT code = EXIT_DONE;
    if (sfx.configPresent && !createShortcuts(sfx, window)) code = EXIT_LOST;
    // A quiet run is unattended: nobody is there to look at the opened file.
    if (!quietRun) runConfiguredFile(sfx, window);
    return code;
}

// The progress window's three children (pixels at 96 DPI, client coordinates). The label and
// the button draw in DEFAULT_GUI_FONT at the window's DPI; the bar keeps its own.
struct ChildLayout {
    const WCHAR* className;
    short x, y, width, height;
    short id;
    DWORD style;
};
const DWORD CHILD = WS_CHILD | WS_VISIBLE;
const ChildLayout CHILDREN[] = {
    {L"STATIC", 7, 5, 200, 15, 0, CHILD | SS_LEFT},
    {PROGRESS_CLASSW, 7, 23, 200, 20, 0, CHILD | PBS_SMOOTH},
    {L"BUTTON", 63, 50, 88, 19, ID_ABORT, CHILD | BS_PUSHBUTTON},
};

// Places the children and gives them the font for `dpi`. Called once at creation and again
// when the window moves to a monitor of another DPI.
void layOutChildren(StubHost& host, UINT dpi)
{
    LOGFONTW font;
    HFONT made = nullptr;
    if (GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font)) {
        // The stock font is made for the screen's DPI; the window's monitor may have another.
        font.lfHeight = scaled(font.lfHeight, dpi, screenDpi());
        made = CreateFontIndirectW(&font);
    }
    HWND handles[] = {host.labelWindow, host.barWindow, host.abortButton};
    for (int i = 0; i < 3; ++i) {
        const ChildLayout& c = CHILDREN[i];
        SetWindowPos(handles[i], nullptr, scaled(c.x, dpi), scaled(c.y, dpi), scaled(c.width, dpi),
                     scaled(c.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
        if (i != 1) SendMessageW(handles[i], WM_SETFONT, (WPARAM)made, TRUE);
    }
    if (childFont) DeleteObject(childFont);
    childFont = made;
}

LRESULT CALLBACK progressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    SfxExtractor* sfx = currentExtractor;  // set by WM_CREATE, the first message that counts
    UINT code;
    switch (message) {
    case WM_CREATE:
        currentExtractor = (SfxExtractor*)((CREATESTRUCTW*)lParam)->lpCreateParams;
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        // While the thread runs, closing is an abort: the window must outlive the thread's
        // last message, and the half-written member must be deleted like after Abort.
        if (hostOf(*sfx).walking)
            requestAbort();
        else
            DestroyWindow(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == ID_ABORT) requestAbort();
        return 0;
    case WM_DPICHANGED_MESSAGE: {
        // Moved to a monitor of another DPI: take the size the system proposes for it.
        const RECT* proposed = (const RECT*)lParam;
        SetWindowPos(window, nullptr, proposed->left, proposed->top,
                     proposed->right - proposed->left, proposed->bottom - proposed->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        layOutChildren(hostOf(*sfx), LOWORD(wParam));
        return 0;
    }
    case MSG_START:
        code = start(window, *sfx);
        if (code == WALKING) return 0;
        break;
    case MSG_ENTRY:
        showEntryName(hostOf(*sfx).labelWindow, (const char*)lParam);
        return 0;
    case MSG_DONE:
    case MSG_ABORTED:
        code = finish(window, *sfx, message == MSG_ABORTED);
        break;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
    // The run ends: WM_DESTROY ends the message loop, which answers exitCode.
    exitCode = code;
    DestroyWindow(window);
    return 0;
}

bool isBlank(WCHAR c) { return c == ' ' || c == '\t'; }

// The switches: /S for a quiet run, /E=N for the run started with administrator rights (see
// StubHost::runWithRights), /D=PATH for the destination. /D= must come last: it takes the rest
// of the line, spaces included, unless it is quoted: "/D=PATH" (as PowerShell, Python and
// deployment tools pass a path with spaces) and /D="PATH" end at the closing quote, and one
// that is never closed is refused (exit 3), not taken as a path with a quote in it. Unknown
// switches are passed over. The stub has no C runtime start-up to split the line, so it reads
// it here.
bool readSwitches(SfxExtractor& sfx)
{
    const WCHAR* p = GetCommandLineW();
    // The program's own name, quoted or up to the first blank.
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p) {}
        if (*p) ++p;
    } else {
        while (*p && !isBlank(*p)) ++p;
    }
    const WCHAR* s;
    for (;;) {
        while (isBlank(*p)) ++p;
        if (!*p) return true;
        s = p + (*p == '"');  // a switch quoted whole
        // s[1] is read only behind a character, s[2] only behind a second one: a line may end
        // in a lone quote or slash.
        WCHAR key = *s && s[1] ? s[1] | 0x20 : 0;
        if (s[0] == '/' && key && s[2] == '=') {
            if (key == 'd') break;
            if (key == 'e') {
                // Bit i of N: shortcut place i (Start menu, desktop, Send To) is chosen.
                static_assert(offsetof(SfxExtractor, sendToFlags) == offsetof(SfxExtractor, startMenuFlags) + 2,
                              "the three flag bytes stand in a row");
                elevatedRun = true;
                uint8_t* flags = &sfx.startMenuFlags;
                for (int i = 0; i < 3; ++i)
                    flags[i] = (uint8_t)((flags[i] & ~SfxConfig::chosen) | (((s[3] >> i) & 1) << 1));
            }
        }
        if (s == p && s[0] == '/' && key == 's' && (!s[2] || isBlank(s[2]))) quietRun = true;
        while (*p && !isBlank(*p)) ++p;
    }
    // The path ends at `close`: the end of the line, or the closing quote.
    const WCHAR* from = s + 3;
    WCHAR close = 0;
    if (s != p || *from == '"') {
        close = '"';
        from += *from == '"';
    }
    const WCHAR* end = from;
    for (; *end != close; ++end)
        if (!*end) {
            warn(nullptr, OPEN_QUOTE_TEXT);
            return false;
        }
    while (end > from && isBlank(end[-1])) --end;
    int length = (int)(end - from);
    if (length == 0) return true;
    char path[PATH_BUFFER];
    int written = length < WIDE_PATH ? WideCharToMultiByte(CP_UTF8, 0, from, length, path,
                                                           PATH_BUFFER - 1, nullptr, nullptr)
                                     : 0;
    if (written == 0) return false;  // a destination that cannot be held is no destination
    path[written] = 0;
    sfx.setDestination(path);
    return sfx.destination != nullptr;
}

// Opens the stub's own file at the configuration block, reads it and the switches, and
// registers the class.
bool initialise(SfxExtractor& sfx, HINSTANCE instance)
{
    appInstance = instance;
    InitCommonControls();
    WCHAR ownPath[WIDE_PATH];
    DWORD length = GetModuleFileNameW(nullptr, ownPath, WIDE_PATH);
    if (length == 0 || length >= (DWORD)WIDE_PATH || !toUtf8(ownPath, sfx.ownPath, PATH_BUFFER)) return false;
    sfx.ownFile = _wfopen(ownPath, L"rb");
    if (!sfx.ownFile || fseek(sfx.ownFile, SfxConfig::offset, SEEK_SET) != 0) return false;
    if (!readConfiguration(sfx) || !readSwitches(sfx)) return false;

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = progressWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    windowClass.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = CLASS_NAME;
    return RegisterClassExW(&windowClass) != 0;
}

// Builds the still hidden progress window and queues MSG_START.
bool createWindows(SfxExtractor& sfx, StubHost& host)
{
    // Below the mouse cursor, sized for that monitor and kept inside its work area (not under
    // the task bar, not off the screen).
    POINT cursor = {};
    GetCursorPos(&cursor);
    HMONITOR monitor = MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST);
    UINT dpi = monitorDpi(monitor);
    int x = cursor.x + scaled(CURSOR_OFFSET_X, dpi), y = cursor.y + scaled(CURSOR_OFFSET_Y, dpi);
    int width = scaled(CLIENT_WIDTH, dpi), height = scaled(CLIENT_HEIGHT, dpi);
    // Made first on that monitor, so that it gets the frame the system draws there; the frame
    // is then measured (the outer size less the client area) and added to the client area's
    // size. That is the system's own frame at any DPI, caption and border settings, on every
    // Windows version (AdjustWindowRectEx knows only the system DPI's frame, its ForDpi
    // variant only Windows 10's). Made as tall as it is wide, which leaves room below any
    // caption: a client area cut to nothing would not show the frame's whole height.
    HWND window = CreateWindowExW(0, CLASS_NAME, L"Quor SFX", WINDOW_STYLE, x, y, width, width,
                                  nullptr, nullptr, appInstance, &sfx);
    if (!window) return false;
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    width += outer.right - outer.left - client.right;
    height += outer.bottom - outer.top - client.bottom;
    MONITORINFO area;
    area.cbSize = sizeof area;
    if (GetMonitorInfoW(monitor, &area)) {
        x = clampInto(x, width, area.rcWork.left, area.rcWork.right);
        y = clampInto(y, height, area.rcWork.top, area.rcWork.bottom);
    }
    SetWindowPos(window, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    host.progressWindow = window;

    WCHAR abortText[8];
    fromShiftJis(ABORT_TEXT, abortText, 8);
    const WCHAR* texts[] = {L"", nullptr, abortText};
    HWND* handles[] = {&host.labelWindow, &host.barWindow, &host.abortButton};
    for (int i = 0; i < 3; ++i) {
        const ChildLayout& c = CHILDREN[i];
        *handles[i] = CreateWindowExW(0, c.className, texts[i], c.style, 0, 0, 0, 0, window,
                                      (HMENU)(INT_PTR)c.id, appInstance, nullptr);
        if (!*handles[i]) return false;
    }
    layOutChildren(host, dpi);
    ShowWindow(window, SW_HIDE);
    return PostMessageW(window, MSG_START, 0, 0) != 0;
}

UINT runMessageLoop()
{
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return exitCode;
}

UINT runStub(HINSTANCE instance)
{
    // The shell (the folder browser, shortcuts, ShellExecuteExW) wants a single-threaded
    // apartment on the thread that calls it: this one, which owns every window. Without COM
    // the shell still opens files, so a failure here stops nothing. OLE1DDE is left off, as
    // ShellExecuteEx asks.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    StubHost host;
    host.walking = false;  // the window handles are set by createWindows before any use
    host.elevation = Elevation::unavailable;
    SfxExtractor sfx(&host);
    sfx.windowsNames = 1;
    // A start-up failure ends the process without a window or a message of its own.
    if (!initialise(sfx, instance) || !createWindows(sfx, host)) return EXIT_NOT_STARTED;
    UINT code = runMessageLoop();
    // A run that handed over to one with administrator rights ends as that one did.
    return host.elevation == Elevation::handedOver ? host.handedExit : code;
}

}  // namespace

int clampInto(int start, int size, LONG low, LONG high)
{
    if (start + size > high) start = high - size;
    return start < low ? low : start;
}

// The process entry (the linker's -e): no C runtime start-up runs before it. The switches are
// read from GetCommandLineW; the show state is not used.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // the linker's name for the start of our own image

// Windows looks for a DLL that is loaded by bare name (by the stub or by a system component
// on its behalf) in the program's own folder first. An installer is started from the
// Downloads folder, where a web page may have left a version.dll or uxtheme.dll, which would
// then run with the user's rights. So before anything else the search is limited to System32
// and the current folder is taken out of it. SetDefaultDllDirectories is looked up, not
// imported: Windows 7 without update KB2533623 lacks it and must still start the stub.
void restrictDllSearch()
{
    typedef BOOL(WINAPI * SetDirectories)(DWORD);
    SetDirectories limitSearch = (SetDirectories)(void*)GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (limitSearch) limitSearch(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
}

extern "C" __attribute__((externally_visible)) void quorEntry()
{
    restrictDllSearch();
    UINT code = runStub((HINSTANCE)&__ImageBase);
    ExitProcess(code);
}
