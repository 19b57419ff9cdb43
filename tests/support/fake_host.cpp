#include "support/fake_host.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstring>

#include "console_host.h"
#include "sjis.h"

namespace {
bool fill(char* buffer, uint32_t size, const std::string& text)
{
    if (text.size() + 1 > size) return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}
}  // namespace

// The console host's conversion (iconv), so that tests see what the tool writes.
bool FakeHost::decodeText(const char* bytes, uint32_t length, uint32_t codePage, char* out,
                          uint32_t size)
{
    std::string utf8;
    return decodeCodePage(bytes, length, codePage, utf8) && fill(out, size, utf8);
}

bool FakeHost::currentFolder(char* buffer, uint32_t size) { return fill(buffer, size, current); }
bool FakeHost::windowsFolder(char* buffer, uint32_t size) { return fill(buffer, size, windows); }

PathState FakeHost::pathState(const char* path)
{
    struct stat st;
    if (stat(path, &st) != 0) return PathState::missing;
    return S_ISDIR(st.st_mode) ? PathState::folder : PathState::notFolder;
}

bool FakeHost::createFolder(const char* path)
{
    // The folder refused to this run (deniedFolder) takes no new folder either.
    bool denied = !deniedFolder.empty() && std::string(path).rfind(deniedFolder, 0) == 0;
    bool ok = !denied && mkdir(path, 0777) == 0;
    calls.push_back(std::string(ok ? "mkdir " : "mkdir-failed ") + path);
    return ok;
}

bool FakeHost::enterFolder(const char* path)
{
    bool ok = chdir(path) == 0;
    calls.push_back(std::string(ok ? "enter " : "enter-failed ") + path);
    return ok;
}

bool FakeHost::deniedWriting(const char* path)
{
    calls.push_back(std::string("probe ") + path);
    return path == deniedFolder;
}

Elevation FakeHost::runWithRights(const SfxExtractor&)
{
    calls.push_back("rights");
    return elevation;
}

void FakeHost::setFileTime(const char* path, int32_t unixTime)
{
    struct utimbuf times = {unixTime, unixTime};
    utime(path, &times);
    calls.push_back(std::string("time ") + path + " " + std::to_string(unixTime));
}

int32_t FakeHost::localZoneWestAt(uint32_t wallSeconds) { return zoneWestByCLibrary(wallSeconds); }

void FakeHost::warnDamaged(const char* p) { calls.push_back(std::string("damaged ") + p); }
void FakeHost::warnWriteFailed(const char* p) { calls.push_back(std::string("write-failed ") + p); }
void FakeHost::warnFolderNotCreated() { calls.push_back("folder-not-created"); }
void FakeHost::memberSkipped(const char* cleanedPath, SkipReason why)
{
    const char* kind = why == SkipReason::unknownMethod ? "skipped-method "
                       : why == SkipReason::notCreated  ? "skipped-file "
                                                        : "skipped-name ";
    calls.push_back(kind + std::string(cleanedPath));
}

void FakeHost::brokenHeader(HeaderFault fault, int64_t offset, const char*)
{
    calls.push_back("broken-header " + std::to_string((int)fault) + " at " + std::to_string(offset));
}
void FakeHost::entryName(const char* name) { calls.push_back(std::string("entry ") + name); }

void FakeHost::barPosition(uint32_t position)
{
    if (recordBar) calls.push_back("bar " + std::to_string(position));
    if (onBar) onBar(position);
}

void FakeHost::notifyShell(ShellEvent event, const char* path)
{
    calls.push_back(std::string(event == ShellEvent::folderCreated ? "shell-mkdir " : "shell-create ") +
                    path);
}

void FakeHost::walkEnded(bool aborted) { calls.push_back(aborted ? "ended aborted" : "ended done"); }

bool FakeHost::startThread(void (*body)(void*), void* argument)
{
    if (!threadsStart) return false;
    calls.push_back("thread");
    if (runInline) body(argument);
    return true;
}

std::vector<std::string> FakeHost::only(const std::string& prefix) const
{
    std::vector<std::string> out;
    for (const auto& c : calls)
        if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
    return out;
}
