// Bar positions from byte counts: one message per distinct value, 32-bit arithmetic.
#include <gtest/gtest.h>

#include <vector>

#include "extract/progress.h"
#include "support/fake_host.h"

namespace {

std::vector<std::string> barsFor(uint32_t total, const std::vector<uint32_t>& counts,
                                 uint32_t finished = 0)
{
    FakeHost host;
    resetProgress(&host, total);
    finishedSize = finished;
    for (uint32_t c : counts) updateProgress(c);
    resetProgress(nullptr, 0);  // the host is local: no later test may report to it
    return host.calls;
}

using Bars = std::vector<std::string>;

}  // namespace

TEST(Progress, SmallTotalsUseTheExactRatio)
{
    EXPECT_EQ(barsFor(3, {1, 2, 3}), (Bars{"bar 33", "bar 66", "bar 100"}));
    EXPECT_EQ(barsFor(1000, {999}), (Bars{"bar 99"}));
    EXPECT_EQ(barsFor(0, {0, 5, 100000}), Bars{});  // nothing to count: the bar never moves
}

TEST(Progress, LargeTotalsDivideByAHundredthAndMayPassAHundred)
{
    EXPECT_EQ(barsFor(1001, {1001}), (Bars{"bar 100"}));
    EXPECT_EQ(barsFor(1099, {1000, 1099}), (Bars{"bar 100", "bar 109"}));
    EXPECT_EQ(barsFor(250000, {2499}), Bars{});  // still 0, which the bar already shows
    EXPECT_EQ(barsFor(250000, {2499, 2500}), (Bars{"bar 1"}));
}

// Installers of 4 GiB and more: the bar goes through every hundredth once, in order, and
// ends at 100, wherever the members begin.
TEST(Progress, TotalsPastFourGiBMoveEvenlyToAHundred)
{
    for (uint64_t total : {(4ull << 30) + 21, (6ull << 30) + 7, 1ull << 40}) {
        FakeHost host;
        resetProgress(&host, total);
        const uint64_t member = total / 3, step = total / 10007;
        for (uint64_t m = 0; m < 3; ++m) {  // three members, the last takes the rest
            finishedSize = m * member;
            uint64_t size = m < 2 ? member : total - 2 * member;
            for (uint64_t done = 0; done < size; done += step) updateProgress(done);
            updateProgress(size);
        }
        resetProgress(nullptr, 0);
        ASSERT_EQ(host.calls.size(), 100u) << total;
        for (uint32_t i = 0; i < 100; ++i) EXPECT_EQ(host.calls[i], "bar " + std::to_string(i + 1));
    }
}

TEST(Progress, OneMessagePerDistinctValue)
{
    std::vector<uint32_t> everyByte;
    for (uint32_t i = 1; i <= 100000; ++i) everyByte.push_back(i);
    Bars bars = barsFor(100000, everyByte);
    ASSERT_EQ(bars.size(), 100u);
    EXPECT_EQ(bars.front(), "bar 1");
    EXPECT_EQ(bars.back(), "bar 100");
}

TEST(Progress, CountsRestartPerMemberOnTopOfTheFinishedSize)
{
    EXPECT_EQ(barsFor(2000, {0, 400}, 1000), (Bars{"bar 50", "bar 70"}));
    // A count that goes back (a member that overshot, then the next one) is sent again.
    FakeHost host;
    resetProgress(&host, 10000);
    updateProgress(5000);
    finishedSize = 1000;
    updateProgress(0);
    resetProgress(nullptr, 0);
    EXPECT_EQ(host.calls, (Bars{"bar 50", "bar 10"}));
}
