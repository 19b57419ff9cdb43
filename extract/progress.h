// Progress accounting: original bytes produced, turned into a bar position from 0 to 100.
#pragma once

#include <stdint.h>

#include "host.h"

// Totals and positions have 64 bits: an installer of 4 GiB and more is common.
extern uint64_t totalOriginalSize;  // the 100 % mark
extern uint64_t finishedSize;       // original sizes of the members already handled
extern uint32_t lastPercent;        // the last position sent to the bar
extern Host* progressBar;           // receives every new position

// Done counts for which the position equals lastPercent: [progressLow, progressLow +
// progressSpan). Lets the per-code call skip both divisions until the value can change.
extern uint64_t progressLow;
extern uint64_t progressSpan;

void resetProgress(Host* bar, uint64_t total);
void updateProgressSlow(uint64_t done);

// Called after every decoded code and every copied block with the bytes of the current
// member produced so far.
inline void updateProgress(uint64_t currentBytes)
{
    uint64_t done = finishedSize + currentBytes;
    if (done - progressLow < progressSpan) return;
    updateProgressSlow(done);
}

// The count of the current member's bytes from which on updateProgress may move the bar
// again (at least current + 1): a loop that makes many small pieces calls it only from there.
inline uint64_t progressDueAt(uint64_t current)
{
    if (progressSpan == UINT64_MAX) return UINT64_MAX;  // no total: the bar never moves
    // Every count is below 2^63 (a file position), so the signed difference cannot overflow.
    int64_t due = (int64_t)(progressLow + progressSpan - finishedSize);
    return due > (int64_t)current ? (uint64_t)due : current + 1;
}

#include <atomic>

// 1 at process start; the Abort button (or Ctrl-C) sets it to 0 and nothing sets it back.
// It carries no data, so relaxed loads suffice: a late read costs at most one more code.
extern std::atomic<int> RunFlag;

inline bool running() { return RunFlag.load(std::memory_order_relaxed) != 0; }

// The decoder's DecodeProgress for the walk: moves the bar with the current member's bytes
// and stops the member once RunFlag is 0. The context is not used (the counters are the
// process's).
uint64_t reportDecodeProgress(void* context, uint64_t produced);
