// The stubs the tool carries inside itself (written into the build by
// cmake/embed_stubs.cmake from the win64 and win32 builds of ui/), so that `quorsfx make`
// works wherever the tool lies, with no stub file beside it.
#pragma once

#include <cstddef>
#include <string>

struct EmbeddedStub {
    const char* arch;  // the name --arch takes: "x86_64" (the default) or "x86"
    const unsigned char* bytes;
    size_t size;
};

extern const EmbeddedStub EMBEDDED_STUBS[];
extern const size_t EMBEDDED_STUB_COUNT;

// The stub for `arch`, or nullptr when the tool carries none of that name.
inline const EmbeddedStub* embeddedStub(const std::string& arch)
{
    for (size_t i = 0; i < EMBEDDED_STUB_COUNT; ++i)
        if (arch == EMBEDDED_STUBS[i].arch) return &EMBEDDED_STUBS[i];
    return nullptr;
}
