// The progress window's label: the current member's name, shortened to the label's width.
#include <windows.h>

#include "ui/label_fit.h"
#include "ui/stub_ui.h"

namespace {

bool measureInLabel(void* context, const char* text, uint32_t length, int32_t* width)
{
    SIZE size;
    if (!GetTextExtentPoint32A((HDC)context, text, (int)length, &size)) return false;
    *width = size.cx;
    return true;
}

}  // namespace

void showEntryName(HWND label, const char* name)
{
    char shown[LABEL_BUFFER];
    // Without a device context nothing can be measured, and the whole name is shown.
    HDC dc = GetDC(label);
    HGDIOBJ previous = nullptr;
    RECT client = {};
    if (dc) {
        // The label draws with DEFAULT_GUI_FONT (set at creation), so it is measured in it.
        previous = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        GetClientRect(label, &client);
    }
    fitLabel(name, shown, client.right - client.left, dc ? measureInLabel : nullptr, dc);
    if (dc) {
        SelectObject(dc, previous);
        ReleaseDC(label, dc);
    }
    SetWindowTextA(label, shown);
}
