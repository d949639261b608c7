// End to end: the built program run in a fresh directory, its console output, exit status and
// files, every TIFF read back with libtiff.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "his_synth.h"
#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::ProcessResult;
using test_support::TempDir;

struct HisFile {
    int width = 8;
    int height = 6;
    int type = 2;
    std::uint32_t announced = 0;  // 0: the number of frames
    std::string comment = "test sequence";

    his_synth::Header header(int count) const {
        return his_synth::make_header(
            width, height, type, announced != 0 ? announced : static_cast<std::uint32_t>(count));
    }

    // The samples a reader gets back for frame k.
    std::vector<std::uint16_t> samples(std::uint32_t k) const {
        return his_synth::delivered_pattern(header(1), k);
    }

    Bytes frames(int count) const {
        return his_synth::encode_sequence(header(count), comment,
                                          static_cast<std::uint32_t>(count));
    }
};

std::string progress(int first, int last, const char* format = "a%04d.tif") {
    std::string s;
    for (int k = first; k <= last; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, format, k);
        s += std::string(name) + " \r";
    }
    return s;
}

std::vector<std::string> tiff_names(int count, const char* format = "a%04d.tif") {
    std::vector<std::string> names;
    for (int k = 1; k <= count; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, format, k);
        names.push_back(name);
    }
    return names;
}

// The TIFF of frame k (from 0) opens without a message and holds that frame.
void expect_frame(const std::string& path, const HisFile& his, std::uint32_t k,
                  std::int32_t announced) {
    SCOPED_TRACE(path);
    const auto t = test_support::read_tiff(path);
    ASSERT_TRUE(t.opened);
    EXPECT_TRUE(t.messages.empty()) << t.messages.front();
    EXPECT_EQ(t.width, static_cast<std::uint32_t>(his.width));
    EXPECT_EQ(t.height, static_cast<std::uint32_t>(his.height));
    EXPECT_EQ(t.bits_per_sample, 16);
    EXPECT_EQ(t.samples_per_pixel, 1);
    EXPECT_EQ(t.compression, 1);
    EXPECT_EQ(t.photometric, 1);
    EXPECT_EQ(t.directories, 1);
    EXPECT_EQ(t.description,
              "frameburst\t" + std::to_string(k) + "\t/\t" + std::to_string(announced));
    EXPECT_EQ(t.samples, his.samples(k));
}

struct Outcome {
    TempDir dir;
    ProcessResult result;
    std::vector<std::string> outputs;  // the directory's entries but the input
};

Outcome convert(const Bytes& input, const std::string& name = "in.his") {
    Outcome run;
    test_support::write_file(run.dir.file(name), input);
    run.result = test_support::run_frameburst({name}, run.dir.path());
    for (const auto& e : run.dir.entries()) {
        if (e != name) {
            run.outputs.push_back(e);
        }
    }
    return run;
}

TEST(Conversion, ThreeFramesOfEachType) {
    for (int type : {2, 6}) {
        SCOPED_TRACE(type);
        HisFile his;
        his.type = type;
        his.width = type == 2 ? 64 : 65;  // 65 x 7 packed 12-bit: an odd sample count
        his.height = type == 2 ? 48 : 7;
        const Outcome run = convert(his.frames(3));
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.result.out, std::string(type == 2 ? "16" : "12") +
                                      " bits 3 images\nreading in.his.\n" + progress(1, 3) + "\n");
        EXPECT_EQ(run.result.err, "");
        ASSERT_EQ(run.outputs, tiff_names(3));
        for (std::uint32_t k = 0; k < 3; ++k) {
            expect_frame(run.dir.file(run.outputs[k]), his, k, 3);
        }
    }
}

// The announced count names the files and fills the description; it never limits the frames.
TEST(Conversion, AnnouncedCountVersusFramesPresent) {
    struct Case {
        std::uint32_t announced;
        int present;
        const char* format;
        const char* count_text;
    };
    const Case cases[] = {
        {5, 7, "a%04d.tif", "5"},
        {7, 5, "a%04d.tif", "7"},
        {9999, 2, "a%04d.tif", "9999"},
        {10000, 2, "a%05d.tif", "10000"},
        {0xFFFFFFFFu, 2, "a%05d.tif", "-1"},  // printed as a signed 32-bit number
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.announced);
        HisFile his;
        his.announced = c.announced;
        const Outcome run = convert(his.frames(c.present));
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.result.out, std::string("16 bits ") + c.count_text +
                                      " images\nreading in.his.\n" +
                                      progress(1, c.present, c.format) + "\n");
        EXPECT_EQ(run.result.err, "");
        ASSERT_EQ(run.outputs, tiff_names(c.present, c.format));
        for (int k = 0; k < c.present; ++k) {
            expect_frame(run.dir.file(run.outputs[static_cast<std::size_t>(k)]), his,
                         static_cast<std::uint32_t>(k), static_cast<std::int32_t>(c.announced));
        }
    }
}

// The digits of a name are a minimum: frame 10000 of a file announcing fewer is a10000.tif.
TEST(Conversion, TenThousandthFrameOfASmallAnnouncement) {
    HisFile his;
    his.width = 1;
    his.height = 1;
    his.comment = "";
    his.announced = 3;
    const Outcome run = convert(his.frames(10001));
    EXPECT_EQ(run.result.status, 0);
    ASSERT_EQ(run.outputs.size(), 10001u);
    for (const char* name : {"a0001.tif", "a9999.tif", "a10000.tif", "a10001.tif"}) {
        EXPECT_TRUE(test_support::file_exists(run.dir.file(name))) << name;
    }
    EXPECT_NE(run.result.out.find("a9999.tif \ra10000.tif \ra10001.tif \r\n"), std::string::npos);
    expect_frame(run.dir.file("a10000.tif"), his, 9999, 3);
}

TEST(Conversion, CommandLine) {
    TempDir dir;
    const auto none = test_support::run_frameburst({}, dir.path());
    EXPECT_EQ(none.status, 255);
    EXPECT_EQ(none.out, "Usage is 'frameburst hisfile (head)'\n");
    EXPECT_EQ(none.err, "");

    const auto missing = test_support::run_frameburst({"missing.his"}, dir.path());
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.out,
              "can not open missing.his for input\nsomething wrong -- return value is -10");
    EXPECT_EQ(missing.err, "");

    // A second argument and any beyond it change nothing: names always begin with "a".
    HisFile his;
    test_support::write_file(dir.file("in.his"), his.frames(2));
    const auto extra = test_support::run_frameburst({"in.his", "head", "more"}, dir.path());
    EXPECT_EQ(extra.status, 0);
    EXPECT_EQ(extra.out, "16 bits 2 images\nreading in.his.\n" + progress(1, 2) + "\n");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a0001.tif", "a0002.tif", "in.his"}));
}

// Input that fails: its message, the closing line on standard output, and the exit status.
// Frames before the fault stay written.
TEST(Conversion, InputFailures) {
    HisFile his;
    const Bytes one = his.frames(1);
    auto then = [&](Bytes tail) {
        Bytes b = one;
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    auto header_with = [&](int offset, std::uint16_t value) {
        Bytes b = one;
        b[static_cast<std::size_t>(offset)] = static_cast<std::uint8_t>(value & 0xFF);
        b[static_cast<std::size_t>(offset) + 1] = static_cast<std::uint8_t>(value >> 8);
        return b;
    };
    HisFile wider = his;
    wider.width = 9;
    HisFile twelve = his;
    twelve.type = 6;
    const std::string head = "16 bits 1 images\nreading in.his.\n";

    struct Case {
        const char* name;
        Bytes input;
        int status;
        std::string out;
        std::string err;
        int tiffs;
    };
    const Case cases[] = {
        {"second header cut after 10 bytes", then(Bytes(one.begin(), one.begin() + 10)), 255,
         head + progress(1, 1) + "something wrong -- return value is -1",
         "EOF in input file (header)\n", 1},
        {"shorter than a header", Bytes(one.begin(), one.begin() + 40), 255,
         "something wrong -- return value is -21", "Error [his header 64bytes]t\n", 0},
        {"not an HIS file",
         [&] {
             Bytes b = one;
             b[0] = 'P';
             return b;
         }(),
         255, head + "something wrong -- return value is -1", "This is not HIS image file.\n", 0},
        {"comment length -1", header_with(2, 0xFFFF), 255, "something wrong -- return value is -12",
         "Connot allocate memory (HIS_Header.comment)\n", 0},
        {"comment cut", Bytes(one.begin(), one.begin() + 70), 255,
         "something wrong -- return value is -13", "EOF found (comment)\n", 0},
        {"second frame of another width", then(wider.frames(1)), 255,
         head + progress(1, 1) + "something wrong -- return value is -1",
         "Frame of 9 x 6, pixel type 2, differs from the first frame (8 x 6, pixel type 2).\n", 1},
        {"second frame of another pixel type", then(twelve.frames(1)), 255,
         head + progress(1, 1) + "something wrong -- return value is -1",
         "Frame of 8 x 6, pixel type 6, differs from the first frame (8 x 6, pixel type 2).\n", 1},
        {"second frame cut in its pixels", then(Bytes(one.begin(), one.end() - 3)), 255,
         head + progress(1, 1) + "something wrong -- return value is -1", " Error reading at 46\n",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome run = convert(c.input);
        EXPECT_EQ(run.result.status, c.status);
        EXPECT_EQ(run.result.out, c.out);
        EXPECT_EQ(run.result.err, c.err);
        ASSERT_EQ(run.outputs, tiff_names(c.tiffs));
        for (int k = 0; k < c.tiffs; ++k) {
            expect_frame(run.dir.file(run.outputs[static_cast<std::size_t>(k)]), his,
                         static_cast<std::uint32_t>(k), 1);
        }
    }
}

// A first frame the run cannot use stops it before any file is written, with status 1.
TEST(Conversion, UnusableFirstFrame) {
    auto first = [](int width, int height, int type) {
        Bytes b = his_synth::encode_header(his_synth::make_header(width, height, type, 1));
        b.insert(b.end(), 64, 0x42);  // a few bytes behind it
        return b;
    };
    struct Case {
        Bytes input;
        std::string out;
        std::string err;
    };
    const std::string reading = "reading in.his.\n";
    const Case cases[] = {
        {first(4, -3, 2), "16 bits 1 images\n" + reading, "cell memory allocation error (1).\n"},
        {first(-4, -3, 6), "12 bits 1 images\n" + reading, "cell memory allocation error (1).\n"},
        {first(-4, 3, 2), "16 bits 1 images\n" + reading, "cell memory allocation error (2).\n"},
        {first(-4, 3, 9), reading, "cell memory allocation error (2).\n"},
        {first(0, 3, 2), "16 bits 1 images\n" + reading,
         "in.his: the first frame is 0 x 3 samples and holds no image.\n"},
        {first(5, 0, 6), "12 bits 1 images\n" + reading,
         "in.his: the first frame is 5 x 0 samples and holds no image.\n"},
        {first(-5, 0, 6), "12 bits 1 images\n" + reading,
         "in.his: the first frame is -5 x 0 samples and holds no image.\n"},
        {first(4, 3, 3), reading,
         "in.his: pixel type 3 is not supported (2: 16-bit, 6: packed 12-bit).\n"},
        {first(4, 3, -2), reading,
         "in.his: pixel type -2 is not supported (2: 16-bit, 6: packed 12-bit).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        const Outcome run = convert(c.input);
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.out, c.out);
        EXPECT_EQ(run.result.err, c.err);
        EXPECT_TRUE(run.outputs.empty());
    }
}

// The largest frame a header can describe is sized in 64 bits: its missing pixel bytes are a
// reading failure, counted from the bytes that are there.
TEST(Conversion, LargestFrameWithItsPixelsMissing) {
    for (int type : {2, 6}) {
        SCOPED_TRACE(type);
        Bytes b = his_synth::encode_header(his_synth::make_header(32767, 32767, type, 1));
        b.insert(b.end(), 1001, 0x42);
        const Outcome run = convert(b);
        EXPECT_EQ(run.result.status, 255);
        EXPECT_EQ(run.result.err,
                  type == 2 ? " Error reading at 500\n" : " Error reading at 1001\n");
        EXPECT_TRUE(run.outputs.empty());
        EXPECT_LT(run.result.max_rss_kib, 512 * 1024) << "memory follows the bytes present";
    }
}

// A frame buffer that cannot be obtained stops the run with its message and status 1.
TEST(Conversion, FrameBufferBeyondTheMemoryLimit) {
    if (TEST_UNDER_ASAN) {
        GTEST_SKIP() << "address space limits do not apply under AddressSanitizer";
    }
    TempDir dir;
    his_synth::Header h;
    h.width = 16384;
    h.height = 16384;  // 512 MiB of pixel bytes, present in a sparse file
    const Bytes header = his_synth::encode_header(h);
    test_support::write_file(dir.file("in.his"), header);
    ASSERT_EQ(0, ::truncate(dir.file("in.his").c_str(), 64 + 2 * 16384 * 16384));
    const auto r = test_support::run_program(
        "/usr/bin/prlimit", {"--as=268435456", "--", FRAMEBURST_BINARY, "in.his"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "16 bits 1 images\nreading in.his.\n");
    EXPECT_EQ(r.err, "frame memory allocation error.\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.his"});
}

// An output that cannot be stored stops the run with status 1 and leaves no partial file.
TEST(Conversion, OutputNameTakenByADirectory) {
    HisFile his;
    TempDir dir;
    test_support::write_file(dir.file("in.his"), his.frames(3));
    ASSERT_EQ(0, ::mkdir(dir.file("a0002.tif").c_str(), 0755));
    const auto r = test_support::run_frameburst({"in.his"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "16 bits 3 images\nreading in.his.\n" + progress(1, 1));
    EXPECT_EQ(r.err, "a0002.tif : file not stored.\n");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a0001.tif", "a0002.tif", "in.his"}));
    expect_frame(dir.file("a0001.tif"), his, 0, 3);
}

// An existing file under an output name is replaced.
TEST(Conversion, ReplacesExistingOutputs) {
    HisFile his;
    TempDir dir;
    test_support::write_file(dir.file("in.his"), his.frames(1));
    test_support::write_file(dir.file("a0001.tif"), Bytes(100000, 0x77));
    const auto r = test_support::run_frameburst({"in.his"}, dir.path());
    EXPECT_EQ(r.status, 0);
    expect_frame(dir.file("a0001.tif"), his, 0, 1);
}

}  // namespace

// The bundled examples convert into TIFF files that libtiff and tiffinfo read without a word.
TEST(Conversion, BundledExamplesReadCleanly) {
    struct Case {
        const char* file;
        const char* first_line;
        int frames;
    };
    const Case cases[] = {
        {"sample16.his", "16 bits 12 images\n", 12},
        {"sample12.his", "12 bits 6 images\n", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        TempDir dir;
        const std::string input = std::string(FRAMEBURST_SOURCE_DIR) + "/examples/" + c.file;
        const auto r = test_support::run_frameburst({input}, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string(c.first_line) + "reading " + input + ".\n" +
                             progress(1, c.frames) + "\n");
        ASSERT_EQ(dir.entries(), tiff_names(c.frames));
        for (const auto& name : dir.entries()) {
            const auto t = test_support::read_tiff(dir.file(name));
            EXPECT_TRUE(t.opened && t.messages.empty()) << name;
            const auto info =
                test_support::run_program("/usr/bin/tiffinfo", {"-d", name}, dir.path());
            EXPECT_EQ(info.status, 0) << name;
            EXPECT_EQ(info.err, "") << name;
        }
    }
}
