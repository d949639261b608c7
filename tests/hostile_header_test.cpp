// Headers that claim what the file does not hold: the largest frames, negative and zero sizes,
// extreme comment lengths and frame counts. Each gets its message and exit status, and the
// program's peak memory follows the bytes present, not the sizes claimed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "his_synth.h"
#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

struct Frame {
    int width = 2;
    int height = 2;
    int type = 2;
    int comment_length = 0;
    std::uint32_t count = 1;
    std::size_t bytes_behind = 0;  // bytes after the header, whatever the header claims
};

Bytes encode(const Frame& f) {
    his_synth::Header h = his_synth::make_header(f.width, f.height, f.type, f.count);
    h.comment_length = static_cast<std::int16_t>(f.comment_length);
    Bytes b = his_synth::encode_header(h);
    b.resize(b.size() + f.bytes_behind, 0x5A);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A whole, valid 2 x 2 frame of 16-bit samples with a comment of `comment_length` bytes.
Bytes valid_frame(int comment_length = 0) {
    return encode(Frame{2, 2, 2, comment_length, 1, std::size_t(comment_length) + 8});
}

constexpr int MAX = 32767;
constexpr std::size_t MIB = std::size_t{1} << 20;

TEST(HostileHeaders, MessagesStatusesAndMemory) {
    const std::string head16 = "16 bits 1 images\nreading in.his.\n";
    const std::string head12 = "12 bits 1 images\nreading in.his.\n";
    const std::string wrong = "something wrong -- return value is ";
    struct Case {
        const char* name;
        Bytes input;
        int status;
        std::string out;
        std::string err;
        std::size_t tiffs;
    };
    const Case cases[] = {
        // 200-byte files announcing frames of 2 GiB and 1.5 GiB.
        {"largest 16-bit frame, 136 bytes behind", encode({MAX, MAX, 2, 0, 1, 136}), 255,
         head16 + wrong + "-1", " Error reading at 68\n", 0},
        {"largest 12-bit frame, 136 bytes behind", encode({MAX, MAX, 6, 0, 1, 136}), 255,
         head12 + wrong + "-1", " Error reading at 136\n", 0},
        {"largest frame, longest comment, count 2^32 - 1",
         encode({MAX, MAX, 2, MAX, 0xFFFFFFFFu, MAX + 1001}), 255,
         "16 bits -1 images\nreading in.his.\n" + wrong + "-1", " Error reading at 500\n", 0},
        {"largest 12-bit frame, count 2^32 - 1, 3 bytes behind",
         encode({MAX, MAX, 6, 0, 0xFFFFFFFFu, 3}), 255,
         "12 bits -1 images\nreading in.his.\n" + wrong + "-1", " Error reading at 3\n", 0},
        {"most negative sizes", encode({-32768, -32768, 2, 0, 1, 100}), 1, head16,
         "cell memory allocation error (1).\n", 0},
        {"negative width", encode({-1, MAX, 6, 0, 1, 100}), 1, head12,
         "cell memory allocation error (2).\n", 0},
        {"zero height", encode({MAX, 0, 2, 0, 1, 100}), 1, head16,
         "in.his: the first frame is 32767 x 0 samples and holds no image.\n", 0},
        {"zero width, negative height", encode({0, -1, 2, 0, 1, 100}), 1, head16,
         "cell memory allocation error (1).\n", 0},
        {"comment length -32768", encode({2, 2, 2, -32768, 1, 100}), 255, wrong + "-12",
         "Connot allocate memory (HIS_Header.comment)\n", 0},
        {"comment length -1", encode({2, 2, 2, -1, 1, 100}), 255, wrong + "-12",
         "Connot allocate memory (HIS_Header.comment)\n", 0},
        {"comment length 0", valid_frame(0), 0, head16 + "a0001.tif \r\n", "", 1},
        {"comment length 32767", valid_frame(MAX), 0, head16 + "a0001.tif \r\n", "", 1},
        {"comment length 32767, 100 bytes behind", encode({2, 2, 2, MAX, 1, 100}), 255,
         wrong + "-13", "EOF found (comment)\n", 0},
        // The same claims in a later frame, after a whole first one.
        {"second frame the largest", valid_frame() + encode({MAX, MAX, 2, 0, 1, 136}), 255,
         head16 + "a0001.tif \r" + wrong + "-1",
         "Frame of 32767 x 32767, pixel type 2, differs from the first frame (2 x 2, pixel type "
         "2).\n",
         1},
        {"second frame's comment length -32768", valid_frame() + encode({2, 2, 2, -32768, 1, 8}),
         255, head16 + "a0001.tif \r" + wrong + "-1",
         "Connot allocate memory (HIS_Header.comment)\n", 1},
        {"second frame's comment length 32767, 10 bytes behind",
         valid_frame() + encode({2, 2, 2, MAX, 1, 10}), 255, head16 + "a0001.tif \r" + wrong + "-1",
         "EOF found (comment)\n", 1},
    };

    // The test process's own memory counts in a child's peak until it starts the program, so
    // every run is measured against that of a small valid file.
    TempDir base_dir;
    test_support::write_file(base_dir.file("in.his"), valid_frame());
    const long baseline = test_support::run_frameburst({"in.his"}, base_dir.path()).max_rss_kib;
    ASSERT_GT(baseline, 0);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        test_support::write_file(dir.file("in.his"), c.input);
        const auto r = test_support::run_frameburst({"in.his"}, dir.path());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(dir.entries().size(), c.tiffs + 1);
        EXPECT_LT(r.max_rss_kib, baseline + 16 * 1024) << "claimed sizes were allocated";
    }
}

// With many bytes behind a header that claims more, memory grows with the bytes read and stays
// a small multiple of them.
TEST(HostileHeaders, MemoryFollowsTheBytesPresent) {
    TempDir base_dir;
    test_support::write_file(base_dir.file("in.his"), valid_frame());
    const long baseline = test_support::run_frameburst({"in.his"}, base_dir.path()).max_rss_kib;

    for (int type : {2, 6}) {
        SCOPED_TRACE(type);
        const std::size_t present = 24 * MIB;
        TempDir dir;
        test_support::write_file(dir.file("in.his"), encode({MAX, MAX, type, 0, 1, present}));
        const auto r = test_support::run_frameburst({"in.his"}, dir.path());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err,
                  " Error reading at " + std::to_string(type == 2 ? present / 2 : present) + "\n");
        const long present_kib = static_cast<long>(present / 1024);
        EXPECT_LT(r.max_rss_kib, baseline + 3 * present_kib + 16 * 1024);
    }
}

}  // namespace
