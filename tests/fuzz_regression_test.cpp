// Replays every input that ever made a fuzz harness fail (tests/fuzz/regressions/<harness>/)
// through the same body the harness runs, so a fault once fixed stays fixed in the ordinary
// unit runs, sanitizers included under host-asan.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/targets.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsOf(const std::string& harness)
{
    std::vector<fs::path> inputs;
    fs::path folder = fs::path(QUOR_SOURCE_DIR) / "tests" / "fuzz" / "regressions" / harness;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

std::string bytesOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <class Body>
void replay(const std::string& harness, Body body)
{
    std::vector<fs::path> inputs = inputsOf(harness);
    if (inputs.empty()) GTEST_SKIP() << "no regression inputs for " << harness;
    for (const fs::path& input : inputs) {
        std::string bytes = bytesOf(input);
        EXPECT_EQ("", body((const uint8_t*)bytes.data(), bytes.size())) << input.filename();
    }
}

TEST(FuzzRegressions, headersReadAndCleanedInsideTheDestination)
{
    replay("headers", fuzz::headers);
}

TEST(FuzzRegressions, wholeWalkWritesOnlyInsideTheDestination)
{
    replay("extract", fuzz::extract);
}

TEST(FuzzRegressions, staticHuffmanMembersStayInBounds)
{
    replay("block", [](const uint8_t* d, size_t n) { return fuzz::decode(fuzz::BLOCK, d, n); });
}

TEST(FuzzRegressions, lh3MembersStayInBounds)
{
    replay("lh3", [](const uint8_t* d, size_t n) { return fuzz::decode(fuzz::LH3, d, n); });
}

TEST(FuzzRegressions, adaptiveHuffmanMembersStayInBounds)
{
    replay("adaptive", [](const uint8_t* d, size_t n) { return fuzz::decode(fuzz::ADAPTIVE, d, n); });
}

TEST(FuzzRegressions, larcMembersStayInBounds)
{
    replay("larc", [](const uint8_t* d, size_t n) { return fuzz::decode(fuzz::LARC, d, n); });
}

}  // namespace
