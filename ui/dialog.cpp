// The destination dialog: confirm, type or browse for the folder, and switch the offered
// shortcuts on or off, before anything is written.
#include <shlobj.h>
#include <string.h>

#include "extract/runtime.h"
#include "extract/sfx_extractor.h"
#include "ui/resource.h"
#include "ui/stub_ui.h"

namespace {

SfxExtractor* dialogExtractor;
char dialogPath[PATH_BUFFER];

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

void initialise(HWND dialog, SfxExtractor& sfx)
{
    SetWindowTextA(dialog, sfx.title);
    copyText(dialogPath, sizeof dialogPath, sfx.destination ? sfx.destination : "");
    SetDlgItemTextA(dialog, ID_DEST_EDIT, dialogPath);
    // A box can be checked and disabled at once: the builder chose the shortcut for the user.
    for (const FlagBox& box : FLAG_BOXES) {
        uint8_t flags = sfx.*box.flags;
        if (flags & SfxConfig::chosen) CheckDlgButton(dialog, box.control, BST_CHECKED);
        if (!(flags & SfxConfig::offered)) EnableWindow(GetDlgItem(dialog, box.control), FALSE);
    }
}

// OK: the typed folder becomes the destination and must exist (made if needed) before the
// dialog may close with 0; the check boxes decide bit 1 of each flag byte.
INT_PTR confirm(HWND dialog, SfxExtractor& sfx)
{
    GetDlgItemTextA(dialog, ID_DEST_EDIT, dialogPath, sizeof dialogPath);
    sfx.setDestination(dialogPath);
    if (!sfx.destination || !enterDestination(sfx, sfx.destination)) return 1;
    for (const FlagBox& box : FLAG_BOXES) {
        uint8_t& flags = sfx.*box.flags;
        if (IsDlgButtonChecked(dialog, box.control) == BST_CHECKED)
            flags |= SfxConfig::chosen;
        else
            flags &= (uint8_t)~SfxConfig::chosen;
    }
    return 0;
}

void browse(HWND dialog)
{
    char displayName[PATH_BUFFER];
    BROWSEINFOA info;
    memset(&info, 0, sizeof info);
    info.hwndOwner = dialog;
    info.pszDisplayName = displayName;
    info.lpszTitle = BROWSE_TITLE;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
    if (chosen) {
        SHGetPathFromIDListA(chosen, dialogPath);
        SetDlgItemTextA(dialog, ID_DEST_EDIT, dialogPath);
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
    case IDOK:
        EndDialog(dialog, confirm(dialog, *dialogExtractor));
        break;
    case IDCANCEL:
        EndDialog(dialog, 1);
        break;
    case ID_BROWSE:
        browse(dialog);
        break;
    }
    return TRUE;
}
