// Seeds for the harnesses, made from real archives so that every harness starts from inputs
// the core accepts and the fuzzer mutates from there.
//
//   fuzz_seeds content DIR            writes the member contents the archive generator packs
//   fuzz_seeds split OUT ARCHIVE...   writes OUT/<harness>/<n> for every harness: the archive
//                                     with and without a configuration block, and each
//                                     compressed member's packed data for its decoder
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "decode/frame.h"
#include "extract/extraction.h"
#include "extract/header_reader.h"
#include "extract/sfx_extractor.h"
#include "fuzz/targets.h"

namespace {

bool writeFile(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::string readFile(const std::string& path)
{
    std::string bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
        fclose(f);
    }
    return bytes;
}

uint32_t nextRandom(uint32_t& state)
{
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

// Text with matches near and far back, random bytes, long runs: each drives other codes.
int content(const std::string& dir)
{
    static const char* const words[] = {"archive", "member", "header", "level", "stub", "folder",
                                        "extract", "decode", "table", "bits", "the", "of", "a"};
    uint32_t state = 1;
    std::string text;
    while (text.size() < 24000) {
        text += words[nextRandom(state) % 13];
        text += nextRandom(state) % 9 == 0 ? ".\n" : " ";
    }
    std::string random;
    for (int i = 0; i < 3000; ++i) random += (char)nextRandom(state);
    std::string runs;
    for (int i = 0; i < 40; ++i) runs += std::string(1 + nextRandom(state) % 300, (char)(nextRandom(state) % 4));
    bool ok = writeFile(dir + "/text.txt", text) && writeFile(dir + "/short.txt", text.substr(0, 700)) &&
              writeFile(dir + "/random.bin", random) && writeFile(dir + "/runs.bin", runs) &&
              writeFile(dir + "/empty", "");
    return ok ? 0 : 1;
}

const char* familyOf(uint32_t method, uint8_t& selector)
{
    switch (method) {
    case METHOD_LH1: selector = 0; return "adaptive";
    case METHOD_LH2: selector = 1; return "adaptive";
    case METHOD_LH3: selector = 0; return "lh3";
    case METHOD_LH4: case METHOD_LH5: case METHOD_LH6: case METHOD_LH7:
        selector = (uint8_t)(method - METHOD_LH4);
        return "block";
    case METHOD_LZS: selector = 0; return "larc";
    case METHOD_LZ5: selector = 1; return "larc";
    default: return nullptr;
    }
}

// A configuration block that names a relative destination and offers every shortcut.
std::string configurationBlock()
{
    std::string block(1, '\1');
    auto text = [&](const std::string& t) { block += (char)t.size(); block += t; };
    text("Setup");
    block += '\0';
    text("Quor\\Setup");
    text("docs\\readme.txt");
    block += "\3\1\3";
    text("readme.txt");
    text("Readme");
    return block;
}

int split(const std::string& out, const std::vector<std::string>& archives)
{
    for (const char* h : {"headers", "block", "lh3", "adaptive", "larc", "extract"})
        mkdir((out + "/" + h).c_str(), 0777);
    int counter = 0;
    auto emit = [&](const char* harness, const std::string& bytes) {
        writeFile(out + "/" + harness + "/seed-" + std::to_string(counter++), bytes);
    };
    for (const std::string& path : archives) {
        std::string archive = readFile(path);
        if (archive.empty()) continue;
        emit("headers", std::string(1, '\x80') + archive);
        emit("headers", std::string(1, '\x10') + configurationBlock() + archive);
        emit("extract", std::string(1, '\xFF') + archive);
        emit("extract", std::string(1, '\x32') + archive);

        fuzz::QuietHost host;
        SfxExtractor sfx(&host);
        sfx.ownFile = fopen(path.c_str(), "rb");
        if (!sfx.ownFile) continue;
        LhaEntryHeader header;
        while (readEntryHeader(sfx, header)) {
            long dataStart = ftell(sfx.ownFile);
            if (dataStart < 0) break;
            uint8_t selector = 0;
            int32_t method = findMethod(header.methodId);
            const char* family = method < 0 ? nullptr : familyOf((uint32_t)method, selector);
            if (family && (uint64_t)dataStart + header.packedSize <= archive.size()) {
                uint32_t original = header.originalSize > fuzz::MAX_ORIGINAL ? fuzz::MAX_ORIGINAL
                                                                              : header.originalSize;
                std::string seed;
                seed += (char)selector;
                seed += (char)(original & 0xFF);
                seed += (char)(original >> 8 & 0xFF);
                seed += (char)(original >> 16 & 0xFF);
                seed += '\0';  // packed size as stored
                seed += '\0';  // read-ahead as large as the member
                seed += archive.substr((size_t)dataStart, header.packedSize);
                emit(family, seed);
                // The same data under a size it cannot make: the packed data must end it.
                seed[0] = (char)(selector | fuzz::CLAIMED_SIZE);
                seed[3] = (char)0xFF;
                emit(family, seed);
            }
            if (!skipPackedData(sfx, dataStart, header.packedSize)) break;
        }
    }
    printf("fuzz_seeds: %d seeds from %zu archives\n", counter, archives.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "content" && argc == 3) return content(argv[2]);
    if (mode == "split" && argc >= 3) return split(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    fprintf(stderr, "usage: fuzz_seeds content DIR | fuzz_seeds split OUT ARCHIVE...\n");
    return 2;
}
