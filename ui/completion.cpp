// After a walk without failure or abort: the shortcuts the user kept chosen, then the one
// configured file opened with the shell. Both run in the window thread's single-threaded
// apartment (runStub). A chosen shortcut that cannot be made anywhere is named in a message
// and fails the run: it is something the user chose and does not get. Opening the file is the
// user's convenience; a failure there stays silent.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <string.h>

#include "extract/runtime.h"
#include "extract/sfx_extractor.h"
#include "ui/stub_ui.h"

namespace {

// The three COM identities used here. Defined locally: libuuid would bring all of its GUIDs,
// 1.6 KB of the stub, along with them.
const GUID SHELL_LINK_CLASS = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID SHELL_LINK_W = {0x000214F9, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID PERSIST_FILE = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Appends `text` to the path in `buffer` (PATH_BUFFER bytes); false when the whole would not
// fit, so that a cut path is never used as a file name.
bool appendPath(char* buffer, const char* text)
{
    return appendText(buffer, PATH_BUFFER, text);
}

// The folder's path in `folder` (WIDE_PATH units); false when it cannot be located.
bool locateFolder(HWND owner, int folderId, WCHAR* folder)
{
    return SHGetFolderPathW(owner, folderId, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK &&
           folder[0];
}

// Saves the link as folder\name.lnk; false when the folder cannot be located, the path does
// not fit, or the save fails.
bool saveLink(IPersistFile* file, HWND owner, int folderId, const WCHAR* name)
{
    WCHAR linkPath[WIDE_PATH];
    if (!locateFolder(owner, folderId, linkPath)) return false;
    int used = wideLength(linkPath), nameLength = wideLength(name);
    if (used + 1 + nameLength + 4 >= WIDE_PATH) return false;
    linkPath[used] = '\\';
    memcpy(linkPath + used + 1, name, nameLength * sizeof(WCHAR));
    memcpy(linkPath + used + 1 + nameLength, L".lnk", 5 * sizeof(WCHAR));
    return SUCCEEDED(file->Save(linkPath, TRUE));
}

// Makes the shortcut in the folder `folderId`, or in `ownFolderId` when the first refuses it.
bool createShortcut(SfxExtractor& sfx, HWND owner, int folderId, int ownFolderId)
{
    if (!sfx.shortcutTarget || !sfx.destination) return false;
    // The link is named after the configured name, or else after the target file without its
    // folder and extension.
    const char* name = sfx.shortcutName;
    char targetName[PATH_PART];
    if (!name || !name[0]) {
        splitPath(sfx.shortcutTarget, nullptr, nullptr, targetName, nullptr);
        name = targetName;
    }

    bool made = false;
    char target[PATH_BUFFER];
    WCHAR wideName[PATH_PART], wideTarget[WIDE_PATH], folder[WIDE_PATH];
    if (copyText(target, sizeof target, sfx.destination) && appendBackslash(target, sizeof target) &&
        appendPath(target, sfx.shortcutTarget) && toWide(name, wideName, PATH_PART) &&
        toWide(target, wideTarget, WIDE_PATH) && toWide(sfx.destination, folder, WIDE_PATH)) {
        IShellLinkW* link;
        IPersistFile* file;
        if (SUCCEEDED(CoCreateInstance(SHELL_LINK_CLASS, nullptr, CLSCTX_INPROC_SERVER,
                                       SHELL_LINK_W, (void**)&link))) {
            if (SUCCEEDED(link->QueryInterface(PERSIST_FILE, (void**)&file))) {
                link->SetPath(wideTarget);
                link->SetIconLocation(wideTarget, 0);
                link->SetWorkingDirectory(folder);
                made = saveLink(file, owner, folderId, wideName) ||
                       saveLink(file, owner, ownFolderId, wideName);
                file->Release();
            }
            link->Release();
        }
    }
    // The link file that could not be written: "ファイル NAME を書き込めません。"
    if (!made) sfx.host->warnWriteFailed(name);
    return made;
}

}  // namespace

bool createShortcuts(SfxExtractor& sfx, HWND owner)
{
    // Start menu, desktop, Send To, in this order; each one independent of the others. The
    // all-users folders need rights that an ordinary user lacks; the user's own folder of the
    // same kind then takes the shortcut, as when the first is not found at all. Send To is the
    // user's own already: its second try is the same folder.
    static const uint8_t FOLDERS[3][2] = {{CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS},
                                          {CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY},
                                          {CSIDL_SENDTO, CSIDL_SENDTO}};
    const uint8_t* flags = &sfx.startMenuFlags;  // then desktopFlags and sendToFlags
    bool all = true;
    for (int i = 0; i < 3; ++i)
        if ((flags[i] & SfxConfig::chosen) && !createShortcut(sfx, owner, FOLDERS[i][0], FOLDERS[i][1]))
            all = false;
    return all;
}

void runConfiguredFile(SfxExtractor& sfx, HWND owner)
{
    if (!sfx.programToRun || !sfx.programToRun[0] || !sfx.destination) return;
    // The backslash goes in even after a destination that ends in one: Windows reads the
    // doubled separator as one.
    char path[PATH_BUFFER];
    if (!copyText(path, sizeof path, sfx.destination) || !appendPath(path, "\\") ||
        !appendPath(path, sfx.programToRun))
        return;
    // The process ends right after this call: the launch must be complete before it does.
    WCHAR wide[WIDE_PATH];
    if (toWide(path, wide, WIDE_PATH)) shellExecute(owner, nullptr, wide, nullptr, SEE_MASK_NOASYNC);
}

bool shellExecute(HWND owner, const WCHAR* verb, const WCHAR* file, const WCHAR* parameters,
                  ULONG mask, HANDLE* process, const WCHAR* directory)
{
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = mask;
    info.hwnd = owner;
    info.lpVerb = verb;
    info.lpFile = file;
    info.lpParameters = parameters;
    info.lpDirectory = directory;
    info.nShow = SW_SHOWNORMAL;
    bool started = ShellExecuteExW(&info);
    if (process) *process = info.hProcess;
    return started;
}
