// The 12-bit unpack: every implementation this processor can run against the byte rule of the
// format, over lengths that end in every phase of the vector steps.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "his_reader.h"
#include "unpack_12bit.h"

namespace {

using frameburst::Unpack12Kernel;

// The format's rule, walking the bytes: at j mod 3 == 0 the sample b[j] b[j+1]>>4 (with 0 for a
// missing b[j+1]), at j mod 3 == 2 the sample (b[j-1] & 0xF) b[j].
std::vector<std::uint16_t> reference(const std::vector<std::uint8_t>& b) {
    std::vector<std::uint16_t> s;
    for (std::size_t j = 0; j < b.size(); ++j) {
        if (j % 3 == 0) {
            const int next = j + 1 < b.size() ? b[j + 1] >> 4 : 0;
            s.push_back(static_cast<std::uint16_t>((b[j] << 4) | next));
        } else if (j % 3 == 2) {
            s.push_back(static_cast<std::uint16_t>(((b[j - 1] & 0x0F) << 8) | b[j]));
        }
    }
    return s;
}

class UnpackKernel : public testing::TestWithParam<Unpack12Kernel> {};

TEST_P(UnpackKernel, KnownGroups) {
    const std::vector<std::uint8_t> bytes{0xFF, 0xF0, 0x0F, 0x12, 0x34, 0x56, 0xAB, 0xCD};
    std::vector<std::uint16_t> samples(frameburst::unpacked_sample_count(bytes.size()));
    frameburst::unpack_12bit_with(GetParam(), bytes.data(), bytes.size(), samples.data());
    EXPECT_EQ(samples, (std::vector<std::uint16_t>{0xFFF, 0x00F, 0x123, 0x456, 0xABC}));
}

// Every length from 0 to 400 bytes and a few around a frame's size, random bytes, each input in
// a buffer of exactly its length (so the sanitizer build catches a read beyond it) and the output
// followed by guard samples that must stay untouched.
TEST_P(UnpackKernel, MatchesTheByteRuleAtEveryLength) {
    std::mt19937 random(12);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 400; ++n) {
        lengths.push_back(n);
    }
    for (std::size_t n : {3 * 1024 * 1024 / 2 - 1, 3 * 1024 * 1024 / 2, 3 * 1024 * 1024 / 2 + 1}) {
        lengths.push_back(n);
    }
    constexpr std::uint16_t GUARD = 0xBEEF;
    for (std::size_t n : lengths) {
        std::vector<std::uint8_t> bytes(n);
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(random());
        }
        const std::vector<std::uint16_t> expected = reference(bytes);
        ASSERT_EQ(expected.size(), frameburst::unpacked_sample_count(n));
        std::vector<std::uint16_t> samples(expected.size() + 16, GUARD);
        frameburst::unpack_12bit_with(GetParam(), bytes.data(), n, samples.data());
        const std::vector<std::uint16_t> produced(samples.begin(),
                                                  samples.begin() + expected.size());
        ASSERT_EQ(produced, expected) << n << " bytes";
        for (std::size_t i = expected.size(); i < samples.size(); ++i) {
            ASSERT_EQ(samples[i], GUARD) << n << " bytes: written beyond sample " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, UnpackKernel,
                         testing::ValuesIn(frameburst::unpack_12bit_kernels()),
                         [](const testing::TestParamInfo<Unpack12Kernel>& info) {
                             return std::string(frameburst::unpack_12bit_kernel_name(info.param));
                         });

// unpack_12bit itself uses one of the implementations above.
TEST(Unpack, UsesTheFastestKernelThisProcessorRuns) {
    const auto kernels = frameburst::unpack_12bit_kernels();
    EXPECT_EQ(frameburst::unpack_12bit_kernel(), kernels.back());
    const std::vector<std::uint8_t> bytes{0x12, 0x34, 0x56};
    std::uint16_t samples[2] = {};
    frameburst::unpack_12bit(bytes.data(), bytes.size(), samples);
    EXPECT_EQ(samples[0], 0x123);
    EXPECT_EQ(samples[1], 0x456);
}

}  // namespace
