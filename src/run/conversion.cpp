#include "conversion.h"

#include <unistd.h>

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "tiff_writer.h"

namespace frameburst {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

constexpr std::uint64_t SMALL_FRAME_BYTES = std::uint64_t{16} << 10;
constexpr std::size_t SMALL_FRAME_STREAM_BUFFER = std::size_t{128} << 10;

// Counts are stored unsigned but shown as signed 32-bit numbers.
long as_signed32(std::uint64_t value) {
    return static_cast<long>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

}  // namespace

int run_frames(std::FILE* in, const HisFrameShape& shape, std::uint32_t frame_count, std::FILE* out,
               std::FILE* err) {
    // The row table: row r points at sample r * width of the frame's sample buffer.
    std::vector<const std::uint16_t*> rows;
    try {
        rows.resize(static_cast<std::size_t>(shape.height > 0 ? shape.height : 0));
    } catch (const std::bad_alloc&) {
        std::fputs("cell memory allocation error (1).\n", err);
        return RUN_ABORTED;
    }
    const bool on_terminal = ::isatty(::fileno(out)) != 0;
    const char* const name_format = frame_count < 10000 ? "a%04lld.tif" : "a%05lld.tif";

    HIS_Header header;
    HisFrameBuffers buffers;
    for (std::uint64_t k = 0;; ++k) {
        switch (his_read_frame(in, header, shape, buffers, err)) {
            case HisFrameResult::read:
                break;
            case HisFrameResult::end:
                std::fputs("\n", out);
                return RUN_OK;
            case HisFrameResult::failure:
                std::fprintf(out, "something wrong -- return value is %d", RUN_FAILED);
                return RUN_FAILED;
            case HisFrameResult::no_memory:
                return RUN_ABORTED;
        }

        char description[150];
        std::snprintf(description, sizeof description, "frameburst\t%ld\t/\t%ld", as_signed32(k),
                      as_signed32(frame_count));
        char name[32];
        std::snprintf(name, sizeof name, name_format, static_cast<long long>(k + 1));

        const std::uint16_t* samples = buffers.samples.data();
        for (std::size_t r = 0; r < rows.size(); ++r) {
            rows[r] = samples + r * static_cast<std::size_t>(shape.width);
        }
        const TiffResult written =
            write_tiff(name, header.width, header.height, 16, rows.data(), description);
        if (!written.ok) {
            std::fputs(written.message.c_str(), err);
            return RUN_ABORTED;
        }

        std::fprintf(out, "%s \r", name);
        if (on_terminal) {
            std::fflush(out);
        }
    }
}

int run_frameburst(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    if (argc < 2) {
        std::fputs("Usage is 'frameburst hisfile (head)'\n", out);
        return RUN_FAILED;
    }
    const char* const path = argv[1];

    HIS_Header first;
    const int status = his_read_header(path, first, out, err);
    if (status != HIS_OK) {
        std::fprintf(out, "something wrong -- return value is %d", status);
        return RUN_FAILED;
    }
    const std::uint32_t frame_count = his_frame_count(first);
    if (first.pixel_type == HIS_TYPE_12BIT_PACKED) {
        std::fprintf(out, "12 bits %ld images\n", as_signed32(frame_count));
    } else if (first.pixel_type == HIS_TYPE_16BIT) {
        std::fprintf(out, "16 bits %ld images\n", as_signed32(frame_count));
    }
    std::fprintf(out, "reading %s.\n", path);

    // Negative sizes are requests for buffers that cannot exist.
    if (first.height < 0) {
        std::fputs("cell memory allocation error (1).\n", err);
        return RUN_ABORTED;
    }
    if (first.width < 0 && first.height > 0) {
        std::fputs("cell memory allocation error (2).\n", err);
        return RUN_ABORTED;
    }
    // A file without the "IM" mark is reported by the frame loop as not being an HIS file.
    if (his_has_id(first)) {
        if (first.width == 0 || first.height == 0) {
            std::fprintf(err, "%s: the first frame is %d x %d samples and holds no image.\n", path,
                         first.width, first.height);
            return RUN_ABORTED;
        }
        if (!his_shape_supported(first)) {
            std::fprintf(err, "%s: pixel type %d is not supported (2: 16-bit, 6: packed 12-bit).\n",
                         path, first.pixel_type);
            return RUN_ABORTED;
        }
    }

    std::vector<char> stream_buffer;  // outlives `in`, which may use it
    std::unique_ptr<std::FILE, FileCloser> in(std::fopen(path, "rb"));
    if (!in) {
        std::fprintf(out, "can not open %s for input\n", path);
        return RUN_OPEN_FAILED;
    }
    const HisFrameShape shape = his_frame_shape(first);
    if (shape.pixel_bytes < SMALL_FRAME_BYTES) {
        // Small frames: a large stream buffer brings many frames per read request. (Larger
        // frames keep the default buffer: their pixel bytes bypass it and go straight to the
        // frame buffer, where a large stream buffer would add a copy.) Without the memory the
        // stream simply keeps its default buffer.
        try {
            stream_buffer.resize(SMALL_FRAME_STREAM_BUFFER);
            std::setvbuf(in.get(), stream_buffer.data(), _IOFBF, stream_buffer.size());
        } catch (const std::bad_alloc&) {
        }
    }
    return run_frames(in.get(), shape, frame_count, out, err);
}

}  // namespace frameburst
