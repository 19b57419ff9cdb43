#include "extract/runtime.h"

#include <string.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/stat.h>
#endif

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Copies `length` bytes of `from` into a PATH_PART buffer, cut to fit.
void takePart(char* out, const char* from, size_t length)
{
    if (!out) return;
    if (length > PATH_PART - 1) length = PATH_PART - 1;
    memcpy(out, from, length);
    out[length] = 0;
}

}  // namespace

bool copyText(char* out, uint32_t capacity, const char* text)
{
    if (capacity == 0) return false;
    size_t length = strlen(text);
    bool fits = length < capacity;
    if (!fits) length = capacity - 1;
    memcpy(out, text, length);
    out[length] = 0;
    return fits;
}

bool appendText(char* out, uint32_t capacity, const char* text)
{
    size_t used = strlen(out);
    return copyText(out + used, (uint32_t)(capacity - used), text);
}

void splitPath(const char* path, char* drive, char* dir, char* name, char* ext)
{
    // A drive is the first two characters when the second is a colon.
    const char* p = path;
    if (p[0] && p[1] == ':') {
        takePart(drive, p, 2);
        p += 2;
    } else {
        takePart(drive, p, 0);
    }
    // The directory runs to the last separator; the extension starts at the last dot after
    // it. Paths are UTF-8, where no byte of a multi-byte character is a separator or a dot.
    const char* lastSeparator = nullptr;
    const char* lastDot = nullptr;
    for (const char* q = p; *q; ++q) {
        if (isSeparator(*q)) lastSeparator = q;
        else if (*q == '.') lastDot = q;
    }
    const char* base = lastSeparator ? lastSeparator + 1 : p;
    const char* end = base + strlen(base);
    const char* dot = lastDot && lastDot >= base ? lastDot : end;
    takePart(dir, p, base - p);
    takePart(name, base, dot - base);
    takePart(ext, dot, end - dot);
}

#ifdef _WIN32
// msvcrt's fpos_t is the 64-bit byte offset itself. fgetpos and fsetpos are exported by every
// msvcrt.dll; mingw's _ftelli64 and _fseeki64 for it are routines of their own, built on these
// two and three more imports, which cost the stub about 500 bytes more.
static_assert(sizeof(fpos_t) == 8, "msvcrt's fpos_t is a 64-bit offset");
#endif

int64_t filePosition(FILE* file)
{
#ifdef _WIN32
    fpos_t position;
    return fgetpos(file, &position) == 0 ? (int64_t)position : -1;
#else
    static_assert(sizeof(off_t) >= 8, "file positions need 64 bits");
    return ftello(file);
#endif
}

bool seekFile(FILE* file, int64_t offset)
{
#ifdef _WIN32
    fpos_t position = offset;
    return fsetpos(file, &position) == 0;
#else
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}

int64_t fileLength(FILE* file)
{
#ifdef _WIN32
    return _filelengthi64(_fileno(file));
#else
    struct stat about;
    return fstat(fileno(file), &about) == 0 ? (int64_t)about.st_size : -1;
#endif
}

