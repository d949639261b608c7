// Writing one grayscale image as a complete, uncompressed, single-image little-endian TIFF file.
#pragma once

#include <cstdint>
#include <string>

namespace frameburst {

// The sizes and offsets of one TIFF file, all known before its first byte is written.
struct TiffLayout {
    std::uint64_t row_bytes = 0;         // R: bytes per encoded row
    std::uint64_t rows_per_strip = 0;    // S: rows per strip (strips hold at most 8192 bytes)
    std::uint64_t strip_count = 0;       // K
    std::uint64_t description_size = 0;  // D: description length + 1, or 0 without one
    std::uint64_t data_offset = 0;       // P: offset of strip 0
    std::uint64_t arrays_offset = 0;     // E: first byte after the last strip and its pad
    std::uint64_t ifd_offset = 0;        // F
    std::uint64_t file_size = 0;
};

// Computes the layout; false when the arguments cannot make a TIFF file (a width or height below
// 1, bits per sample outside 1..32, or a file beyond the 32-bit offsets of TIFF).
bool tiff_layout(std::int32_t width, std::int32_t height, std::int32_t bits_per_sample,
                 std::uint64_t description_length, bool has_description, TiffLayout& layout);

// Outcome of write_tiff: on failure, `message` is the line for standard error.
struct TiffResult {
    bool ok = true;
    std::string message;
};

// Stores `height` rows of `width` 16-bit cells (rows[0] first) as the TIFF file `path` with
// `bits_per_sample` bits per sample (1 to 32; each cell gives its low bits) and the optional
// NUL-terminated `description`. A width or height below 1, bits outside 1..32 or an image too
// large for TIFF's 32-bit offsets are refused before any file is touched. The file appears under
// `path` only once it is complete: it is written under a temporary name beside it and renamed; on
// any failure nothing is left and an existing file of that name stays as it was.
[[nodiscard]] TiffResult write_tiff(const char* path, std::int32_t width, std::int32_t height,
                                    std::int32_t bits_per_sample, const std::uint16_t* const* rows,
                                    const char* description);

// Removes the temporary file of a write_tiff call in progress, if there is one. Safe to call from
// a signal handler, for a process that is about to end in the middle of a write.
void tiff_discard_unfinished() noexcept;

// Encodes one row of `width` cells as write_tiff stores it with `bits_per_sample` bits per sample
// (1 to 32), into exactly (bits_per_sample * width + 7) / 8 bytes at `out`. write_tiff skips this
// for 16 bits on a little-endian host, where the cells in memory already are the stored bytes.
void tiff_encode_row(std::int32_t bits_per_sample, const std::uint16_t* cells, std::int32_t width,
                     std::uint8_t* out);

}  // namespace frameburst
