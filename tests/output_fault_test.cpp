// Faults around the input and the outputs: a full disk, a temporary name that cannot be created,
// and a read error of the input. Each stops the run with its message and status; the files
// stored before stay exact and nothing partial is left.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "conversion.h"
#include "his_reader.h"
#include "his_synth.h"
#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

Bytes sequence(int width, int height, int frames, const std::string& comment) {
    const auto count = static_cast<std::uint32_t>(frames);
    return his_synth::encode_sequence(his_synth::make_header(width, height, 2, count), comment,
                                      count);
}

std::string tiff_name(int k) {
    char name[32];
    std::snprintf(name, sizeof name, "a%04d.tif", k + 1);
    return name;
}

std::string progress(int frames) {
    std::string s;
    for (int k = 0; k < frames; ++k) {
        s += tiff_name(k) + " \r";
    }
    return s;
}

// A full disk, simulated with a limit on the size of a file, and a temporary name taken by a
// directory. The limit equals the size of the first ten TIFF files: the eleventh is two bytes
// longer, since its description has a two-digit index.
TEST(OutputFaults, FullDiskAndBlockedTemporaryName) {
    const int frames = 12;
    TempDir reference;
    test_support::write_file(reference.file("in.his"), sequence(16, 16, frames, "disk"));
    ASSERT_EQ(test_support::run_frameburst({"in.his"}, reference.path()).status, 0);
    const long long tenth =
        static_cast<long long>(test_support::read_file(reference.file(tiff_name(9))).size());
    ASSERT_EQ(test_support::read_file(reference.file(tiff_name(10))).size(),
              static_cast<std::size_t>(tenth) + 2);

    struct Case {
        const char* name;
        long long file_size_limit;
        const char* blocked;  // a directory made where the run puts its temporary file
        int stored;
        std::vector<std::string> leftovers;
    };
    const Case cases[] = {
        {"disk full at the eleventh frame", tenth, nullptr, 10, {}},
        {"disk full at the first frame", tenth / 2, nullptr, 0, {}},
        {"temporary name taken", -1, "a0003.tif.part", 2, {"a0003.tif.part"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        test_support::write_file(dir.file("in.his"),
                                 test_support::read_file(reference.file("in.his")));
        if (c.blocked != nullptr) {
            ASSERT_EQ(::mkdir(dir.file(c.blocked).c_str(), 0755), 0);
        }
        test_support::RunOptions options;
        options.file_size_limit = c.file_size_limit;
        const auto r = test_support::run_frameburst({"in.his"}, dir.path(), options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, "16 bits 12 images\nreading in.his.\n" + progress(c.stored));
        EXPECT_EQ(r.err, tiff_name(c.stored) + " : file not stored.\n");

        std::vector<std::string> want = c.leftovers;
        for (int k = 0; k < c.stored; ++k) {
            want.push_back(tiff_name(k));
        }
        want.push_back("in.his");
        std::sort(want.begin(), want.end());
        EXPECT_EQ(dir.entries(), want);
        for (int k = 0; k < c.stored; ++k) {
            EXPECT_TRUE(test_support::read_file(dir.file(tiff_name(k))) ==
                        test_support::read_file(reference.file(tiff_name(k))))
                << tiff_name(k) << " differs";
        }
    }
}

// An input stream that delivers the bytes up to `fail_at` and then reports an I/O error.
class FailingInput {
  public:
    FailingInput(const Bytes& bytes, std::size_t fail_at) : bytes_(bytes), fail_at_(fail_at) {
        cookie_io_functions_t io{};
        io.read = &FailingInput::read;
        file_ = ::fopencookie(this, "rb", io);
    }
    ~FailingInput() { std::fclose(file_); }
    FailingInput(const FailingInput&) = delete;
    FailingInput& operator=(const FailingInput&) = delete;
    std::FILE* get() const { return file_; }

  private:
    static ssize_t read(void* cookie, char* buf, std::size_t size) {
        auto* self = static_cast<FailingInput*>(cookie);
        const std::size_t end = std::min(self->fail_at_, self->bytes_.size());
        if (self->pos_ >= end) {
            if (self->pos_ >= self->bytes_.size()) {
                return 0;
            }
            errno = EIO;
            return -1;
        }
        const std::size_t n = std::min(size, end - self->pos_);
        std::memcpy(buf, self->bytes_.data() + self->pos_, n);
        self->pos_ += n;
        return static_cast<ssize_t>(n);
    }

    Bytes bytes_;
    std::size_t fail_at_;
    std::size_t pos_ = 0;
    std::FILE* file_;
};

// A read error is a failure wherever it strikes, never the end of the sequence: above all not at
// a frame boundary, where a clean end would look the same to a careless reader.
TEST(InputFaults, ReadErrorIsAFailure) {
    const std::string comment = "io";
    const Bytes input = sequence(20, 10, 3, comment);
    const std::size_t frame = input.size() / 3;
    const std::size_t pixels = 64 + comment.size();
    const std::string io_error =
        std::string("Error reading input file: ") + std::strerror(EIO) + "\n";

    struct Case {
        const char* name;
        std::size_t fail_at;
        int stored;
        std::string err;
    };
    const Case cases[] = {
        {"before the first byte", 0, 0, io_error},
        {"at a frame boundary", frame, 1, io_error},
        {"in a header", 2 * frame + 10, 2, io_error},
        {"in a comment", frame + 65, 1, io_error},
        {"in the pixels", frame + pixels + 15, 1, " Error reading at 7\n" + io_error},
        {"after the last byte", input.size(), 3, ""},
    };
    frameburst::HIS_Header first;
    frameburst::his_decode_header(input.data(), first);
    const frameburst::HisFrameShape shape = frameburst::his_frame_shape(first);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        int status = 0;
        std::string out, err;
        {
            test_support::InDirectory here(dir.path());
            FailingInput in(input, c.fail_at);
            ASSERT_NE(in.get(), nullptr);
            test_support::CapturedStream out_stream, err_stream;
            status = frameburst::run_frames(in.get(), shape, 3, out_stream.get(), err_stream.get());
            out = out_stream.text();
            err = err_stream.text();
        }
        const bool clean = c.err.empty();
        EXPECT_EQ(status, clean ? frameburst::RUN_OK : frameburst::RUN_FAILED);
        EXPECT_EQ(out,
                  progress(c.stored) + (clean ? "\n" : "something wrong -- return value is -1"));
        EXPECT_EQ(err, c.err);
        std::vector<std::string> want;
        for (int k = 0; k < c.stored; ++k) {
            want.push_back(tiff_name(k));
        }
        EXPECT_EQ(dir.entries(), want);
    }
}

}  // namespace
