#include "his_reader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

namespace frameburst {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::int16_t load_i16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}
std::uint16_t load_u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Prints the system's reason after a read error of the input.
void report_read_error(std::FILE* in, std::FILE* err) {
    if (std::ferror(in) != 0) {
        std::fprintf(err, "Error reading input file: %s\n", std::strerror(errno));
    }
}

constexpr std::uint64_t FIRST_READ_BYTES = std::uint64_t{1} << 20;

// Reads `need` bytes into the start of `buf`, growing it only as bytes arrive: a buffer already
// large enough is filled in one request, a smaller one doubles per request from 1 MiB. Returns the
// number of bytes read; throws std::bad_alloc when the buffer cannot grow.
template <class Buffer>
std::uint64_t read_into(std::FILE* in, Buffer& buf, std::uint64_t need) {
    using T = typename Buffer::value_type;
    const std::uint64_t need_items = (need + sizeof(T) - 1) / sizeof(T);
    std::uint64_t got = 0;
    for (;;) {
        std::uint64_t have_bytes = static_cast<std::uint64_t>(buf.size()) * sizeof(T);
        if (have_bytes < need) {
            const std::uint64_t grown =
                std::max<std::uint64_t>(buf.size() * 2, FIRST_READ_BYTES / sizeof(T));
            const auto items = static_cast<std::size_t>(std::min(need_items, grown));
            buf.reserve(items);
            buf.resize(items);
            have_bytes =
                std::min<std::uint64_t>(static_cast<std::uint64_t>(items) * sizeof(T), need);
        } else {
            have_bytes = need;
        }
        auto* bytes = reinterpret_cast<unsigned char*>(buf.data());
        const std::size_t want = static_cast<std::size_t>(have_bytes - got);
        const std::size_t n = std::fread(bytes + got, 1, want, in);
        got += n;
        if (n < want || got == need) {
            return got;
        }
    }
}

}  // namespace

void his_decode_header(const std::uint8_t* b, HIS_Header& h) {
    h.id[0] = static_cast<char>(b[0]);
    h.id[1] = static_cast<char>(b[1]);
    h.comment_length = load_i16(b + 2);
    h.width = load_i16(b + 4);
    h.height = load_i16(b + 6);
    std::memcpy(h.reserved_8, b + 8, sizeof h.reserved_8);
    h.pixel_type = load_i16(b + 12);
    h.image_count_low = load_u16(b + 14);
    h.image_count_high = load_u16(b + 16);
    std::memcpy(h.reserved_18, b + 18, sizeof h.reserved_18);
}

bool his_has_id(const HIS_Header& h) {
    return h.id[0] == 'I' && h.id[1] == 'M';
}

std::uint32_t his_frame_count(const HIS_Header& h) {
    return (static_cast<std::uint32_t>(h.image_count_high) << 16) | h.image_count_low;
}

bool his_shape_supported(const HIS_Header& h) {
    return (h.pixel_type == HIS_TYPE_16BIT || h.pixel_type == HIS_TYPE_12BIT_PACKED) &&
           h.width > 0 && h.height > 0;
}

HisFrameShape his_frame_shape(const HIS_Header& h) {
    HisFrameShape s;
    s.width = h.width;
    s.height = h.height;
    s.pixel_type = h.pixel_type;
    if (h.width > 0 && h.height > 0) {
        s.sample_count = static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(h.height);
    }
    s.pixel_bytes =
        h.pixel_type == HIS_TYPE_12BIT_PACKED ? 3 * s.sample_count / 2 : 2 * s.sample_count;
    return s;
}

int his_read_header(const char* path, HIS_Header& header, std::FILE* out, std::FILE* err) {
    FilePtr file(std::fopen(path, "rb"));
    if (!file) {
        std::fprintf(out, "can not open %s for input\n", path);
        return ERR_OPEN;
    }
    std::uint8_t bytes[HIS_HEADER_SIZE];
    if (std::fread(bytes, 1, sizeof bytes, file.get()) != sizeof bytes) {
        std::fputs("Error [his header 64bytes]t\n", err);
        return ERR_HEADER_SHORT;
    }
    his_decode_header(bytes, header);
    if (header.comment_length < 0) {
        std::fputs("Connot allocate memory (HIS_Header.comment)\n", err);
        return ERR_COMMENT_ALLOC;
    }
    const auto length = static_cast<std::size_t>(header.comment_length);
    header.comment.assign(length, '\0');
    if (std::fread(header.comment.data(), 1, length, file.get()) != length) {
        std::fputs("EOF found (comment)\n", err);
        return ERR_COMMENT_SHORT;
    }
    return HIS_OK;
}

HisFrameResult his_read_frame(std::FILE* in, HIS_Header& header, const HisFrameShape& expected,
                              HisFrameBuffers& buffers, std::FILE* err) {
    std::uint8_t bytes[HIS_HEADER_SIZE];
    const std::size_t got_header = std::fread(bytes, 1, sizeof bytes, in);
    if (got_header == 0 && std::ferror(in) == 0) {
        return HisFrameResult::end;
    }
    if (got_header < sizeof bytes) {
        if (std::ferror(in) != 0) {
            report_read_error(in, err);
        } else {
            std::fputs("EOF in input file (header)\n", err);
        }
        return HisFrameResult::failure;
    }
    his_decode_header(bytes, header);
    if (!his_has_id(header)) {
        std::fputs("This is not HIS image file.\n", err);
        return HisFrameResult::failure;
    }

    if (header.comment_length < 0) {
        std::fputs("Connot allocate memory (HIS_Header.comment)\n", err);
        return HisFrameResult::failure;
    }
    const auto length = static_cast<std::size_t>(header.comment_length);
    header.comment.assign(length, '\0');
    if (std::fread(header.comment.data(), 1, length, in) != length) {
        if (std::ferror(in) != 0) {
            report_read_error(in, err);
        } else {
            std::fputs("EOF found (comment)\n", err);
        }
        return HisFrameResult::failure;
    }

    if (header.pixel_type != HIS_TYPE_16BIT && header.pixel_type != HIS_TYPE_12BIT_PACKED) {
        std::fprintf(err, "Unsupported pixel type %d in frame header (expected 2 or 6).\n",
                     header.pixel_type);
        return HisFrameResult::failure;
    }
    if (header.width != expected.width || header.height != expected.height ||
        header.pixel_type != expected.pixel_type) {
        std::fprintf(err,
                     "Frame of %d x %d, pixel type %d, differs from the first frame "
                     "(%d x %d, pixel type %d).\n",
                     header.width, header.height, header.pixel_type, expected.width,
                     expected.height, expected.pixel_type);
        return HisFrameResult::failure;
    }

    try {
        if (expected.pixel_type == HIS_TYPE_16BIT) {
            const std::uint64_t got = read_into(in, buffers.samples, expected.pixel_bytes);
            if (got < expected.pixel_bytes) {
                std::fprintf(err, " Error reading at %lld\n", static_cast<long long>(got / 2));
                report_read_error(in, err);
                return HisFrameResult::failure;
            }
            if constexpr (std::endian::native != std::endian::little) {
                // The bytes were read in file order, low byte first: decode them in place.
                auto* raw = reinterpret_cast<const std::uint8_t*>(buffers.samples.data());
                for (std::uint64_t i = 0; i < expected.sample_count; ++i) {
                    buffers.samples[i] = load_u16(raw + 2 * i);
                }
            }
        } else {
            const std::uint64_t got = read_into(in, buffers.packed, expected.pixel_bytes);
            if (got < expected.pixel_bytes) {
                std::fprintf(err, " Error reading at %lld\n", static_cast<long long>(got));
                report_read_error(in, err);
                return HisFrameResult::failure;
            }
            const auto n = static_cast<std::size_t>(expected.sample_count);
            if (buffers.samples.size() < n) {
                buffers.samples.reserve(n);
                buffers.samples.resize(n);
            }
            unpack_12bit(buffers.packed.data(), expected.pixel_bytes, buffers.samples.data());
        }
    } catch (const std::bad_alloc&) {
        std::fputs("frame memory allocation error.\n", err);
        return HisFrameResult::no_memory;
    }
    return HisFrameResult::read;
}

}  // namespace frameburst
