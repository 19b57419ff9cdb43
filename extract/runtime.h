// The few runtime-library services the core needs beyond stdio, written here so that the
// same code behaves the same on Windows and Linux: path splitting in the manner of
// _splitpath/_makepath and the local time-zone offset.
#pragma once

#include <stdint.h>
#include <stdio.h>

// `object`'s address, hidden from the compiler in a register. A function that works on a large
// static object reaches it by offsets from that register instead of naming its address in each
// instruction: on i686 every such instruction needs an entry in the relocation table of the
// movable stub, and most are longer. Use it where a function touches the object many times.
template <typename T>
inline T* inRegister(T* object)
{
#if defined(__GNUC__)
    __asm__("" : "+r"(object));
#endif
    return object;
}

const uint32_t PATH_PART = 256;  // each part of a split path, NUL included

// Splits the UTF-8 `path` into drive ("C:"), directory (up to and including the last '/' or '\'),
// file name and extension (from the last '.' of the last component). Each part is cut to
// PATH_PART - 1 bytes. Any output may be null.
void splitPath(const char* path, char* drive, char* dir, char* name, char* ext);

// File positions of 64 bits. A self-extractor of several GB is common for an installer, and
// `long`, which ftell and fseek use, holds 32 bits on Windows (even on x86_64): past 2 GiB
// they fail, and a walk that took that for the end of the archive would lose every member
// behind it. filePosition answers -1 on failure; seekFile seeks from the start of the file.
int64_t filePosition(FILE* file);
bool seekFile(FILE* file, int64_t offset);
// The length of the open file in bytes, -1 when unknown.
int64_t fileLength(FILE* file);

// Bounded copy: at most capacity - 1 bytes and always a terminator. False when cut.
bool copyText(char* out, uint32_t capacity, const char* text);

// copyText behind the text already in `out`, a buffer of `capacity` bytes in all.
bool appendText(char* out, uint32_t capacity, const char* text);
