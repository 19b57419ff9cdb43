// The end-to-end test driver: a small Win32 program that starts the stub under Wine and works
// its windows the way a user would, through window messages rather than timed key presses.
// It finds the stub's windows by class (the dialog and message boxes are "#32770", the
// progress window "QUORSFXCLASS") and by their control ids, reads texts and states, sets the
// edit box and check boxes, presses buttons, and reports what it saw, one "key value" line per
// observation, on stdout. Texts are read as UTF-16 and reported in UTF-8, whatever the code
// page of the system.
//
//   driver run STUB WORKDIR [cursor=X,Y] [args=ARGS] STEP...
//                                     start STUB in WORKDIR (the mouse cursor at X,Y first,
//                                     the command line ARGS) and work through the steps
//   driver link FILE.lnk              read a shortcut back through IShellLink
//   driver warm-up                    show a window once, so that Wine's desktop and fonts are up
//
// Steps of `run` (each waits up to the time-out for what it needs):
//   dialog           the destination dialog: caption, edit text, the three boxes
//   edit=TEXT        put TEXT into the destination edit box
//   check=ID:0|1     set a check box of the dialog
//   ok | cancel      press OK or Cancel in the dialog
//   progress         the shown progress window: caption
//   label=TEXT       wait until the label contains TEXT; report it
//   abort | close    press Abort, or close the progress window (WM_CLOSE)
//   msgbox           a message box of the stub: text, caption and icon (left open)
//   msgbox-move=X,Y  move the open message box (so that it covers nothing for a screenshot)
//   msgbox-ok        press its OK button
//   hold=FILE        report "hold", then wait until FILE exists (a screenshot is being taken)
//   freeze | thaw    suspend or resume the stub's threads other than the window's, so that
//                    the progress window stands still, responsive, in mid-extraction
//   fit              every text of the shown dialog or progress window fits its control:
//                    "fit ID TEXT-WIDTH CLIENT-WIDTH" per control, "fit.over ..." when not;
//                    "fit.outside" when the window is not wholly inside the work area,
//                    "fit.clipped ID ..." for a control not wholly inside the client area
//   quiet            wait for the stub to end without ever showing a window; report its exit
//                    code
//   child-hold=FILE  wait for a process started by the stub (its run with administrator
//                    rights), suspend it at once, report "child", resume it when FILE exists:
//                    a test may change the prefix between the two runs' decisions
//   exit             wait for the stub to end; report its exit code
//   bar              follow the progress bar until its window is gone: "bar.highest N",
//                    "bar.positions N" (how many different positions it showed) and
//                    "bar.backwards" if it ever moved back; the time-out counts from its
//                    last move, so a long extraction may take as long as it moves
// A message box that turns up while another step waits is reported and fails the run.
//
// Exit status: 0 when every step was carried out, 1 on a time-out or a surprise, 2 on usage.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

const int ID_DEST_EDIT = 1000;
const int ID_BOXES[] = {1002, 1003, 1004};
const int ID_ABORT = 1017;
const int ID_MSGBOX_TEXT = 0xFFFF;  // the static text of a message box
const int ID_MSGBOX_ICON = 0x0440;  // the icon of a message box

DWORD timeoutMs = 60000;
const DWORD POLL_MS = 10;

PROCESS_INFORMATION stub;

void report(const char* key, const std::string& value)
{
    printf("%s %s\n", key, value.c_str());
    fflush(stdout);
}

[[noreturn]] void give_up(const std::string& why)
{
    report("failed", why);
    if (stub.hProcess) TerminateProcess(stub.hProcess, 99);
    exit(1);
}

std::wstring wideTextOf(HWND window)
{
    WCHAR buffer[1024] = {};
    DWORD_PTR ignored;
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, (LPARAM)buffer, SMTO_ABORTIFHUNG, 5000, &ignored);
    return buffer;
}

std::string utf8(const std::wstring& text)
{
    char buffer[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, nullptr, nullptr);
    return buffer;
}

std::wstring wide(const std::string& text)
{
    WCHAR buffer[2048] = {};
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer, 2048);
    return buffer;
}

std::string textOf(HWND window) { return utf8(wideTextOf(window)); }

std::string classOf(HWND window)
{
    char buffer[64] = {};
    GetClassNameA(window, buffer, sizeof buffer);
    return buffer;
}

enum class Kind { dialog, messageBox, progress };

struct Search {
    DWORD process;
    Kind kind;
    HWND found;
};

bool isKind(HWND window, Kind kind)
{
    std::string name = classOf(window);
    switch (kind) {
    case Kind::dialog: return name == "#32770" && GetDlgItem(window, ID_DEST_EDIT);
    // The dialog's label has the id -1 (0xFFFF) too, so a message box is the one without
    // the edit box.
    case Kind::messageBox:
        return name == "#32770" && GetDlgItem(window, ID_MSGBOX_TEXT) && !GetDlgItem(window, ID_DEST_EDIT);
    case Kind::progress: return name == "QUORSFXCLASS";
    }
    return false;
}

BOOL CALLBACK visit(HWND window, LPARAM context)
{
    Search* search = (Search*)context;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != search->process || !IsWindowVisible(window) || !isKind(window, search->kind))
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND findWindow(Kind kind)
{
    Search search = {stub.dwProcessId, kind, nullptr};
    EnumWindows(visit, (LPARAM)&search);
    return search.found;
}

bool stubEnded() { return WaitForSingleObject(stub.hProcess, 0) == WAIT_OBJECT_0; }

// Polls `ready` until it holds; a message box on the way is a surprise unless it is awaited.
template <typename Ready>
void waitFor(const char* what, Ready ready, bool boxesAllowed = false)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (ready()) return;
        if (!boxesAllowed) {
            if (HWND box = findWindow(Kind::messageBox))
                give_up(std::string("unexpected message box while waiting for ") + what + ": " +
                        textOf(GetDlgItem(box, ID_MSGBOX_TEXT)));
        }
        if (stubEnded()) {
            DWORD code = 0;
            GetExitCodeProcess(stub.hProcess, &code);
            char status[16];
            snprintf(status, sizeof status, "%#lx", (unsigned long)code);
            give_up(std::string("the stub ended (exit code ") + status + ") while waiting for " + what);
        }
        if (GetTickCount() - start > timeoutMs) give_up(std::string("time-out waiting for ") + what);
        Sleep(POLL_MS);
    }
}

HWND await(Kind kind, const char* what)
{
    HWND window = nullptr;
    waitFor(what, [&] { return (window = findWindow(kind)) != nullptr; }, kind == Kind::messageBox);
    return window;
}

void press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

const int ICON_SIZE = 32;  // message boxes show the system icons at their standard size

// The pixels of a 32x32 square: taken from the screen at a window, or drawn from an icon onto
// a given background colour.
std::string pixels(HWND window, HICON icon, COLORREF background)
{
    // The screen, not the window's own DC: another process's window cannot be read through
    // its DC under Wine, but what it has drawn on the screen can.
    RECT place;
    GetWindowRect(window, &place);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, ICON_SIZE, ICON_SIZE);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    if (icon) {
        RECT all = {0, 0, ICON_SIZE, ICON_SIZE};
        HBRUSH brush = CreateSolidBrush(background);
        FillRect(memory, &all, brush);
        DeleteObject(brush);
        DrawIconEx(memory, 0, 0, icon, ICON_SIZE, ICON_SIZE, 0, nullptr, DI_NORMAL);
    } else {
        BitBlt(memory, 0, 0, ICON_SIZE, ICON_SIZE, screen, place.left, place.top, SRCCOPY);
    }
    std::string out;
    for (int y = 0; y < ICON_SIZE; ++y)
        for (int x = 0; x < ICON_SIZE; ++x) {
            COLORREF c = GetPixel(memory, x, y);
            out.append((const char*)&c, sizeof c);
        }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return out;
}

// Which system icon a message box shows: its icon control as it appears on the screen,
// compared with each system icon drawn on the same background. (Icon handles of another
// process cannot be read here, so the picture is what is compared.)
std::string iconName(HWND box)
{
    HWND control = GetDlgItem(box, ID_MSGBOX_ICON);
    if (!control || !IsWindowVisible(control)) return "none";
    const std::pair<const char*, LPCSTR> known[] = {{"warning", IDI_WARNING}, {"error", IDI_ERROR},
        {"information", IDI_INFORMATION}, {"question", IDI_QUESTION}};
    // A box that has just appeared may not have painted yet: look again for a moment.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string shown = pixels(control, nullptr, 0);
        COLORREF background;
        memcpy(&background, shown.data(), sizeof background);  // the corner is background
        for (const auto& [name, id] : known)
            if (pixels(control, LoadIconA(nullptr, id), background) == shown) return name;
        Sleep(20);
    }
    return "other";
}

// Suspends (or resumes) every thread of the stub except the one that owns `window` (if any).
void suspendOthers(HWND window, bool suspend)
{
    DWORD uiThread = window ? GetWindowThreadProcessId(window, nullptr) : 0;  // none: every thread
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != stub.dwProcessId || entry.th32ThreadID == uiThread) continue;
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (!thread) continue;
        if (suspend)
            SuspendThread(thread);
        else
            ResumeThread(thread);
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
}

BOOL CALLBACK visitAny(HWND window, LPARAM context)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != stub.dwProcessId || !IsWindowVisible(window)) return TRUE;
    *(HWND*)context = window;
    return FALSE;
}

// Any visible top-level window of the stub.
HWND findAnyWindow()
{
    HWND found = nullptr;
    EnumWindows(visitAny, (LPARAM)&found);
    return found;
}

// The font the stub's controls draw in, made here: a font handle of another process cannot be
// used. The dialog's template asks for MS UI Gothic at 9 points, the progress window draws in
// DEFAULT_GUI_FONT at the screen's DPI; both scale with it (this driver is DPI-aware too).
HFONT fontOf(HWND window)
{
    if (classOf(window) != "#32770") return (HFONT)GetStockObject(DEFAULT_GUI_FONT);
    HDC screen = GetDC(nullptr);
    int height = -MulDiv(9, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"MS UI Gothic");
}

// Measures every static text, check box and push button of `window` against its client width.
void checkFit(HWND window)
{
    RECT place, work;
    GetWindowRect(window, &place);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    if (place.left < work.left || place.top < work.top || place.right > work.right ||
        place.bottom > work.bottom) {
        char line[96];
        snprintf(line, sizeof line, "%ld,%ld-%ld,%ld", place.left, place.top, place.right, place.bottom);
        report("fit.outside", line);
    }
    HFONT font = fontOf(window);
    HDC dc = GetDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, font);
    RECT inside;  // the client area, in screen coordinates
    GetClientRect(window, &inside);
    MapWindowPoints(window, nullptr, (POINT*)&inside, 2);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        // Every control lies wholly inside the client area: the frame leaves it whole.
        RECT place;
        GetWindowRect(child, &place);
        if (IsWindowVisible(child) && (place.left < inside.left || place.top < inside.top ||
                                       place.right > inside.right || place.bottom > inside.bottom)) {
            char line[128];
            snprintf(line, sizeof line, "%d %ld,%ld-%ld,%ld outside the client area %ld,%ld-%ld,%ld",
                     GetDlgCtrlID(child), place.left, place.top, place.right, place.bottom,
                     inside.left, inside.top, inside.right, inside.bottom);
            report("fit.clipped", line);
        }
        std::string name = classOf(child);
        if (_stricmp(name.c_str(), "Static") != 0 && _stricmp(name.c_str(), "Button") != 0) continue;
        std::wstring text = wideTextOf(child), shown;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == L'&' && i + 1 < text.size()) ++i;  // "&D" shows as D, "&&" as &
            shown += text[i];
        }
        if (shown.empty()) continue;
        SIZE size = {};
        GetTextExtentPoint32W(dc, shown.c_str(), (int)shown.size(), &size);
        LONG style = GetWindowLongW(child, GWL_STYLE);
        bool checkBox = _stricmp(name.c_str(), "Button") == 0 && (style & BS_TYPEMASK) == BS_AUTOCHECKBOX;
        int need = size.cx + (checkBox ? GetSystemMetrics(SM_CXMENUCHECK) : 0);
        RECT client;
        GetClientRect(child, &client);
        char line[128];
        snprintf(line, sizeof line, "%d %d %d", GetDlgCtrlID(child), need, (int)client.right);
        report(need <= client.right ? "fit" : "fit.over", line + std::string(" ") + utf8(shown));
    }
    SelectObject(dc, previous);
    ReleaseDC(nullptr, dc);
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

void runStep(const std::string& step)
{
    if (step == "dialog") {
        HWND dialog = await(Kind::dialog, "the dialog");
        report("dialog.caption", textOf(dialog));
        report("dialog.edit", textOf(GetDlgItem(dialog, ID_DEST_EDIT)));
        for (int id : ID_BOXES) {
            HWND box = GetDlgItem(dialog, id);
            bool checked = SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
            char line[64];
            snprintf(line, sizeof line, "%d checked=%d enabled=%d", id, checked ? 1 : 0,
                     IsWindowEnabled(box) ? 1 : 0);
            report("dialog.box", line);
        }
    } else if (startsWith(step, "edit=")) {
        HWND dialog = await(Kind::dialog, "the dialog");
        SendMessageW(GetDlgItem(dialog, ID_DEST_EDIT), WM_SETTEXT, 0, (LPARAM)wide(step.substr(5)).c_str());
    } else if (startsWith(step, "check=")) {
        HWND dialog = await(Kind::dialog, "the dialog");
        int id = 0, state = 0;
        if (sscanf(step.c_str() + 6, "%d:%d", &id, &state) != 2) give_up("bad step " + step);
        SendMessageA(GetDlgItem(dialog, id), BM_SETCHECK, state ? BST_CHECKED : BST_UNCHECKED, 0);
    } else if (step == "ok" || step == "cancel") {
        HWND dialog = await(Kind::dialog, "the dialog");
        press(dialog, step == "ok" ? IDOK : IDCANCEL);
        waitFor("the dialog to close", [&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); },
                true);
    } else if (step == "progress") {
        HWND window = await(Kind::progress, "the progress window");
        report("progress.caption", textOf(window));
    } else if (startsWith(step, "label=")) {
        std::string wanted = step.substr(6), shown;
        HWND window = await(Kind::progress, "the progress window");
        HWND label = FindWindowExA(window, nullptr, "Static", nullptr);
        waitFor("the label", [&] {
            shown = textOf(label);
            return !shown.empty() && shown.find(wanted) != std::string::npos;
        });
        report("label", shown);
    } else if (step == "abort") {
        HWND window = await(Kind::progress, "the progress window");
        press(window, ID_ABORT);
    } else if (step == "close") {
        HWND window = await(Kind::progress, "the progress window");
        PostMessageA(window, WM_CLOSE, 0, 0);
    } else if (step == "msgbox") {
        HWND box = await(Kind::messageBox, "a message box");
        report("msgbox.text", textOf(GetDlgItem(box, ID_MSGBOX_TEXT)));
        report("msgbox.caption", textOf(box));
        report("msgbox.icon", iconName(box));
    } else if (startsWith(step, "msgbox-move=")) {
        HWND box = await(Kind::messageBox, "a message box");
        int x = 0, y = 0;
        if (sscanf(step.c_str() + 12, "%d,%d", &x, &y) != 2) give_up("bad step " + step);
        SetWindowPos(box, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (step == "msgbox-ok") {
        HWND box = await(Kind::messageBox, "a message box");
        press(box, IDOK);
        waitFor("the message box to close", [&] { return !IsWindow(box); }, true);
    } else if (startsWith(step, "hold=")) {
        std::string file = step.substr(5);
        report("hold", file);
        waitFor("the end of the hold",
                [&] { return GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES; }, true);
    } else if (step == "freeze" || step == "thaw") {
        HWND window = await(Kind::progress, "the progress window");
        suspendOthers(window, step == "freeze");
    } else if (step == "fit") {
        HWND window = findWindow(Kind::dialog);
        if (!window) window = await(Kind::progress, "the dialog or the progress window");
        checkFit(window);
    } else if (startsWith(step, "child-hold=")) {
        std::string file = step.substr(11);
        DWORD child = 0;
        waitFor("a process started by the stub", [&] {
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32 entry;
            entry.dwSize = sizeof entry;
            for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
                if (entry.th32ParentProcessID == stub.dwProcessId) child = entry.th32ProcessID;
            CloseHandle(snapshot);
            return child != 0;
        }, true);
        PROCESS_INFORMATION parent = stub;
        stub.dwProcessId = child;
        suspendOthers(nullptr, true);
        report("child", std::to_string(child));
        waitFor("the end of the hold",
                [&] { return GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES; }, true);
        suspendOthers(nullptr, false);
        stub = parent;
    } else if (step == "quiet") {
        DWORD start = GetTickCount();
        while (!stubEnded()) {
            if (HWND shown = findAnyWindow())
                give_up("a quiet run showed a window: " + classOf(shown) + " \"" + textOf(shown) + "\"");
            if (GetTickCount() - start > timeoutMs) give_up("time-out waiting for the end");
            Sleep(POLL_MS);
        }
        DWORD code = 0;
        GetExitCodeProcess(stub.hProcess, &code);
        report("exit", std::to_string(code));
    } else if (step == "bar") {
        HWND window = await(Kind::progress, "the progress window");
        HWND bar = FindWindowExA(window, nullptr, PROGRESS_CLASSA, nullptr);
        long highest = -1, last = -1, positions = 0;
        bool backwards = false;
        DWORD moved = GetTickCount();
        // The bar reaches its end only with the last bytes; the completion actions then keep
        // the window a little longer, so a short poll sees the final position.
        while (IsWindow(bar)) {
            DWORD_PTR position = 0;
            if (SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position) &&
                IsWindow(bar) && (long)position != last) {
                backwards = backwards || (long)position < last;
                last = (long)position;
                if (last > highest) highest = last;
                ++positions;
                moved = GetTickCount();
            }
            if (GetTickCount() - moved > timeoutMs) give_up("time-out: the bar stood still");
            Sleep(1);
        }
        report("bar.highest", std::to_string(highest));
        report("bar.positions", std::to_string(positions));
        if (backwards) report("bar.backwards", "");
    } else if (step == "exit") {
        DWORD start = GetTickCount();
        while (!stubEnded()) {
            if (HWND box = findWindow(Kind::messageBox))
                give_up("unexpected message box while waiting for the end: " +
                        textOf(GetDlgItem(box, ID_MSGBOX_TEXT)));
            if (GetTickCount() - start > timeoutMs) give_up("time-out waiting for the end");
            Sleep(POLL_MS);
        }
        DWORD code = 0;
        GetExitCodeProcess(stub.hProcess, &code);
        report("exit", std::to_string(code));
    } else {
        give_up("unknown step " + step);
    }
}

int run(int argc, char** argv)
{
    if (argc < 4) return 2;
    std::string command = std::string("\"") + argv[2] + "\"";
    int first = 4;
    int x = 0, y = 0;
    if (argc > first && sscanf(argv[first], "cursor=%d,%d", &x, &y) == 2) {
        SetCursorPos(x, y);
        ++first;
    }
    if (argc > first && startsWith(argv[first], "args=")) command += std::string(" ") + (argv[first++] + 5);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(argv[2], &command[0], nullptr, nullptr, FALSE, 0, nullptr, argv[3],
                        &startup, &stub))
        give_up("cannot start " + std::string(argv[2]));
    for (int i = first; i < argc; ++i) runStep(argv[i]);
    // A stub left running would hold the prefix; the steps must have ended it.
    if (!stubEnded()) give_up("the stub still runs after the last step");
    return 0;
}

int readLink(const char* path)
{
    CoInitialize(nullptr);
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                (void**)&link)) ||
        FAILED(link->QueryInterface(IID_IPersistFile, (void**)&file)))
        give_up("no shell link object");
    if (FAILED(file->Load(wide(path).c_str(), STGM_READ))) give_up(std::string("cannot load ") + path);
    WCHAR text[MAX_PATH] = {};
    link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
    report("link.target", utf8(text));
    int index = -1;
    text[0] = 0;
    link->GetIconLocation(text, MAX_PATH, &index);
    report("link.icon", utf8(text) + "," + std::to_string(index));
    text[0] = 0;
    link->GetWorkingDirectory(text, MAX_PATH);
    report("link.workdir", utf8(text));
    file->Release();
    link->Release();
    CoUninitialize();
    return 0;
}

// Shows a window with Japanese text and pumps its messages for a moment: the first window of a
// fresh prefix starts Wine's desktop and loads its fonts, which can take seconds that no case
// should have to wait out.
int warmUp()
{
    HWND window = CreateWindowExA(0, "STATIC", "\x93\xfa\x96\x7b\x8c\xea", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                  0, 0, 200, 80, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!window) return 1;
    UpdateWindow(window);
    DWORD start = GetTickCount();
    MSG message;
    while (GetTickCount() - start < 500) {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        Sleep(POLL_MS);
    }
    DestroyWindow(window);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // Sizes and fonts as the stub sees them: it declares itself DPI-aware, so must the driver.
    SetProcessDPIAware();
    if (const char* seconds = getenv("QUOR_E2E_TIMEOUT")) timeoutMs = (DWORD)atoi(seconds) * 1000;
    if (argc >= 2 && strcmp(argv[1], "run") == 0) return run(argc, argv);
    if (argc == 3 && strcmp(argv[1], "link") == 0) return readLink(argv[2]);
    if (argc == 2 && strcmp(argv[1], "warm-up") == 0) return warmUp();
    fprintf(stderr, "usage: driver run STUB WORKDIR STEP... | driver link FILE.lnk | driver warm-up\n");
    return 2;
}
