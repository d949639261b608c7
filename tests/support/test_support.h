// Helpers shared by the tests: scratch directories, files, running the built programs, and reading
// TIFF files back with libtiff.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Whether the tests run under AddressSanitizer, which reserves more address space than any
// memory limit a test could set.
#if defined(__SANITIZE_ADDRESS__)
#define TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_UNDER_ASAN 1
#endif
#endif
#ifndef TEST_UNDER_ASAN
#define TEST_UNDER_ASAN 0
#endif

namespace test_support {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
    TempDir& operator=(TempDir&&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> entries() const;

  private:
    std::string path_;
};

// Changes the working directory for the lifetime of the object.
class InDirectory {
  public:
    explicit InDirectory(const std::string& dir);
    ~InDirectory();
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

  private:
    std::string previous_;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);

// Little-endian field readers for checking file bytes.
std::uint16_t le16(const Bytes& b, std::size_t offset);
std::uint32_t le32(const Bytes& b, std::size_t offset);

struct ProcessResult {
    int status = -1;  // exit status 0..255, or -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
    long max_rss_kib = 0;  // peak resident memory of the child
};

// Limits for a program run by run_program.
struct RunOptions {
    // Largest file the program may write, in bytes (RLIMIT_FSIZE), with SIGXFSZ ignored, so that
    // a write beyond it fails as on a full disk; negative for no limit. Standard output and
    // standard error are files too: keep them below it.
    long long file_size_limit = -1;
};

// Runs `program` with `args` in directory `cwd`, standard input empty, and collects its output.
ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::string& cwd, const RunOptions& options = {});

// Runs the frameburst binary in `cwd`.
ProcessResult run_frameburst(const std::vector<std::string>& args, const std::string& cwd,
                             const RunOptions& options = {});

// Captures what an in-process call prints on a stream.
class CapturedStream {
  public:
    CapturedStream();
    ~CapturedStream();
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;
    std::FILE* get() const { return file_; }
    std::string text() const;

  private:
    std::FILE* file_;
};

// A TIFF file as libtiff reads it.
struct TiffImage {
    bool opened = false;
    std::vector<std::string> messages;  // every warning and error libtiff reported
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bits_per_sample = 0;
    std::uint16_t samples_per_pixel = 0;
    std::uint16_t compression = 0;
    std::uint16_t photometric = 0;
    std::uint16_t planar = 0;
    std::uint32_t rows_per_strip = 0;
    std::uint32_t strip_count = 0;
    bool has_description = false;
    std::string description;
    int directories = 0;
    Bytes strip_bytes;                   // all strips' raw bytes, strip after strip
    std::vector<std::uint16_t> samples;  // for 16 bits per sample: the decoded samples
};

TiffImage read_tiff(const std::string& path);

}  // namespace test_support
