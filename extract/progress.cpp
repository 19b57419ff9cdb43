#include "extract/progress.h"

uint64_t totalOriginalSize;
uint64_t finishedSize;
uint32_t lastPercent;
Host* progressBar;
uint64_t progressLow;
uint64_t progressSpan;
std::atomic<int> RunFlag{1};

void resetProgress(Host* bar, uint64_t total)
{
    progressBar = bar;
    totalOriginalSize = total;
    finishedSize = 0;
    lastPercent = 0;
    progressLow = 0;
    progressSpan = 0;  // the first call computes
}

// The position is done * 100 / total for totals up to 1000, and done / (total / 100) above,
// with truncating division. The second form never multiplies, so it cannot overflow; its
// truncated divisor lets the value pass 100 near the end (a total of 1099 ends at 109), which
// the bar shows as full. A total of 4 GiB or more is first shifted right, with the done count,
// until it fits 32 bits: the divisions stay 32-bit (i686 has no 64-bit division instruction,
// and the stub links no routine for one), and a step of the bar is still a hundredth of the
// total.
void updateProgressSlow(uint64_t done)
{
    if (totalOriginalSize == 0) {
        progressLow = 0;
        progressSpan = UINT64_MAX;  // the bar never moves
        return;
    }
    uint32_t value;
    if (totalOriginalSize <= 1000) {
        value = (uint32_t)done * 100 / (uint32_t)totalOriginalSize;
        progressSpan = 0;  // small totals: compute every time, it is cheap and exact
    } else {
        uint32_t shift = 0;
        while (totalOriginalSize >> shift > UINT32_MAX) ++shift;
        uint32_t divisor = (uint32_t)(totalOriginalSize >> shift) / 100;
        // done never exceeds the total, so its shifted count fits 32 bits too.
        value = (uint32_t)(done >> shift) / divisor;
        // Every done count in [value * divisor, value * divisor + divisor), scaled back by
        // the shift, gives this value.
        progressLow = (uint64_t)(value * divisor) << shift;
        progressSpan = (uint64_t)divisor << shift;
    }
    if (value == lastPercent) return;
    lastPercent = value;
    progressBar->barPosition(value);
}

uint64_t reportDecodeProgress(void*, uint64_t produced)
{
    updateProgress(produced);
    if (!running()) return 0;
    return progressDueAt(produced);  // never 0, which would read as Abort
}
