// Files cut short: every cut of a valid sequence ends with the message for the place of the cut
// and a failure status (a clean end only exactly at a frame boundary), every frame wholly before
// the cut is stored byte for byte as in the uncut run, and nothing else is left.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "conversion.h"
#include "his_synth.h"
#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::CapturedStream;
using test_support::InDirectory;
using test_support::TempDir;

struct Sequence {
    int type;
    int width;
    int height;
    int frames;
    std::string comment;

    std::size_t pixel_bytes() const {
        const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        return type == 6 ? 3 * n / 2 : 2 * n;
    }
    std::size_t frame_bytes() const { return 64 + comment.size() + pixel_bytes(); }

    Bytes bytes() const {
        return his_synth::encode_sequence(
            his_synth::make_header(width, height, type, static_cast<std::uint32_t>(frames)),
            comment, static_cast<std::uint32_t>(frames));
    }
};

struct RunResult {
    int status = 0;
    std::string out;
    std::string err;
    std::map<std::string, Bytes> files;  // every file the run left, by name
};

RunResult convert(const std::string& input) {
    TempDir dir;
    RunResult r;
    {
        InDirectory here(dir.path());
        CapturedStream out, err;
        const char* argv[] = {"frameburst", input.c_str(), nullptr};
        r.status = frameburst::run_frameburst(2, argv, out.get(), err.get());
        r.out = out.text();
        r.err = err.text();
    }
    for (const auto& name : dir.entries()) {
        r.files[name] = test_support::read_file(dir.file(name));
    }
    return r;
}

std::string tiff_name(std::size_t k) {
    char name[32];
    std::snprintf(name, sizeof name, "a%04zu.tif", k + 1);
    return name;
}

// Runs the conversion on the first `cut` bytes of `full` and checks everything about its end.
void expect_cut(const Sequence& seq, const Bytes& full, std::size_t cut,
                const std::map<std::string, Bytes>& uncut, const TempDir& inputs) {
    SCOPED_TRACE(testing::Message() << "type " << seq.type << ", cut at " << cut);
    const std::string input = inputs.file("cut.his");
    test_support::write_file(input,
                             Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
    const RunResult r = convert(input);

    const std::size_t comment = seq.comment.size();
    const std::size_t whole = cut / seq.frame_bytes();
    const std::size_t rest = cut % seq.frame_bytes();
    std::string out;
    std::string err;
    int status = -1;
    if (cut < 64) {
        out = "something wrong -- return value is -21";
        err = "Error [his header 64bytes]t\n";
    } else if (cut < 64 + comment) {
        out = "something wrong -- return value is -13";
        err = "EOF found (comment)\n";
    } else {
        out = (seq.type == 6 ? "12 bits " : "16 bits ") + std::to_string(seq.frames) +
              " images\nreading " + input + ".\n";
        for (std::size_t k = 0; k < whole; ++k) {
            out += tiff_name(k) + " \r";
        }
        if (rest == 0) {
            status = 0;
            out += "\n";
        } else {
            out += "something wrong -- return value is -1";
            if (rest < 64) {
                err = "EOF in input file (header)\n";
            } else if (rest < 64 + comment) {
                err = "EOF found (comment)\n";
            } else {
                const std::size_t bytes = rest - 64 - comment;
                err =
                    " Error reading at " + std::to_string(seq.type == 6 ? bytes : bytes / 2) + "\n";
            }
        }
    }
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    const std::size_t stored = cut < 64 + comment ? 0 : whole;
    ASSERT_EQ(r.files.size(), stored) << "only the whole frames before the cut are stored";
    for (std::size_t k = 0; k < stored; ++k) {
        const auto found = r.files.find(tiff_name(k));
        ASSERT_NE(found, r.files.end()) << tiff_name(k);
        EXPECT_TRUE(found->second == uncut.at(tiff_name(k))) << tiff_name(k) << " differs";
    }
}

TEST(Truncation, EveryCutOfSmallSequences) {
    const Sequence sequences[] = {
        {2, 5, 3, 3, "cut"},
        {6, 5, 3, 3, "cut"},  // 15 packed 12-bit samples: 22 bytes, the last byte half a sample
    };
    for (const Sequence& seq : sequences) {
        TempDir inputs;
        const Bytes full = seq.bytes();
        ASSERT_EQ(full.size(), 3 * seq.frame_bytes());
        test_support::write_file(inputs.file("full.his"), full);
        const RunResult uncut = convert(inputs.file("full.his"));
        ASSERT_EQ(uncut.status, 0);
        ASSERT_EQ(uncut.files.size(), 3u);
        for (std::size_t cut = 0; cut <= full.size(); ++cut) {
            expect_cut(seq, full, cut, uncut.files, inputs);
            if (testing::Test::HasFailure()) {
                return;  // one cut's report says it all
            }
        }
    }
}

// Frames larger than the reader's first 1 MiB request, cut around the places where its buffer
// grows, in the first frame and in the second, which reuses the grown buffer.
TEST(Truncation, CutsAroundTheReadersBufferGrowth) {
    const Sequence sequences[] = {
        {2, 1024, 520, 2, "large"},  // 1,064,960 pixel bytes
        {6, 1023, 701, 2, "large"},  // 717,123 samples, odd: 1,075,684 pixel bytes
    };
    for (const Sequence& seq : sequences) {
        TempDir inputs;
        const Bytes full = seq.bytes();
        test_support::write_file(inputs.file("full.his"), full);
        const RunResult uncut = convert(inputs.file("full.his"));
        ASSERT_EQ(uncut.status, 0);
        ASSERT_EQ(uncut.files.size(), 2u);
        const std::size_t mib = std::size_t{1} << 20;
        for (std::size_t frame = 0; frame < 2; ++frame) {
            const std::size_t pixels = frame * seq.frame_bytes() + 64 + seq.comment.size();
            for (std::size_t offset :
                 {std::size_t{0}, std::size_t{1}, mib - 1, mib, mib + 1, seq.pixel_bytes() - 1}) {
                expect_cut(seq, full, pixels + offset, uncut.files, inputs);
            }
        }
    }
}

}  // namespace
