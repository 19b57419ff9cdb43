// The progress window's label: the current member's name, shortened to the label's width.
#include <windows.h>

#include "ui/label_fit.h"
#include "ui/stub_ui.h"

namespace {

bool measureInLabel(void* context, const char16_t* text, uint32_t length, int32_t* width)
{
    SIZE size;
    if (!GetTextExtentPoint32W((HDC)context, (const WCHAR*)text, (int)length, &size)) return false;
    *width = size.cx;
    return true;
}

}  // namespace

void showEntryName(HWND label, const char* name)
{
    WCHAR wide[WIDE_MEMBER_PATH];
    if (!toWide(name, wide, WIDE_MEMBER_PATH)) wide[0] = 0;
    char16_t shown[LABEL_BUFFER];
    // Without a device context nothing can be measured, and the whole name is shown.
    HDC dc = GetDC(label);
    HGDIOBJ previous = nullptr;
    RECT client = {};
    if (dc) {
        // Measured in the font the label draws with, which follows the window's DPI.
        previous = SelectObject(dc, (HGDIOBJ)SendMessageW(label, WM_GETFONT, 0, 0));
        GetClientRect(label, &client);
    }
    fitLabel((const char16_t*)wide, shown, client.right - client.left, dc ? measureInLabel : nullptr,
             dc);
    if (dc) {
        SelectObject(dc, previous);
        ReleaseDC(label, dc);
    }
    SetWindowTextW(label, (const WCHAR*)shown);
}
