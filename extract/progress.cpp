#include "extract/progress.h"

uint32_t totalOriginalSize;
uint32_t finishedSize;
uint32_t lastPercent;
Host* progressBar;
uint32_t progressLow;
uint32_t progressSpan;
std::atomic<int> RunFlag{1};

void resetProgress(Host* bar, uint32_t total)
{
    progressBar = bar;
    totalOriginalSize = total;
    finishedSize = 0;
    lastPercent = 0;
    progressLow = 0;
    progressSpan = 0;  // the first call computes
}

// The position is done * 100 / total for totals up to 1000, and done / (total / 100) above;
// all in 32-bit unsigned arithmetic with truncating division. The second form never
// multiplies, so it cannot overflow; its truncated divisor lets the value pass 100 near the
// end (a total of 1099 ends at 109), which the bar shows as full.
void updateProgressSlow(uint32_t done)
{
    if (totalOriginalSize == 0) {
        progressLow = 0;
        progressSpan = UINT32_MAX;  // the bar never moves
        return;
    }
    uint32_t value;
    if (totalOriginalSize <= 1000) {
        value = done * 100 / totalOriginalSize;
        progressSpan = 0;  // small totals: compute every time, it is cheap and exact
    } else {
        uint32_t divisor = totalOriginalSize / 100;
        value = done / divisor;
        // Every done count in [value * divisor, value * divisor + divisor) gives this value.
        progressLow = value * divisor;
        progressSpan = divisor;
    }
    if (value == lastPercent) return;
    lastPercent = value;
    progressBar->barPosition(value);
}

uint32_t reportDecodeProgress(void*, uint32_t produced)
{
    updateProgress(produced);
    if (!running()) return 0;
    uint32_t due = progressDueAt(produced);
    return due == 0 ? UINT32_MAX : due;  // 0 would read as Abort
}
