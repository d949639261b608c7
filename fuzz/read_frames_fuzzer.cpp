// libFuzzer target: frame reading on arbitrary bytes.
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = frameburst_fuzz::check_frame_reading(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "frame reading: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
