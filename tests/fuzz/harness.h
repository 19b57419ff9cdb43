// The libFuzzer entry shared by every harness: a fault that a body reports ends the run like
// a sanitizer report, so libFuzzer keeps the input as a crash.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>

#define QUOR_FUZZ_TARGET(body)                                                  \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)    \
    {                                                                           \
        std::string fault = body;                                               \
        if (!fault.empty()) {                                                   \
            fprintf(stderr, "==quor-fuzz== FAULT: %s\n", fault.c_str());        \
            abort();                                                            \
        }                                                                       \
        return 0;                                                               \
    }
