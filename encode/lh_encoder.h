// The LZH encoder of the tool: one member's bytes in, its -lh5-, -lh6- or -lh7- packed data
// out, in the block format that decode/block.cpp reads. Linked by the tool only, never by the
// stub.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// A shortest-path parse with a short match search: quicker than jlha and a few per cent
// smaller.
const int ENCODER_DEFAULT_LEVEL = 6;

struct EncoderSettings {
    int dictionaryBits;  // 13 (-lh5-), 15 (-lh6-), 16 (-lh7-)
    int level;           // 1 (fastest) .. 9 (smallest)
    // Threads that code the segments of one member at once (levels 4-9); the packed data
    // are the same for every number.
    int threads = 1;
};

// Turns one member's bytes into its packed -lh5-/-lh6-/-lh7- data, streaming: memory is
// bounded whatever the input size (at most 64 MiB for each thread).
class LhEncoder {
public:
    using Sink = std::function<void(const uint8_t* data, size_t size)>;
    LhEncoder(const EncoderSettings& settings, Sink sink);
    ~LhEncoder();
    LhEncoder(const LhEncoder&) = delete;
    LhEncoder& operator=(const LhEncoder&) = delete;

    void write(const uint8_t* data, size_t size);  // any chunking, any number of calls
    void finish();                                 // last block, last bits; call once
    uint64_t packedSize() const;                   // bytes given to the sink so far

    // A thread keeps the tables of its last member for its next one (tens of MiB at the
    // higher levels); this frees them, for a thread that will pack nothing for a while. A
    // thread of the caller's own that packed a member calls it before it ends, or they leak.
    static void releaseThreadTables();

    struct State;

private:
    std::unique_ptr<State> state;
};
