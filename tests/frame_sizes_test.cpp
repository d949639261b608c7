// Frames on both sides of the reading thresholds: below and above 16 KiB of pixel bytes (small
// frames go through a large stream buffer, larger ones straight into the frame buffer) and beyond
// the first 1 MiB that the frame buffer grows by. Every frame must come out exact.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "his_synth.h"
#include "test_support.h"

namespace {

struct SizeCase {
    const char* name;
    int width;
    int height;
    int type;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.name << " (" << c.width << " x " << c.height << ", type " << c.type << ")";
}

class FrameSizes : public testing::TestWithParam<SizeCase> {};

TEST_P(FrameSizes, EveryFrameConvertsExactly) {
    const SizeCase c = GetParam();
    constexpr int FRAMES = 3;
    // An odd comment length puts the pixel bytes at an odd offset in the file.
    const std::string comment = "frame size test";
    const his_synth::Header h = his_synth::make_header(c.width, c.height, c.type, FRAMES);
    const test_support::Bytes file = his_synth::encode_sequence(h, comment, FRAMES);
    std::vector<std::vector<std::uint16_t>> expected;
    for (std::uint32_t k = 0; k < FRAMES; ++k) {
        expected.push_back(his_synth::delivered_pattern(h, k));
    }

    test_support::TempDir dir;
    test_support::write_file(dir.file("in.his"), file);
    const auto run = test_support::run_frameburst({dir.file("in.his")}, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(dir.entries(),
              (std::vector<std::string>{"a0001.tif", "a0002.tif", "a0003.tif", "in.his"}));
    for (int k = 0; k < FRAMES; ++k) {
        const auto t = test_support::read_tiff(dir.file("a000" + std::to_string(k + 1) + ".tif"));
        ASSERT_TRUE(t.opened);
        EXPECT_TRUE(t.messages.empty());
        EXPECT_EQ(t.samples, expected[static_cast<std::size_t>(k)]) << "frame " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AroundTheThresholds, FrameSizes,
    testing::Values(SizeCase{"small16", 90, 90, 2},     // 16200 bytes: under 16 KiB
                    SizeCase{"above16", 91, 91, 2},     // 16562 bytes: over
                    SizeCase{"small12", 105, 104, 6},   // 16380 bytes: under
                    SizeCase{"above12", 107, 103, 6},   // 16531 bytes, odd sample count: over
                    SizeCase{"large16", 1000, 700, 2},  // 1.4 MB: beyond the first 1 MiB
                    SizeCase{"large12", 999, 701, 6}),  // 1.05 MB, odd sample count
    [](const testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

}  // namespace
