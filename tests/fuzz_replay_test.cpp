// The fuzz targets' seed corpus and every input a fuzzer ever found a fault with, replayed through
// the targets' own checks in the ordinary build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "test_support.h"

namespace {

std::vector<std::string> inputs_in(const std::string& dir) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        if (e.is_regular_file() && e.path().extension() != ".md") {
            paths.push_back(e.path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(FuzzReplay, CorpusAndRegressions) {
    const std::string fuzz_dir = std::string(FRAMEBURST_SOURCE_DIR) + "/fuzz";
    std::vector<std::string> paths = inputs_in(fuzz_dir + "/corpus");
    ASSERT_FALSE(paths.empty()) << "no seed corpus in " << fuzz_dir;
    const std::vector<std::string> regressions = inputs_in(fuzz_dir + "/regressions");
    paths.insert(paths.end(), regressions.begin(), regressions.end());

    test_support::TempDir scratch;
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const test_support::Bytes bytes = test_support::read_file(path);
        EXPECT_EQ(frameburst_fuzz::check_frame_reading(bytes.data(), bytes.size()), "");
        EXPECT_EQ(frameburst_fuzz::check_conversion_run(bytes.data(), bytes.size(), scratch.path()),
                  "");
    }
}

}  // namespace
