#include "tiff_writer.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace frameburst {
namespace {

constexpr std::uint64_t MAX_STRIP_BYTES = 8192;
constexpr std::uint64_t MAX_TIFF_OFFSET = 0xFFFFFFFFu;

constexpr std::uint16_t TYPE_ASCII = 2;
constexpr std::uint16_t TYPE_SHORT = 3;
constexpr std::uint16_t TYPE_LONG = 4;

void put16(std::vector<std::uint8_t>& v, std::uint32_t x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put16(v, x & 0xFFFFu);
    put16(v, x >> 16);
}

// One IFD entry whose value fits in its 4-byte field.
void put_entry(std::vector<std::uint8_t>& v, std::uint16_t tag, std::uint16_t type,
               std::uint32_t count, std::uint32_t value) {
    put16(v, tag);
    put16(v, type);
    put32(v, count);
    if (type == TYPE_SHORT) {
        put16(v, value);
        put16(v, 0);
    } else {
        put32(v, value);
    }
}

}  // namespace

// Encodes one row of cells into exactly (bits * width + 7) / 8 bytes at `out`. Every width but
// 16 and 32 is one bit stream per row, most significant bit first: each cell gives its `bits` low
// bits (higher bits are dropped, never spilling into a neighbour) and the row's last byte is filled
// with 0 bits. 8 bits is that stream's byte-aligned fast path; 16 and 32 bits store each cell
// little-endian instead, 32 widened with zeros. (24 bits stays in the stream: most significant
// byte first.)
void tiff_encode_row(std::int32_t bits, const std::uint16_t* cells, std::int32_t width,
                     std::uint8_t* out) {
    const auto n = static_cast<std::size_t>(width);
    switch (bits) {
        case 8:
            for (std::size_t i = 0; i < n; ++i) {
                out[i] = static_cast<std::uint8_t>(cells[i]);
            }
            return;
        case 16:
            for (std::size_t i = 0; i < n; ++i) {
                out[2 * i] = static_cast<std::uint8_t>(cells[i]);
                out[2 * i + 1] = static_cast<std::uint8_t>(cells[i] >> 8);
            }
            return;
        case 32:
            for (std::size_t i = 0; i < n; ++i) {
                out[4 * i] = static_cast<std::uint8_t>(cells[i]);
                out[4 * i + 1] = static_cast<std::uint8_t>(cells[i] >> 8);
                out[4 * i + 2] = 0;
                out[4 * i + 3] = 0;
            }
            return;
        default:
            break;
    }
    const auto b = static_cast<unsigned>(bits);
    const std::uint64_t mask = (std::uint64_t{1} << b) - 1;
    std::uint64_t acc = 0;  // only its low `pending` bits are still to be emitted
    unsigned pending = 0;   // below 8 between cells, so pending + b stays below 40
    for (std::size_t i = 0; i < n; ++i) {
        acc = (acc << b) | (cells[i] & mask);
        pending += b;
        while (pending >= 8) {
            pending -= 8;
            *out++ = static_cast<std::uint8_t>(acc >> pending);
        }
    }
    if (pending > 0) {
        *out = static_cast<std::uint8_t>(acc << (8 - pending));
    }
}

namespace {

// The temporary name of the file being written, kept where a signal handler can read it
// (tiff_discard_unfinished). Set before the file is created, cleared once it is renamed or removed.
char g_unfinished[4096];
volatile std::sig_atomic_t g_has_unfinished = 0;

// The output file: created under a temporary name beside the final one and renamed into place
// only when complete, so no torn file ever stands under the final name. Removed unless committed.
class OutputFile {
  public:
    explicit OutputFile(const char* path) : path_(path), temp_(std::string(path) + ".part") {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (created_ && !committed_) {
            ::unlink(temp_.c_str());
        }
        g_has_unfinished = 0;
    }

    // Always a new file: a leftover of an interrupted run, or a link of any kind standing under
    // the temporary name, is removed first, never written through.
    bool create() {
        if (temp_.size() < sizeof g_unfinished) {
            std::memcpy(g_unfinished, temp_.c_str(), temp_.size() + 1);
            g_has_unfinished = 1;
        }
        constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
        fd_ = ::open(temp_.c_str(), flags, 0666);
        if (fd_ < 0 && errno == EEXIST && ::unlink(temp_.c_str()) == 0) {
            fd_ = ::open(temp_.c_str(), flags, 0666);
        }
        created_ = fd_ >= 0;
        return created_;
    }

    // Writes all of `count` buffers, going on after short writes and interruptions.
    bool write(iovec* iov, int count) {
        while (count > 0) {
            const ssize_t n = ::writev(fd_, iov, count);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            auto left = static_cast<std::size_t>(n);
            while (count > 0 && left >= iov->iov_len) {
                left -= iov->iov_len;
                ++iov;
                --count;
            }
            if (count > 0) {
                iov->iov_base = static_cast<char*>(iov->iov_base) + left;
                iov->iov_len -= left;
            }
        }
        return true;
    }

    bool commit() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            return false;
        }
        if (::rename(temp_.c_str(), path_) != 0) {
            return false;
        }
        committed_ = true;
        g_has_unfinished = 0;
        return true;
    }

  private:
    const char* path_;
    std::string temp_;
    int fd_ = -1;
    bool created_ = false;
    bool committed_ = false;
};

// Collects the pieces of the file as buffers and hands them to the file in as few calls as the
// system allows. Adjacent pieces are merged, so rows that lie one after another in memory go out
// as one buffer.
class Gather {
  public:
    explicit Gather(OutputFile& file) : file_(file) { iov_.reserve(BATCH); }

    bool add(const void* data, std::size_t size) {
        if (size == 0) {
            return true;
        }
        if (!iov_.empty()) {
            iovec& last = iov_.back();
            if (static_cast<const char*>(last.iov_base) + last.iov_len == data) {
                last.iov_len += size;
                return true;
            }
        }
        if (iov_.size() == BATCH && !flush()) {
            return false;
        }
        iov_.push_back(iovec{const_cast<void*>(data), size});
        return true;
    }

    bool flush() {
        const bool ok = file_.write(iov_.data(), static_cast<int>(iov_.size()));
        iov_.clear();
        return ok;
    }

  private:
    static constexpr std::size_t BATCH = 512;  // well below every system's IOV_MAX
    OutputFile& file_;
    std::vector<iovec> iov_;
};

TiffResult failure(const char* path, const char* what) {
    TiffResult r;
    r.ok = false;
    r.message = std::string(path) + " : " + what + "\n";
    return r;
}

const std::uint8_t ZERO_BYTE = 0;
constexpr std::size_t CHUNK_BYTES = std::size_t{256} << 10;

}  // namespace

void tiff_discard_unfinished() noexcept {
    if (g_has_unfinished != 0) {
        ::unlink(g_unfinished);
    }
}

bool tiff_layout(std::int32_t width, std::int32_t height, std::int32_t bits_per_sample,
                 std::uint64_t description_length, bool has_description, TiffLayout& t) {
    if (width < 1 || height < 1 || bits_per_sample < 1 || bits_per_sample > 32) {
        return false;
    }
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    t.row_bytes = (static_cast<std::uint64_t>(bits_per_sample) * w + 7) >> 3;
    if (t.row_bytes > MAX_TIFF_OFFSET) {
        // Refused before the sums below: with a row under 2^32 bytes and fewer than 2^31 rows
        // none of them can wrap around.
        return false;
    }
    t.rows_per_strip = t.row_bytes > MAX_STRIP_BYTES ? 1 : MAX_STRIP_BYTES / t.row_bytes;
    t.strip_count = (h + t.rows_per_strip - 1) / t.rows_per_strip;
    t.description_size = has_description ? description_length + 1 : 0;
    t.data_offset = t.description_size > 4 ? 8 + t.description_size + t.description_size % 2 : 8;

    // Every strip holds rows_per_strip rows but the last, which holds the rest.
    const std::uint64_t full_strip = t.rows_per_strip * t.row_bytes;
    const std::uint64_t last_rows = h - (t.strip_count - 1) * t.rows_per_strip;
    const std::uint64_t last_strip = last_rows * t.row_bytes;
    t.arrays_offset = t.data_offset + (t.strip_count - 1) * (full_strip + full_strip % 2) +
                      last_strip + last_strip % 2;
    t.ifd_offset = t.strip_count == 1 ? t.arrays_offset : t.arrays_offset + 8 * t.strip_count;
    const std::uint64_t entries = has_description ? 11 : 10;
    t.file_size = t.ifd_offset + 2 + 12 * entries + 4;
    return t.file_size <= MAX_TIFF_OFFSET;
}

TiffResult write_tiff(const char* path, std::int32_t width, std::int32_t height,
                      std::int32_t bits_per_sample, const std::uint16_t* const* rows,
                      const char* description) {
    // Arguments that cannot make a TIFF file are refused before any file is created or replaced.
    char refusal[160];
    if (width < 1 || height < 1) {
        std::snprintf(refusal, sizeof refusal,
                      "cannot store an image of %ld x %ld samples: width and height must be at "
                      "least 1.",
                      static_cast<long>(width), static_cast<long>(height));
        return failure(path, refusal);
    }
    if (bits_per_sample < 1 || bits_per_sample > 32) {
        std::snprintf(refusal, sizeof refusal,
                      "cannot store %ld bits per sample: bits per sample must be 1 to 32.",
                      static_cast<long>(bits_per_sample));
        return failure(path, refusal);
    }
    const std::uint64_t description_length = description != nullptr ? std::strlen(description) : 0;
    TiffLayout t;
    if (!tiff_layout(width, height, bits_per_sample, description_length, description != nullptr,
                     t)) {
        std::snprintf(refusal, sizeof refusal,
                      "cannot store an image of %ld x %ld samples with %ld bits per sample: more "
                      "than a TIFF file can hold.",
                      static_cast<long>(width), static_cast<long>(height),
                      static_cast<long>(bits_per_sample));
        return failure(path, refusal);
    }
    const auto K = static_cast<std::uint32_t>(t.strip_count);
    const auto S = static_cast<std::uint32_t>(t.rows_per_strip);
    const auto R = static_cast<std::size_t>(t.row_bytes);
    const auto D = static_cast<std::uint32_t>(t.description_size);
    // Bytes of strip i, its pad byte not counted: every strip holds S rows but the last.
    const auto strip_bytes = [&](std::uint64_t i) {
        return std::min<std::uint64_t>(S, static_cast<std::uint64_t>(height) - i * S) * R;
    };

    // Everything around the pixel data is built before the file is created.
    std::vector<std::uint8_t> head;
    std::vector<std::uint8_t> tail;
    std::vector<std::uint8_t> chunk;
    const bool rows_as_stored = bits_per_sample == 16 && std::endian::native == std::endian::little;
    try {
        head.reserve(8 + D + 1);
        head.push_back('I');
        head.push_back('I');
        put16(head, 42);
        put32(head, static_cast<std::uint32_t>(t.ifd_offset));
        if (D > 4) {
            head.insert(head.end(), description, description + D);  // with its NUL
            if (D % 2 != 0) {
                head.push_back(0);
            }
        }

        tail.reserve((K > 1 ? 8 * std::size_t{K} : 0) + 2 + 12 * 11 + 4);
        if (K > 1) {
            std::uint64_t offset = t.data_offset;
            for (std::uint32_t i = 0; i < K; ++i) {
                put32(tail, static_cast<std::uint32_t>(offset));
                offset += strip_bytes(i) + strip_bytes(i) % 2;
            }
            for (std::uint32_t i = 0; i < K; ++i) {
                put32(tail, static_cast<std::uint32_t>(strip_bytes(i)));
            }
        }
        const auto E = static_cast<std::uint32_t>(t.arrays_offset);
        const auto w = static_cast<std::uint32_t>(width);
        const auto h = static_cast<std::uint32_t>(height);
        put16(tail, description != nullptr ? 11 : 10);
        put_entry(tail, 256, w <= 0xFFFF ? TYPE_SHORT : TYPE_LONG, 1, w);
        put_entry(tail, 257, h <= 0xFFFF ? TYPE_SHORT : TYPE_LONG, 1, h);
        put_entry(tail, 258, TYPE_SHORT, 1, static_cast<std::uint32_t>(bits_per_sample) & 0xFFFF);
        put_entry(tail, 259, TYPE_SHORT, 1, 1);
        put_entry(tail, 262, TYPE_SHORT, 1, bits_per_sample == 1 ? 0 : 1);
        if (description != nullptr) {
            put16(tail, 270);
            put16(tail, TYPE_ASCII);
            put32(tail, D);
            if (D > 4) {
                put32(tail, 8);
            } else {
                std::uint8_t inline_text[4] = {0, 0, 0, 0};
                std::memcpy(inline_text, description, D - 1);
                tail.insert(tail.end(), inline_text, inline_text + 4);
            }
        }
        put_entry(tail, 273, TYPE_LONG, K, K == 1 ? static_cast<std::uint32_t>(t.data_offset) : E);
        put_entry(tail, 277, TYPE_SHORT, 1, 1);
        put_entry(tail, 278, TYPE_LONG, 1, S);
        put_entry(tail, 279, TYPE_LONG, K,
                  K == 1 ? static_cast<std::uint32_t>(strip_bytes(0)) : E + 4 * K);
        put16(tail, 284);
        put16(tail, TYPE_SHORT);
        put32(tail, 1);
        put16(tail, 1);
        put16(tail, 0);
        put32(tail, 0);  // no further IFD

        if (!rows_as_stored) {
            chunk.resize(std::max(CHUNK_BYTES, R));
        }
    } catch (const std::bad_alloc&) {
        return failure(path, "no allocatable memory.");
    }

    OutputFile file(path);
    if (!file.create()) {
        return failure(path, "file not stored.");
    }
    Gather out(file);
    bool ok = out.add(head.data(), head.size());
    if (rows_as_stored) {
        // Cells in memory already are 16-bit little-endian, and with rows of an even size no
        // strip needs a pad byte: the rows go out as they stand, every run of rows that lie one
        // after another in memory as one buffer.
        const auto rows_total = static_cast<std::size_t>(height);
        for (std::size_t r = 0; ok && r < rows_total;) {
            std::size_t end = r + 1;
            while (end < rows_total && rows[end] == rows[end - 1] + width) {
                ++end;
            }
            ok = out.add(rows[r], (end - r) * R);
            r = end;
        }
    }
    std::size_t used = 0;  // bytes of `chunk` handed to `out` since its last flush
    for (std::uint32_t strip = 0; ok && !rows_as_stored && strip < K; ++strip) {
        const std::uint64_t first = std::uint64_t{strip} * S;
        const std::uint64_t end =
            std::min<std::uint64_t>(first + S, static_cast<std::uint64_t>(height));
        for (std::uint64_t r = first; ok && r < end; ++r) {
            if (used + R > chunk.size()) {
                ok = out.flush();
                used = 0;
            }
            tiff_encode_row(bits_per_sample, rows[r], width, chunk.data() + used);
            ok = ok && out.add(chunk.data() + used, R);
            used += R;
        }
        if (strip_bytes(strip) % 2 != 0) {
            ok = ok && out.add(&ZERO_BYTE, 1);
        }
    }
    ok = ok && out.add(tail.data(), tail.size()) && out.flush() && file.commit();
    if (!ok) {
        return failure(path, "file not stored.");
    }
    return {};
}

}  // namespace frameburst
