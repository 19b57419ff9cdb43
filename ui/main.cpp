// Start-up, the progress window and the message loop: the frame of the program.
//
// The process entry builds the one SfxExtractor and the Win32 host on its stack, reads the
// configuration block from its own file, creates the hidden progress window next to the
// mouse cursor and posts it MSG_START. Everything else happens in progressWindowProc: the
// dialog, the start of the extraction thread, the label and the end of the run.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>

#include "extract/extraction.h"
#include "extract/progress.h"
#include "extract/sfx_extractor.h"
#include "ui/resource.h"
#include "ui/stub_host.h"
#include "ui/stub_ui.h"

HINSTANCE appInstance;

namespace {

const char CLASS_NAME[] = "QUORSFXCLASS";
// 中止 (Abort)
const char ABORT_TEXT[] = "\x92\x86\x8e~";

// The progress window's size, and where it stands relative to the mouse cursor.
const int WINDOW_WIDTH = 220, WINDOW_HEIGHT = 100;
const int CURSOR_OFFSET_X = -110, CURSOR_OFFSET_Y = 32;  // centred below the mouse cursor

SfxExtractor* currentExtractor;

StubHost& hostOf(SfxExtractor& sfx) { return *static_cast<StubHost*>(sfx.host); }

// Ends the walk: RunFlag goes to 0 once and never back; the thread stops at its next poll
// and posts MSG_ABORTED (or MSG_DONE when it had already passed its last poll).
void requestAbort() { RunFlag.store(0, std::memory_order_relaxed); }

void start(HWND window, SfxExtractor& sfx)
{
    if (sfx.configPresent &&
        DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_DESTINATION), window,
                        destinationDialogProc, (LPARAM)&sfx) != 0) {
        DestroyWindow(window);
        return;
    }
    SetWindowTextA(window, sfx.title);
    ShowWindow(window, SW_SHOW);
    if (!startExtraction(sfx)) DestroyWindow(window);
}

void finish(HWND window, SfxExtractor& sfx, bool aborted)
{
    hostOf(sfx).walking = false;
    if (aborted) {
        // The member being written when the flag fell is incomplete; the thread has closed it.
        if (sfx.currentOutputPath.get()) remove(sfx.currentOutputPath.get());
    } else if (!sfx.failed) {
        if (sfx.configPresent) createShortcuts(sfx, window);
        runConfiguredFile(sfx, window);
    }
    DestroyWindow(window);
}

LRESULT CALLBACK progressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        currentExtractor = (SfxExtractor*)((CREATESTRUCTA*)lParam)->lpCreateParams;
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        // While the thread runs, closing is an abort: the window must outlive the thread's
        // last message, and the half-written member must be deleted like after Abort.
        if (hostOf(*currentExtractor).walking)
            requestAbort();
        else
            DestroyWindow(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == ID_ABORT) requestAbort();
        return 0;
    case MSG_START:
        start(window, *currentExtractor);
        return 0;
    case MSG_ENTRY:
        showEntryName(hostOf(*currentExtractor).labelWindow, (const char*)lParam);
        return 0;
    case MSG_DONE:
    case MSG_ABORTED:
        finish(window, *currentExtractor, message == MSG_ABORTED);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Opens the stub's own file at the configuration block, reads it and registers the class.
bool initialise(SfxExtractor& sfx, HINSTANCE instance)
{
    appInstance = instance;
    InitCommonControls();
    DWORD length = GetModuleFileNameA(nullptr, sfx.ownPath, PATH_BUFFER);
    if (length == 0 || length >= PATH_BUFFER) return false;
    sfx.ownFile = fopen(sfx.ownPath, "rb");
    if (!sfx.ownFile || fseek(sfx.ownFile, SfxConfig::offset, SEEK_SET) != 0) return false;
    if (!readConfiguration(sfx)) return false;

    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = progressWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = CLASS_NAME;
    return RegisterClassExA(&windowClass) != 0;
}

// The progress window, then its three children (pixels): the window relative to the mouse
// cursor, the children in its client coordinates. The label and the button draw in
// DEFAULT_GUI_FONT; the bar keeps its own.
struct WindowSpec {
    const char* className;
    const char* text;
    DWORD style;
    short x, y, width, height;
    short id;
    bool guiFont;
};
const DWORD CHILD = WS_CHILD | WS_VISIBLE;
const WindowSpec WINDOWS[] = {
    {CLASS_NAME, DEFAULT_TITLE, WS_POPUP | WS_CAPTION | WS_SYSMENU, CURSOR_OFFSET_X,
     CURSOR_OFFSET_Y, WINDOW_WIDTH, WINDOW_HEIGHT, 0, false},
    {"STATIC", "", CHILD | SS_LEFT, 7, 5, 200, 15, 0, true},
    {PROGRESS_CLASSA, nullptr, CHILD | PBS_SMOOTH, 7, 23, 200, 20, 0, false},
    {"BUTTON", ABORT_TEXT, CHILD | BS_PUSHBUTTON, 65, 50, 88, 19, ID_ABORT, true},
};

// Builds the still hidden progress window and queues MSG_START.
bool createWindows(SfxExtractor& sfx, StubHost& host)
{
    // Not clamped to the screen: the window stands where the user clicked.
    POINT origin = {};
    GetCursorPos(&origin);
    HWND* handles[] = {&host.progressWindow, &host.labelWindow, &host.barWindow, &host.abortButton};
    HWND window = nullptr;  // the progress window once made, the parent of the rest
    for (int i = 0; i < 4; ++i) {
        const WindowSpec& w = WINDOWS[i];
        HWND made = CreateWindowExA(0, w.className, w.text, w.style, origin.x + w.x, origin.y + w.y,
                                    w.width, w.height, window, (HMENU)(INT_PTR)w.id, appInstance,
                                    window ? nullptr : &sfx);
        if (!made) return false;
        if (w.guiFont) SendMessageA(made, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), FALSE);
        *handles[i] = made;
        if (!window) {
            window = made;
            origin = {};  // the children stand in its client area
        }
    }
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return PostMessageA(window, MSG_START, 0, 0) != 0;
}

UINT runMessageLoop()
{
    MSG message = {};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return (UINT)message.wParam;
}

// A start-up failure ends the process without a window or a message of its own; the exit
// code 1 tells a caller that nothing was done. Every run that reaches the loop ends with 0.
const UINT STARTUP_FAILED = 1;

UINT runStub(HINSTANCE instance)
{
    StubHost host;
    host.walking = false;  // the window handles are set by createWindows before any use
    SfxExtractor sfx(&host);
    if (!initialise(sfx, instance) || !createWindows(sfx, host)) return STARTUP_FAILED;
    return runMessageLoop();
}

}  // namespace

// The process entry (the linker's -e): no C runtime start-up runs before it. The command line
// and the show state are not used.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // the linker's name for the start of our own image

extern "C" void quorEntry()
{
    UINT code = runStub((HINSTANCE)&__ImageBase);
    ExitProcess(code);
}
