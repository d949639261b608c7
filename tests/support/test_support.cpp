#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace test_support {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/frameburst-test-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    if (path_.empty()) {
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

InDirectory::InDirectory(const std::string& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

InDirectory::~InDirectory() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::uint16_t le16(const Bytes& b, std::size_t o) {
    return static_cast<std::uint16_t>(b.at(o) | (b.at(o + 1) << 8));
}

std::uint32_t le32(const Bytes& b, std::size_t o) {
    return static_cast<std::uint32_t>(le16(b, o)) |
           (static_cast<std::uint32_t>(le16(b, o + 2)) << 16);
}

namespace {

std::string slurp(const std::string& path) {
    const Bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

}  // namespace

ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::string& cwd, const RunOptions& options) {
    TempDir capture;
    const std::string out_path = capture.file("stdout");
    const std::string err_path = capture.file("stderr");
    std::vector<std::string> argv_storage;
    argv_storage.push_back(program);
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_storage) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0 || ::chdir(cwd.c_str()) != 0) {
            ::_exit(127);
        }
        if (options.file_size_limit >= 0) {
            const auto limit = static_cast<rlim_t>(options.file_size_limit);
            const struct rlimit fsize = {limit, limit};
            if (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &fsize) != 0) {
                ::_exit(127);
            }
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    struct rusage usage {};
    if (::wait4(pid, &wstatus, 0, &usage) != pid) {
        throw std::runtime_error("wait4 failed");
    }
    ProcessResult r;
    if (WIFEXITED(wstatus)) {
        r.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        r.signal = WTERMSIG(wstatus);
    }
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    r.max_rss_kib = usage.ru_maxrss;
    return r;
}

ProcessResult run_frameburst(const std::vector<std::string>& args, const std::string& cwd,
                             const RunOptions& options) {
    return run_program(FRAMEBURST_BINARY, args, cwd, options);
}

CapturedStream::CapturedStream() : file_(std::tmpfile()) {
    if (file_ == nullptr) {
        throw std::runtime_error("tmpfile failed");
    }
}

CapturedStream::~CapturedStream() {
    std::fclose(file_);
}

std::string CapturedStream::text() const {
    std::fflush(file_);
    const long end = std::ftell(file_);
    std::string s(static_cast<std::size_t>(end), '\0');
    std::rewind(file_);
    const std::size_t n = std::fread(s.data(), 1, s.size(), file_);
    s.resize(n);
    std::fseek(file_, 0, SEEK_END);
    return s;
}

namespace {

// libtiff reports through global handlers; they collect into the image being read.
thread_local std::vector<std::string>* g_messages = nullptr;

void collect(const char* module, const char* fmt, va_list ap) {
    char text[1024];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (g_messages != nullptr) {
        g_messages->push_back(std::string(module != nullptr ? module : "") + ": " + text);
    }
}

}  // namespace

TiffImage read_tiff(const std::string& path) {
    TiffImage img;
    g_messages = &img.messages;
    const TIFFErrorHandler old_error = TIFFSetErrorHandler(collect);
    const TIFFErrorHandler old_warning = TIFFSetWarningHandler(collect);
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif != nullptr) {
        img.opened = true;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &img.width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &img.height);
        TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &img.bits_per_sample);
        TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &img.samples_per_pixel);
        TIFFGetField(tif, TIFFTAG_COMPRESSION, &img.compression);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &img.photometric);
        TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &img.planar);
        TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &img.rows_per_strip);
        char* desc = nullptr;
        if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &desc) == 1 && desc != nullptr) {
            img.has_description = true;
            img.description = desc;
        }
        img.strip_count = TIFFNumberOfStrips(tif);
        for (tstrip_t s = 0; s < img.strip_count; ++s) {
            const tmsize_t size = TIFFRawStripSize(tif, s);
            if (size <= 0) {
                img.messages.push_back("bad raw strip size");
                break;
            }
            Bytes strip(static_cast<std::size_t>(size));
            if (TIFFReadRawStrip(tif, s, strip.data(), size) != size) {
                img.messages.push_back("short raw strip");
                break;
            }
            img.strip_bytes.insert(img.strip_bytes.end(), strip.begin(), strip.end());
        }
        if (img.bits_per_sample == 16 && img.samples_per_pixel == 1) {
            std::vector<std::uint16_t> line(img.width);
            for (std::uint32_t row = 0; row < img.height; ++row) {
                if (TIFFReadScanline(tif, line.data(), row, 0) != 1) {
                    img.messages.push_back("scanline read failed");
                    break;
                }
                img.samples.insert(img.samples.end(), line.begin(), line.end());
            }
        }
        do {
            ++img.directories;
        } while (TIFFReadDirectory(tif) == 1);
        TIFFClose(tif);
    }
    TIFFSetErrorHandler(old_error);
    TIFFSetWarningHandler(old_warning);
    g_messages = nullptr;
    return img;
}

}  // namespace test_support
