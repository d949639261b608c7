#include "fuzz_checks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "conversion.h"
#include "his_reader.h"
#include "tiff_writer.h"

namespace frameburst_fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// The walk: what a reader must make of the bytes, written out plainly and apart from the reader.

std::int16_t i16_at(const std::uint8_t* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}
std::uint16_t u16_at(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

struct WalkHeader {
    bool im = false;
    std::int16_t comment_length = 0;
    std::int16_t width = 0;
    std::int16_t height = 0;
    std::int16_t pixel_type = 0;
    std::uint32_t count = 0;
};

WalkHeader header_at(const std::uint8_t* p) {
    WalkHeader h;
    h.im = p[0] == 'I' && p[1] == 'M';
    h.comment_length = i16_at(p + 2);
    h.width = i16_at(p + 4);
    h.height = i16_at(p + 6);
    h.pixel_type = i16_at(p + 12);
    h.count = u16_at(p + 14) | (std::uint32_t{u16_at(p + 16)} << 16);
    return h;
}

struct Geometry {
    int width = 0;
    int height = 0;
    int pixel_type = 0;
};

std::uint64_t pixel_bytes_of(const Geometry& g) {
    const std::uint64_t n = std::uint64_t(g.width) * std::uint64_t(g.height);
    return g.pixel_type == 6 ? 3 * n / 2 : 2 * n;
}

enum class Step { frame, end, failure };

struct WalkStep {
    Step step = Step::failure;
    std::string message;         // what the reader prints for a failure
    bool exact_message = false;  // false: any line of the program's own wording
    WalkHeader header;
    std::size_t comment_at = 0;
    std::size_t pixels_at = 0;
    std::size_t next = 0;  // where the next frame begins
};

WalkStep failure(const std::string& message, bool exact = true) {
    WalkStep s;
    s.step = Step::failure;
    s.message = message;
    s.exact_message = exact;
    return s;
}

// The frame that begins at `pos`, for a run whose first frame has the geometry `first`.
WalkStep walk_frame(const std::uint8_t* data, std::size_t size, std::size_t pos,
                    const Geometry& first) {
    if (pos == size) {
        WalkStep s;
        s.step = Step::end;
        return s;
    }
    const std::size_t left = size - pos;
    if (left < 64) {
        return failure("EOF in input file (header)\n");
    }
    const WalkHeader h = header_at(data + pos);
    if (!h.im) {
        return failure("This is not HIS image file.\n");
    }
    if (h.comment_length < 0) {
        return failure("Connot allocate memory (HIS_Header.comment)\n");
    }
    if (left - 64 < std::size_t(h.comment_length)) {
        return failure("EOF found (comment)\n");
    }
    if (h.pixel_type != 2 && h.pixel_type != 6) {
        return failure("", false);
    }
    if (h.width != first.width || h.height != first.height || h.pixel_type != first.pixel_type) {
        return failure("", false);
    }
    const std::uint64_t need = pixel_bytes_of(first);
    const std::uint64_t there = left - 64 - std::size_t(h.comment_length);
    if (there < need) {
        const std::uint64_t items = first.pixel_type == 2 ? there / 2 : there;
        return failure(" Error reading at " + std::to_string(items) + "\n");
    }
    WalkStep s;
    s.step = Step::frame;
    s.header = h;
    s.comment_at = pos + 64;
    s.pixels_at = s.comment_at + std::size_t(h.comment_length);
    s.next = s.pixels_at + std::size_t(need);
    return s;
}

// The samples of a whole frame whose pixel bytes begin at `p`. For packed 12-bit data every byte
// j with j mod 3 = 0 starts a sample and every j with j mod 3 = 2 ends one; a byte the frame does
// not hold counts as 0.
std::vector<std::uint16_t> samples_at(const std::uint8_t* p, const Geometry& g) {
    const std::uint64_t n = std::uint64_t(g.width) * std::uint64_t(g.height);
    std::vector<std::uint16_t> s;
    s.reserve(n);
    if (g.pixel_type == 2) {
        for (std::uint64_t i = 0; i < n; ++i) {
            s.push_back(u16_at(p + 2 * i));
        }
        return s;
    }
    const std::uint64_t m = pixel_bytes_of(g);
    for (std::uint64_t j = 0; j < m; ++j) {
        if (j % 3 == 0) {
            const unsigned next = j + 1 < m ? p[j + 1] : 0;
            s.push_back(static_cast<std::uint16_t>((p[j] << 4) | (next >> 4)));
        } else if (j % 3 == 2) {
            s.push_back(static_cast<std::uint16_t>(((p[j - 1] & 0x0F) << 8) | p[j]));
        }
    }
    return s;
}

// ---------------------------------------------------------------------------------------------
// Plumbing.

// A read-only stream over the bytes; fmemopen needs a buffer of at least one byte.
class InputStream {
  public:
    InputStream(const std::uint8_t* data, std::size_t size) : copy_(data, data + size) {
        copy_.push_back(0);
        file_ = ::fmemopen(copy_.data(), size, "rb");
        if (file_ != nullptr && size == 0) {
            std::fgetc(file_);  // a stream over nothing sits at its end
        }
    }
    ~InputStream() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    std::FILE* get() const { return file_; }

  private:
    Bytes copy_;
    std::FILE* file_ = nullptr;
};

// A stream that collects what is printed on it.
class TextStream {
  public:
    TextStream() : file_(::open_memstream(&buffer_, &size_)) {}
    ~TextStream() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
        std::free(buffer_);
    }
    TextStream(const TextStream&) = delete;
    TextStream& operator=(const TextStream&) = delete;
    std::FILE* get() const { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

  private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

std::string check_message(const WalkStep& want, const std::string& got) {
    if (want.exact_message
            ? got != want.message
            : got.empty() || got.back() != '\n' || got.find('\n') != got.size() - 1) {
        return "message \"" + got + "\", expected " +
               (want.exact_message ? "\"" + want.message + "\"" : "one line of its own");
    }
    return "";
}

const char* step_name(Step s) {
    switch (s) {
        case Step::frame:
            return "a frame";
        case Step::end:
            return "the end";
        case Step::failure:
            return "a failure";
    }
    return "?";
}

std::vector<std::string> directory_entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool read_whole_file(const std::string& path, Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    bytes.clear();
    std::uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

bool write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool wrote = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && wrote;
}

// Goes into a directory and back to where it was.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const std::string& dir) : previous_(::open(".", O_RDONLY)) {
        entered_ = previous_ >= 0 && ::chdir(dir.c_str()) == 0;
    }
    ~WorkingDirectory() {
        if (previous_ >= 0) {
            if (::fchdir(previous_) != 0) {
                std::abort();  // every later relative path would be wrong
            }
            ::close(previous_);
        }
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;
    bool entered() const { return entered_; }

  private:
    int previous_;
    bool entered_ = false;
};

// A frame the run must have written, and what its TIFF must hold.
struct ExpectedTiff {
    std::string name;
    std::string description;
    std::size_t pixels_at = 0;
};

std::string check_tiff(const std::string& path, const ExpectedTiff& want, const Geometry& g,
                       const std::uint8_t* data) {
    Bytes file;
    if (!read_whole_file(path, file)) {
        return "cannot read " + want.name;
    }
    frameburst::TiffLayout layout;
    if (!frameburst::tiff_layout(g.width, g.height, 16, want.description.size(), true, layout)) {
        return "no layout for " + want.name;
    }
    if (file.size() != layout.file_size) {
        return want.name + " has " + std::to_string(file.size()) + " bytes, expected " +
               std::to_string(layout.file_size);
    }
    // Header, then the description with its NUL from offset 8, then the samples, low byte first.
    const std::uint8_t head[4] = {'I', 'I', 42, 0};
    if (!std::equal(head, head + 4, file.begin())) {
        return want.name + " does not begin with a little-endian TIFF header";
    }
    const std::size_t d = want.description.size() + 1;
    if (std::memcmp(file.data() + 8, want.description.c_str(), d) != 0) {
        return want.name + " holds another description";
    }
    const std::size_t p = 8 + d + d % 2;
    const std::vector<std::uint16_t> samples = samples_at(data + want.pixels_at, g);
    if (p + 2 * samples.size() > file.size()) {
        return want.name + " is too short for its samples";
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (u16_at(file.data() + p + 2 * i) != samples[i]) {
            return want.name + " holds another value at sample " + std::to_string(i);
        }
    }
    return "";
}

}  // namespace

std::string check_frame_reading(const std::uint8_t* data, std::size_t size) {
    InputStream in(data, size);
    TextStream err;
    if (in.get() == nullptr || err.get() == nullptr) {
        return "cannot open the in-memory streams";
    }
    // The expected geometry is the first frame's, as the run takes it; a first header the run
    // would not accept makes a geometry that every frame fails against.
    Geometry first{2, 2, 2};
    frameburst::HisFrameShape shape;
    shape.width = 2;
    shape.height = 2;
    shape.pixel_type = frameburst::HIS_TYPE_16BIT;
    shape.sample_count = 4;
    shape.pixel_bytes = 8;
    if (size >= 64) {
        frameburst::HIS_Header h;
        frameburst::his_decode_header(data, h);
        if (frameburst::his_shape_supported(h)) {
            shape = frameburst::his_frame_shape(h);
            first = Geometry{h.width, h.height, h.pixel_type};
            if (shape.pixel_bytes != pixel_bytes_of(first) ||
                shape.sample_count != std::uint64_t(first.width) * std::uint64_t(first.height)) {
                return "frame shape of " + std::to_string(first.width) + " x " +
                       std::to_string(first.height) + " has other sizes";
            }
        }
    }

    frameburst::HIS_Header header;
    frameburst::HisFrameBuffers buffers;
    std::size_t pos = 0;
    for (int k = 0;; ++k) {
        const std::string frame = "frame " + std::to_string(k) + ": ";
        const frameburst::HisFrameResult got =
            frameburst::his_read_frame(in.get(), header, shape, buffers, err.get());
        const WalkStep want = walk_frame(data, size, pos, first);
        const Step got_step = got == frameburst::HisFrameResult::read  ? Step::frame
                              : got == frameburst::HisFrameResult::end ? Step::end
                                                                       : Step::failure;
        if (got == frameburst::HisFrameResult::no_memory) {
            return frame + "no memory for a frame of " + std::to_string(size) + " input bytes";
        }
        if (got_step != want.step) {
            return frame + "read " + step_name(got_step) + ", expected " + step_name(want.step);
        }
        if (want.step == Step::end) {
            const std::string e = err.text();
            return e.empty() ? "" : frame + "message \"" + e + "\" at the end";
        }
        if (want.step == Step::failure) {
            const std::string problem = check_message(want, err.text());
            return problem.empty() ? "" : frame + problem;
        }
        const WalkHeader& h = want.header;
        if (header.comment_length != h.comment_length || header.width != h.width ||
            header.height != h.height || header.pixel_type != h.pixel_type ||
            frameburst::his_frame_count(header) != h.count) {
            return frame + "header fields differ";
        }
        if (header.comment != std::string(reinterpret_cast<const char*>(data + want.comment_at),
                                          std::size_t(h.comment_length))) {
            return frame + "comment differs";
        }
        const std::vector<std::uint16_t> samples = samples_at(data + want.pixels_at, first);
        if (buffers.samples.size() < samples.size() ||
            !std::equal(samples.begin(), samples.end(), buffers.samples.begin())) {
            return frame + "samples differ";
        }
        const long at = std::ftell(in.get());
        if (at < 0 || std::size_t(at) != want.next) {
            return frame + "the stream stands at " + std::to_string(at) + ", expected " +
                   std::to_string(want.next);
        }
        pos = want.next;
    }
}

std::string check_conversion_run(const std::uint8_t* data, std::size_t size,
                                 const std::string& scratch) {
    const std::string input = scratch + "/in.his";
    const std::string outputs = scratch + "/out";
    if (!write_whole_file(input, data, size)) {
        return "cannot store the input in " + scratch;
    }
    ::mkdir(outputs.c_str(), 0700);

    int status = 0;
    std::string out;
    std::string err;
    {
        WorkingDirectory cwd(outputs);
        if (!cwd.entered()) {
            return "cannot enter " + outputs;
        }
        TextStream out_stream;
        TextStream err_stream;
        const char* argv[] = {"frameburst", input.c_str(), nullptr};
        status = frameburst::run_frameburst(2, argv, out_stream.get(), err_stream.get());
        out = out_stream.text();
        err = err_stream.text();
    }
    std::vector<std::string> files = directory_entries(outputs);

    // What the run must have done, from the walk.
    int want_status = 0;
    std::string want_out;
    WalkStep want_err;  // the failure's message; Step::end for none
    want_err.step = Step::end;
    std::vector<ExpectedTiff> want_files;
    Geometry g;
    auto first_pass_failure = [&](int read_status, const char* message) {
        want_status = -1;
        want_out = "something wrong -- return value is " + std::to_string(read_status);
        want_err = failure(message);
    };
    if (size < 64) {
        first_pass_failure(-21, "Error [his header 64bytes]t\n");
    } else if (i16_at(data + 2) < 0) {
        first_pass_failure(-12, "Connot allocate memory (HIS_Header.comment)\n");
    } else if (size - 64 < std::size_t(i16_at(data + 2))) {
        first_pass_failure(-13, "EOF found (comment)\n");
    } else {
        const WalkHeader h = header_at(data);
        g = Geometry{h.width, h.height, h.pixel_type};
        const std::string count = std::to_string(static_cast<std::int32_t>(h.count));
        if (h.pixel_type == 6) {
            want_out = "12 bits " + count + " images\n";
        } else if (h.pixel_type == 2) {
            want_out = "16 bits " + count + " images\n";
        }
        want_out += "reading " + input + ".\n";
        if (h.height < 0) {
            want_status = 1;
            want_err = failure("cell memory allocation error (1).\n");
        } else if (h.width < 0 && h.height > 0) {
            want_status = 1;
            want_err = failure("cell memory allocation error (2).\n");
        } else if (h.im &&
                   (h.width == 0 || h.height == 0 || (h.pixel_type != 2 && h.pixel_type != 6))) {
            want_status = 1;
            want_err = failure("", false);
        } else {
            const char* format = h.count < 10000 ? "a%04d.tif" : "a%05d.tif";
            for (std::size_t pos = 0, k = 0;; ++k) {
                const WalkStep step = walk_frame(data, size, pos, g);
                if (step.step == Step::end) {
                    want_out += "\n";
                    break;
                }
                if (step.step == Step::failure) {
                    want_status = -1;
                    want_out += "something wrong -- return value is -1";
                    want_err = step;
                    break;
                }
                char name[32];
                std::snprintf(name, sizeof name, format, static_cast<int>(k + 1));
                want_out += std::string(name) + " \r";
                want_files.push_back(ExpectedTiff{
                    name, "frameburst\t" + std::to_string(k) + "\t/\t" + count, step.pixels_at});
                pos = step.next;
            }
        }
    }

    std::string problem;
    if (status != want_status) {
        problem = "status " + std::to_string(status) + ", expected " + std::to_string(want_status);
    } else if (out != want_out) {
        problem = "standard output \"" + out + "\", expected \"" + want_out + "\"";
    } else if (want_err.step == Step::end ? !err.empty() : !check_message(want_err, err).empty()) {
        problem = want_err.step == Step::end ? "message \"" + err + "\" after a clean run"
                                             : check_message(want_err, err);
    } else {
        std::vector<std::string> names;
        for (const ExpectedTiff& t : want_files) {
            names.push_back(t.name);
        }
        std::sort(names.begin(), names.end());
        if (files != names) {
            problem = "the run left " + std::to_string(files.size()) + " files, expected " +
                      std::to_string(names.size());
            for (const std::string& f : files) {
                problem += " " + f;
            }
        }
        for (std::size_t i = 0; problem.empty() && i < want_files.size(); ++i) {
            problem = check_tiff(outputs + "/" + want_files[i].name, want_files[i], g, data);
        }
    }
    for (const std::string& f : files) {
        const std::string path = outputs + "/" + f;
        if (::unlink(path.c_str()) != 0) {
            ::rmdir(path.c_str());
        }
    }
    ::unlink(input.c_str());
    return problem;
}

}  // namespace frameburst_fuzz
