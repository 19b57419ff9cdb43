// The destination dialog: confirm, type or browse for the folder, and switch the offered
// shortcuts on or off, before anything is written.
//
// The template is laid out for one font at one scale. Its check boxes and its label are
// widened at run time (and the dialog with them) until their texts fit in the font the dialog
// really got, which differs with the display scale and with the font the system substitutes.
#include <shlobj.h>
#include <string.h>

#include "extract/runtime.h"
#include "extract/sfx_extractor.h"
#include "ui/resource.h"
#include "ui/stub_host.h"
#include "ui/stub_ui.h"

namespace {

SfxExtractor* dialogExtractor;

// 解凍先フォルダの指定 (choose the destination folder)
const char BROWSE_TITLE[] =
    "\x89\xf0\x93\x80\x90\xe6\x83t\x83H\x83\x8b\x83_\x82\xcc\x8ew\x92\xe8";

// The check box of each shortcut place and its ShortcutFlags byte.
struct FlagBox {
    int control;
    uint8_t SfxExtractor::*flags;
};
const FlagBox FLAG_BOXES[] = {
    {ID_START_MENU, &SfxExtractor::startMenuFlags},
    {ID_DESKTOP, &SfxExtractor::desktopFlags},
    {ID_SEND_TO, &SfxExtractor::sendToFlags},
};

// The check boxes whose texts must fit (besides the label).
const int FITTED[] = {ID_START_MENU, ID_DESKTOP, ID_SEND_TO};

// The width a control's text needs in the control's own font (DrawText measures it as the
// control shows it, access-key ampersands left out), plus room for the box of a check box and
// a little margin.
int neededWidth(HWND control, bool checkBox)
{
    WCHAR text[128];
    int length = (int)SendMessageW(control, WM_GETTEXT, 128, (LPARAM)text);
    HDC dc = GetDC(control);
    if (!dc) return 0;
    HGDIOBJ previous = SelectObject(dc, (HGDIOBJ)SendMessageW(control, WM_GETFONT, 0, 0));
    RECT size = {};
    DrawTextW(dc, text, length, &size, DT_CALCRECT | DT_SINGLELINE);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    // The box of a check box is as wide as a menu check mark, and the text stands a gap of
    // half that behind it.
    int box = checkBox ? GetSystemMetrics(SM_CXMENUCHECK) * 3 / 2 : 0;
    return size.right + box + 2;
}

// Widens one control to its text, in place; returns how far its right edge now reaches in the
// dialog's client area.
int fitControl(HWND dialog, HWND control, bool checkBox)
{
    RECT place;
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, dialog, (POINT*)&place, 2);
    int need = neededWidth(control, checkBox);
    if (need > place.right - place.left) {
        SetWindowPos(control, nullptr, 0, 0, need, place.bottom - place.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        place.right = place.left + need;
    }
    return place.right;
}

// Grows the dialog until the label and the check boxes fit, keeping the template's left
// margin on the right too, and keeps it on the screen. The rest of the layout stays where
// the template put it.
void fitTexts(HWND dialog)
{
    int reach = fitControl(dialog, GetDlgItem(dialog, ID_LABEL), false);
    for (int id : FITTED) {
        int right = fitControl(dialog, GetDlgItem(dialog, id), true);
        if (right > reach) reach = right;
    }
    RECT client, edit;
    GetClientRect(dialog, &client);
    GetWindowRect(GetDlgItem(dialog, ID_DEST_EDIT), &edit);
    MapWindowPoints(nullptr, dialog, (POINT*)&edit, 2);
    int grow = reach + edit.left - client.right;
    RECT outer;
    GetWindowRect(dialog, &outer);
    int width = outer.right - outer.left + (grow > 0 ? grow : 0), height = outer.bottom - outer.top;
    // The dialog opens at its owner, which stands by the mouse cursor; at a large display
    // scale it is much bigger than the owner, so it is kept inside the work area too.
    MONITORINFO area;
    area.cbSize = sizeof area;
    if (GetMonitorInfoW(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &area)) {
        outer.left = clampInto(outer.left, width, area.rcWork.left, area.rcWork.right);
        outer.top = clampInto(outer.top, height, area.rcWork.top, area.rcWork.bottom);
    }
    SetWindowPos(dialog, nullptr, outer.left, outer.top, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void initialise(HWND dialog, SfxExtractor& sfx)
{
    setText(dialog, sfx.title);
    setText(GetDlgItem(dialog, ID_DEST_EDIT), sfx.destination);
    // A box can be checked and disabled at once: the builder chose the shortcut for the user.
    // (The boxes are set through their own windows: the dialog-item shorthands would each
    // cost the stub an import.)
    for (const FlagBox& box : FLAG_BOXES) {
        uint8_t flags = sfx.*box.flags;
        HWND control = GetDlgItem(dialog, box.control);
        if (flags & SfxConfig::chosen) SendMessageW(control, BM_SETCHECK, BST_CHECKED, 0);
        if (!(flags & SfxConfig::offered)) EnableWindow(control, FALSE);
    }
    fitTexts(dialog);
}

// confirm's answer when the dialog stays open.
const INT_PTR STAY = -1;

// OK: the check boxes decide bit 1 of each flag byte; the typed folder becomes the destination
// and must exist (made if needed) before the dialog may close with 0.
INT_PTR confirm(HWND dialog, SfxExtractor& sfx)
{
    WCHAR typed[WIDE_PATH];
    char path[PATH_BUFFER];
    // WM_GETTEXT, not GetDlgItemTextW: one import fewer.
    SendMessageW(GetDlgItem(dialog, ID_DEST_EDIT), WM_GETTEXT, WIDE_PATH, (LPARAM)typed);
    // A folder too long for a path buffer cannot be made; saying so beats cutting it into a
    // different folder.
    if (!toUtf8(typed, path, PATH_BUFFER)) {
        sfx.host->warnFolderNotCreated();
        return 1;
    }
    // The choices first: a run with administrator rights may take them over.
    for (const FlagBox& box : FLAG_BOXES) {
        uint8_t& flags = sfx.*box.flags;
        if (SendMessageW(GetDlgItem(dialog, box.control), BM_GETCHECK, 0, 0) == BST_CHECKED)
            flags |= SfxConfig::chosen;
        else
            flags &= (uint8_t)~SfxConfig::chosen;
    }
    sfx.setDestination(path);
    StubHost& host = *static_cast<StubHost*>(sfx.host);
    host.elevation = Elevation::unavailable;
    if (!sfx.destination || !enterDestination(sfx, sfx.destination))
        // Declined rights (the host has said what the folder needs): another folder may do.
        return host.elevation == Elevation::declined ? STAY : 1;
    return 0;
}

void browse(HWND dialog)
{
    WCHAR displayName[MAX_PATH], title[32], chosenPath[MAX_PATH];
    fromShiftJis(BROWSE_TITLE, title, 32);
    BROWSEINFOW info;
    memset(&info, 0, sizeof info);
    info.hwndOwner = dialog;
    info.pszDisplayName = displayName;
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST chosen = SHBrowseForFolderW(&info);
    if (chosen) {
        if (SHGetPathFromIDListW(chosen, chosenPath))
            SetWindowTextW(GetDlgItem(dialog, ID_DEST_EDIT), chosenPath);
        CoTaskMemFree(chosen);  // the shell allocates item lists with the COM task allocator
    }
}

}  // namespace

INT_PTR CALLBACK destinationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        dialogExtractor = (SfxExtractor*)lParam;
        initialise(dialog, *dialogExtractor);
        return TRUE;  // the focus goes to the first tab stop, the edit box
    }
    if (message != WM_COMMAND) return FALSE;
    // The whole wParam: a click, Enter or Escape arrive with notification code 0.
    switch (wParam) {
    case IDOK: {
        INT_PTR result = confirm(dialog, *dialogExtractor);
        if (result != STAY) EndDialog(dialog, result);
        break;
    }
    case IDCANCEL:
        EndDialog(dialog, 2);
        break;
    case ID_BROWSE:
        browse(dialog);
        break;
    }
    return TRUE;
}
