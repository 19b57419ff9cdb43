#include "extract/extraction.h"

#include <stdlib.h>
#include <string.h>

#include "decode/frame.h"
#include "extract/progress.h"
#include "extract/runtime.h"

const char MethodTable[METHOD_COUNT][6] = {"-lh0-", "-lh1-", "-lh2-", "-lh3-", "-lh4-", "-lh5-",
                                           "-lh6-", "-lh7-", "-lzs-", "-lz5-", "-lz4-", "-lhd-"};

int32_t findMethod(const char* methodId)
{
    for (int32_t i = 0; i < METHOD_COUNT; ++i)
        if (memcmp(methodId, MethodTable[i], 5) == 0) return i;
    return -1;
}

uint32_t dictBitsFor(int32_t methodIndex)
{
    switch (methodIndex) {
    case METHOD_LH1: case METHOD_LH4: case METHOD_LZ5: return 12;
    case METHOD_LH6: return 15;
    case METHOD_LH7: return 16;
    case METHOD_LZS: return 11;
    default: return 13;
    }
}

namespace {

// Stored members are copied in blocks of 64 KiB: past msvcrt's 4 KiB stream buffer each
// block is one read and one write of the system. An installer's stored gigabytes copy in
// 60 % of the time that 2048-byte blocks take under Wine (2.2 GB: 23 s against 38 s). The
// bar and the Abort button are still served after every block, within a millisecond.
const uint32_t COPY_BLOCK = 64 * 1024;

uint64_t copyStored(SfxExtractor& sfx, FILE* output, uint64_t count)
{
    decoder.crc16 = 0;
    uint8_t* buffer = (uint8_t*)malloc(COPY_BLOCK);
    if (!buffer) {
        decoder.corrupt = true;
        return 0;
    }
    uint64_t done = 0;
    while (count > 0) {
        uint32_t n = count < COPY_BLOCK ? (uint32_t)count : COPY_BLOCK;
        // A member cut off by the end of the file is damaged, also when its header carries
        // no CRC to tell. What there is of it stays on disk like any damaged member, but no
        // further bytes are made up for it.
        uint32_t got = (uint32_t)fread(buffer, 1, n, sfx.ownFile);
        fwrite(buffer, 1, got, output);
        decoder.crc16 = updateCrc16(decoder.crc16, buffer, got);
        if (got < n) {
            decoder.corrupt = true;
            break;
        }
        done += n;
        count -= n;
        updateProgress(done);
        if (!running()) {
            done = 0;  // aborted: the caller deletes the file
            break;
        }
    }
    free(buffer);
    return done;
}

FILE* openOutputFile(SfxExtractor& sfx, const char* path)
{
    if (sfx.methodIndex == METHOD_LHD) {
        makeFolderChain(sfx, path);
        return nullptr;
    }
    FILE* output = sfx.host->openFile(path, "wb");
    if (!output) {
        makeFolderChain(sfx, path);
        output = sfx.host->openFile(path, "wb");
    }
    return output;
}

uint16_t decodeEntry(SfxExtractor& sfx, FILE* output, uint64_t originalSize, uint64_t packedSize,
                     const char* path, int32_t methodIndex)
{
    sfx.currentOutputPath.assign(path);
    decoder.corrupt = false;
    if (methodIndex == METHOD_LH0 || methodIndex == METHOD_LZ4) {
        // A stored member is its packed bytes. One that claims more would copy the members
        // behind it, as far as the file goes: it is damaged, and only its own bytes are kept.
        bool claimsMore = originalSize > packedSize;
        copyStored(sfx, output, claimsMore ? packedSize : originalSize);
        if (claimsMore) decoder.corrupt = true;
        return decoder.crc16;
    }
    decoder.availPhys = sfx.host->availablePhysicalMemory();
    DecodeJob job(sfx.ownFile, output, originalSize, packedSize,
                  dictBitsFor(methodIndex), (uint32_t)methodIndex, reportDecodeProgress, nullptr);
    job.run();
    return decoder.crc16;
}

// The member's path below the destination, cleaned and in UTF-8, whole whatever its length.
// Not on the stack, for the reason the header buffer is not (nor is memberHeader); it serves
// the one walk of the process.
char memberPath[MEMBER_PATH_BUFFER];

// Converts the member's name to UTF-8 into `path` (memberPath) and cleans it there: in UTF-8 a
// character before a colon is seen whatever the code page was, and so is a backslash that
// only the conversion made (EBCDIC stores it as 0xE0), which Windows takes for a separator.
// (The reader has turned the separators into '/' in the name's own code page, the only one
// in which a second byte 0x5C can be told from a backslash; no code page a name is stored
// in has '/', '.' or ':' inside a character, so nothing the cleaning looks for hides there.)
// A Unix symbolic link comes as a folder entry, or a member whose Unix mode says link, named
// "link|target": the path is cut at the '|' and cleaned, and `target` points behind it, in
// `path` too, as stored: cleaned, "../../x" would become "../x", another link; where it
// leads is for the host to judge. `target` is null for any other member.
// False when the name is not valid in its code page; `path` then holds a stand-in for
// messages, the cleaned name with every byte from 0x80 up shown as '?'.
bool nameMember(SfxExtractor& sfx, LhaEntryHeader& header, char* path, const char*& target)
{
    target = nullptr;
    if (!header.badName && sfx.host->decodeText(header.name, (uint32_t)strlen(header.name),
                                                header.codePage, path, MEMBER_PATH_BUFFER)) {
        slashBackslashes(path, (uint32_t)strlen(path), CODE_PAGE_UTF8);
#if !QUOR_SMALL
        // Windows has no place for a Unix link and refuses '|' in a name: the stub leaves the
        // name whole, and a folder entry "link|target" is passed over there as any folder
        // entry Windows cannot name. A loop, not strchr, which nothing else uses.
        char* bar = path;
        while (*bar && *bar != '|') ++bar;
        if (*bar && (header.unixLink || findMethod(header.methodId) == METHOD_LHD)) {
            *bar = 0;
            target = bar + 1;
        }
#endif
        cleanEntryPath(path, '/');
        return true;
    }
    cleanEntryPath(header.name, '/', header.codePage);
    uint32_t i = 0;
    for (; header.name[i]; ++i)
        path[i] = (uint8_t)header.name[i] >= 0x80 ? '?' : header.name[i];
    path[i] = 0;
    return false;
}

bool extractEntry(SfxExtractor& sfx, LhaEntryHeader& header, const char* path,
                  const char* linkTarget)
{
    if (linkTarget) {
        sfx.host->symbolicLink(path, linkTarget);
        return true;
    }
    // A member that is passed over does not stop the walk, but it is lost: the run has failed
    // and must not end in the completion actions as if all went well.
    int32_t index = findMethod(header.methodId);
    if (index < 0) {
        sfx.failed = 1;
        sfx.host->memberSkipped(path, SkipReason::unknownMethod);
        return true;
    }
    sfx.methodIndex = index;

    // On Windows a name that the system would change, or take for a device, is passed over
    // before anything is opened for it: its data would land in another file, or in a device,
    // as if written. A folder entry carries no data and is passed over without a word, as
    // one whose folder cannot be made.
    if (sfx.windowsNames && !storableOnWindows(path)) {
        if (index != METHOD_LHD) {
            sfx.failed = 1;
            sfx.host->memberSkipped(path, SkipReason::windowsName);
        }
        return true;
    }

    // Some archivers store a folder as an empty stored member whose name ends in a separator
    // (LHA for the Amiga does): make the folder as for a folder entry. With data behind it
    // such a name names no file, and the member is passed over.
    size_t length = strlen(path);
    if (index != METHOD_LHD && (length == 0 || path[length - 1] == '/')) {
        if (header.originalSize == 0) {
            if (length > 0) makeFolderChain(sfx, path);
            return true;
        }
        sfx.failed = 1;
        sfx.host->memberSkipped(path, SkipReason::notCreated);
        return true;
    }

    // An existing file of that name is replaced; a folder of that name is left alone.
    if (sfx.host->pathState(path) == PathState::notFolder) sfx.host->removeFile(path);

    FILE* output = openOutputFile(sfx, path);
    if (!output) {
        if (index != METHOD_LHD) {
            sfx.failed = 1;
            sfx.host->memberSkipped(path, SkipReason::notCreated);
        }
        return true;
    }

    uint16_t crc = decodeEntry(sfx, output, header.originalSize, header.packedSize, path, index);
    // A full disk must not pass for a good member: every failed write leaves the stream's
    // error indicator set, and fclose reports a failed final flush.
    bool written = !ferror(output);
    if (fclose(output) != 0) written = false;

    if (!running()) {
        sfx.host->removeFile(path);
        return false;
    }
    if (!written) {
        sfx.failed = 1;
        sfx.host->warnWriteFailed(path);
        return false;
    }
    if (decoder.corrupt || (header.hasCrc && crc != header.crc)) {
        sfx.failed = 1;
        sfx.host->warnDamaged(path);
        return false;  // the damaged file stays on disk
    }
    sfx.host->setFileTime(path, header.modificationTime);
    return true;
}

}  // namespace

LhaEntryHeader memberHeader;

bool startExtraction(SfxExtractor& sfx)
{
    if (!enterDestination(sfx, sfx.destination)) return false;
    return sfx.host->startThread(ExtractionThread, &sfx);
}

void ExtractionThread(void* argument)
{
    SfxExtractor& sfx = *(SfxExtractor*)argument;
    // Through registers, not by address at each use (a relocation entry each on i686).
    LhaEntryHeader& header = memberHeader;
    char* path = inRegister(memberPath);
    buildCrc16Table();
    resetProgress(sfx.host, sumOriginalSizes(sfx));

    while (readNextHeader(sfx, header)) {
        // Only the copy and the decoders poll the flag; members that write nothing (folders,
        // unknown methods) must not let the walk run on after an abort.
        if (!running()) {
            sfx.failed = 1;
            break;
        }
        int64_t dataStart = filePosition(sfx.ownFile);
        const char* linkTarget;
        if (!nameMember(sfx, header, path, linkTarget)) {
            // A name that is not valid in its code page is a damaged member: writing it
            // under a guessed name would be writing a different file. The walk goes on.
            sfx.failed = 1;
            sfx.host->warnDamaged(path);
        } else {
            sfx.host->entryName(path);
            if (!extractEntry(sfx, header, path, linkTarget)) {
                sfx.failed = 1;
                break;
            }
            notifyShell(sfx, ShellEvent::memberExtracted, path);
        }
        if (!skipPackedData(sfx, dataStart, header.packedSize)) {
            // The members behind it cannot be found, so they are lost, not absent.
            sfx.failed = 1;
            break;
        }
        finishedSize += header.originalSize;
    }
    sfx.host->walkEnded(!running());
}
