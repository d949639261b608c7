// libFuzzer target: the whole conversion run on an arbitrary input file, in a scratch directory
// of its own under $TMPDIR (or /tmp).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz_checks.h"

namespace {

std::string g_scratch;

void remove_scratch() {
    std::error_code ec;
    std::filesystem::remove_all(g_scratch, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/frameburst-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_scratch = pattern;
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = frameburst_fuzz::check_conversion_run(data, size, g_scratch);
    if (!problem.empty()) {
        std::fprintf(stderr, "conversion run: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
