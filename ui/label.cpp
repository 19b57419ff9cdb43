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
    HDC dc = GetDC(label);
    if (!dc) {
        fitLabel(name, shown, 0, nullptr, nullptr);
    } else {
        // The label draws with DEFAULT_GUI_FONT (set at creation), so it is measured in it.
        HGDIOBJ previous = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        RECT client;
        GetClientRect(label, &client);
        fitLabel(name, shown, client.right - client.left, measureInLabel, dc);
        SelectObject(dc, previous);
        ReleaseDC(label, dc);
    }
    SetWindowTextA(label, shown);
}
