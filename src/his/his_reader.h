// Reading HIS image sequences: frames laid end to end, each a 64-byte header, a comment and the
// frame's pixel bytes (16-bit little-endian samples or packed 12-bit samples).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

namespace frameburst {

inline constexpr std::int16_t HIS_TYPE_16BIT = 2;
inline constexpr std::int16_t HIS_TYPE_12BIT_PACKED = 6;

inline constexpr std::size_t HIS_HEADER_SIZE = 64;

// Statuses of his_read_header.
inline constexpr int HIS_OK = 0;
inline constexpr int ERR_OPEN = -10;
inline constexpr int ERR_HEADER_SHORT = -21;
inline constexpr int ERR_COMMENT_ALLOC = -12;
inline constexpr int ERR_COMMENT_SHORT = -13;

// One frame header as it lies on disk (all fields little-endian), plus the frame's comment.
struct HIS_Header {
    char id[2] = {0, 0};                 // "IM"
    std::int16_t comment_length = 0;     // bytes of comment after the header
    std::int16_t width = 0;              // samples per row
    std::int16_t height = 0;             // rows per frame
    std::uint8_t reserved_8[4] = {};     // offset 8, not interpreted
    std::int16_t pixel_type = 0;         // HIS_TYPE_16BIT or HIS_TYPE_12BIT_PACKED
    std::uint16_t image_count_low = 0;   // low half of the frame count
    std::uint16_t image_count_high = 0;  // high half of the frame count
    std::uint8_t reserved_18[46] = {};   // offset 18, not interpreted
    std::string comment;                 // the comment_length bytes that follow the header
};

// Decodes the 64 header bytes; the comment is left alone.
void his_decode_header(const std::uint8_t* bytes, HIS_Header& header);

// Whether the header starts with the "IM" mark.
bool his_has_id(const HIS_Header& header);

// The frame count the header announces (high * 65536 + low).
std::uint32_t his_frame_count(const HIS_Header& header);

// The geometry every frame of a run must have, with its sizes in 64 bits.
struct HisFrameShape {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int16_t pixel_type = 0;
    std::uint64_t sample_count = 0;  // width * height
    std::uint64_t pixel_bytes = 0;   // bytes of pixel data on disk
};

// Whether a header describes frames the reader can deliver: pixel type 2 or 6 and a positive
// width and height.
bool his_shape_supported(const HIS_Header& header);

// The shape of a supported header (see his_shape_supported).
HisFrameShape his_frame_shape(const HIS_Header& header);

// Reads the first frame's header and comment from the file at `path`; returns HIS_OK or one of the
// ERR_ statuses after printing its message ("can not open" on `out`, the others on `err`).
int his_read_header(const char* path, HIS_Header& header, std::FILE* out = stdout,
                    std::FILE* err = stderr);

// Allocates blocks that begin 64 bytes past a page boundary. The system copies pixel bytes from
// the input file's pages into these buffers and from them into the output file's pages, and such a
// copy runs markedly slower (up to 3x) when, within a page, its destination lies 1 to 31 bytes
// ahead of its source. The run's TIFF files have their pixel data 26 to 46 bytes into the file, so
// a buffer at a page boundary would put most writes in that range; 64 bytes in, the destination
// always lies behind the source instead.
template <class T>
struct HisFrameAllocator {
    using value_type = T;
    static constexpr std::size_t PAGE = 4096;
    static constexpr std::size_t OFFSET = 64;
    HisFrameAllocator() = default;
    template <class U>
    HisFrameAllocator(const HisFrameAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        auto* block = static_cast<unsigned char*>(
            ::operator new (n * sizeof(T) + OFFSET, std::align_val_t{PAGE}));
        return reinterpret_cast<T*>(block + OFFSET);
    }
    void deallocate(T* p, std::size_t) noexcept {
        ::operator delete (reinterpret_cast<unsigned char*>(p) - OFFSET, std::align_val_t{PAGE});
    }
    template <class U>
    bool operator==(const HisFrameAllocator<U>&) const noexcept {
        return true;
    }
};

// Storage that his_read_frame fills. It is kept for the whole run and grows only as pixel bytes
// actually arrive, so a header that claims a huge frame costs no more than the bytes present.
struct HisFrameBuffers {
    template <class T>
    using Buffer = std::vector<T, HisFrameAllocator<T>>;
    Buffer<std::uint8_t> packed;    // packed 12-bit pixel bytes
    Buffer<std::uint16_t> samples;  // the frame's samples, row after row
};

enum class HisFrameResult {
    read,       // a whole frame is in buffers.samples
    end,        // the stream ended cleanly at a frame boundary
    failure,    // the frame could not be read; the message is printed
    no_memory,  // a buffer could not be obtained; the message is printed
};

// Reads the next frame from `in`: its header into `header`, its comment into header.comment, and
// its samples into buffers.samples. A frame whose geometry or pixel type differs from `expected`
// is a failure, and no pixel bytes are read for it.
HisFrameResult his_read_frame(std::FILE* in, HIS_Header& header, const HisFrameShape& expected,
                              HisFrameBuffers& buffers, std::FILE* err = stderr);

// Unpacks `packed_bytes` bytes of packed 12-bit data into samples: every three bytes AB CD EF give
// the samples 0xABC and 0xDEF. A trailing group of one or two bytes gives one more sample, built
// like the first sample of a group with its missing low bits 0. Writes
// unpacked_sample_count(packed_bytes) samples and reads nothing beyond `packed_bytes`.
void unpack_12bit(const std::uint8_t* packed, std::uint64_t packed_bytes, std::uint16_t* samples);

// Number of samples unpack_12bit writes for `packed_bytes` bytes.
constexpr std::uint64_t unpacked_sample_count(std::uint64_t packed_bytes) {
    return 2 * (packed_bytes / 3) + (packed_bytes % 3 != 0 ? 1 : 0);
}

}  // namespace frameburst
