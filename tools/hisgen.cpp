// hisgen: writes a synthetic HIS sequence for tests, demos and benchmarks.
//
//   hisgen OUTPUT --frames N --width W --height H [--type 2|6] [--announce N] [--comment TEXT]
//
// Every frame carries the same comment and the pattern of his_synth::pattern. --announce sets the
// frame count stored in the headers (default: the number of frames written).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "his_synth.h"

namespace {

void usage() {
    std::fputs(
        "usage: hisgen OUTPUT --frames N --width W --height H [--type 2|6] [--announce N]"
        " [--comment TEXT]\n",
        stderr);
}

bool parse_number(const char* text, long long low, long long high, long long& value) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) {
        return false;
    }
    value = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    const char* output = argv[1];
    long long frames = -1, width = -1, height = -1, type = 2, announce = -1;
    std::string comment;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        const std::string opt = argv[i];
        const char* val = argv[i + 1];
        bool ok = true;
        if (opt == "--frames") {
            ok = parse_number(val, 0, 0xFFFFFFFFLL, frames);
        } else if (opt == "--width") {
            ok = parse_number(val, 1, 32767, width);
        } else if (opt == "--height") {
            ok = parse_number(val, 1, 32767, height);
        } else if (opt == "--type") {
            ok = parse_number(val, 2, 6, type) && (type == 2 || type == 6);
        } else if (opt == "--announce") {
            ok = parse_number(val, 0, 0xFFFFFFFFLL, announce);
        } else if (opt == "--comment") {
            comment = val;
            ok = comment.size() <= 32767;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "hisgen: bad option %s %s\n", opt.c_str(), val);
            usage();
            return 2;
        }
    }
    if (frames < 0 || width < 0 || height < 0) {
        usage();
        return 2;
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(output, "wb"), &std::fclose);
    if (!out) {
        std::fprintf(stderr, "hisgen: cannot create %s: %s\n", output, std::strerror(errno));
        return 1;
    }
    his_synth::Header h;
    h.width = static_cast<std::int16_t>(width);
    h.height = static_cast<std::int16_t>(height);
    h.pixel_type = static_cast<std::int16_t>(type);
    h.frame_count = static_cast<std::uint32_t>(announce >= 0 ? announce : frames);
    for (long long k = 0; k < frames; ++k) {
        const auto samples = his_synth::pattern(static_cast<int>(width), static_cast<int>(height),
                                                static_cast<std::uint32_t>(k), type == 6);
        const auto bytes = his_synth::encode_frame(h, comment, samples);
        if (std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size()) {
            std::fprintf(stderr, "hisgen: cannot write %s: %s\n", output, std::strerror(errno));
            return 1;
        }
    }
    if (std::fclose(out.release()) != 0) {
        std::fprintf(stderr, "hisgen: cannot write %s: %s\n", output, std::strerror(errno));
        return 1;
    }
    return 0;
}
