// The user-interface operations of the stub, shared between its units. All run on the
// user-interface thread, except the text conversions, which any thread may call.
#pragma once

#include <windows.h>

#include "extract/paths.h"

struct SfxExtractor;

extern HINSTANCE appInstance;

// True for a run started with /S: no dialog, no window shown, no message box.
extern bool quietRun;
// True for the run that another run of this file started with administrator rights (/E=N):
// the choices are made, so there is no dialog, and it never starts a third.
extern bool elevatedRun;

// Texts cross Win32 as UTF-16 and nothing else: the core hands over UTF-8, the stub's own
// Japanese texts are Shift-JIS bytes in the source. Neither may be read in the system's ANSI
// code page, which is 1252 on an English Windows. A path of n UTF-8 bytes is at most n UTF-16
// units, so WIDE_PATH units hold any path of the core, WIDE_MEMBER_PATH any member's path.
const int WIDE_PATH = PATH_BUFFER;
const int WIDE_MEMBER_PATH = MEMBER_PATH_BUFFER;
bool toWide(const char* utf8, WCHAR* out, int units);      // false when invalid or too long
bool toUtf8(const WCHAR* wide, char* out, int size);       // false when it does not fit
void fromShiftJis(const char* text, WCHAR* out, int units);  // the stub's own texts
int wideLength(const WCHAR* text);  // lstrlenW, without its import
void setText(HWND window, const char* utf8);  // null or invalid: the empty text
// A warning box with one of the stub's own Shift-JIS texts; none in a quiet run.
void warn(HWND owner, const char* text);

// Keeps [start, start + size) inside [low, high) where it can; the low end wins.
int clampInto(int start, int size, LONG low, LONG high);

// The destination dialog (resource 103): 0 = go on, the destination exists and is the current
// directory; 1 = the folder could not be made, or a run with administrator rights took over
// (whose exit code is then the run's); 2 = the user cancelled. The nonzero values are the exit
// codes they lead to.
INT_PTR CALLBACK destinationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Shows a member's name (UTF-8) in the label, shortened in the middle until it fits.
void showEntryName(HWND label, const char* name);

// ShellExecuteExW of `file` with `verb` (null: the file's default action) and `parameters`
// (may be null), shown normally. `mask` adds SEE_MASK_ flags: SEE_MASK_NOASYNC when the
// process may end soon after, so that the launch is complete before it does;
// SEE_MASK_NOCLOSEPROCESS to have the started process in `*process` (the caller closes it).
// `directory` (may be null) is the started program's current folder. Needs the apartment that
// runStub enters. False when the shell refused (GetLastError says why).
bool shellExecute(HWND owner, const WCHAR* verb, const WCHAR* file, const WCHAR* parameters,
                  ULONG mask, HANDLE* process = nullptr, const WCHAR* directory = nullptr);

// After a walk without failure: the chosen shortcuts (false when one could not be made; it
// has been named), then the configured file.
bool createShortcuts(SfxExtractor& sfx, HWND owner);
void runConfiguredFile(SfxExtractor& sfx, HWND owner);
