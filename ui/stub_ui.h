// The user-interface operations of the stub, shared between its units. All run on the
// user-interface thread.
#pragma once

#include <windows.h>

struct SfxExtractor;

extern HINSTANCE appInstance;

// The destination dialog (resource 103): 0 = go on, the destination exists and is the current
// directory; nonzero = end the program.
INT_PTR CALLBACK destinationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Shows a member's name in the label, shortened in the middle until it fits.
void showEntryName(HWND label, const char* name);

// After a walk without failure: the chosen shortcuts, then the configured file.
void createShortcuts(SfxExtractor& sfx, HWND owner);
void runConfiguredFile(SfxExtractor& sfx, HWND owner);
