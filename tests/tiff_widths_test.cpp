// The TIFF writer at every sample width from 1 to 32 bits: exact bytes of small files, the packed
// bit stream checked by a bit reader of its own, the file layout with odd-sized strips, the LONG
// width and height fields, and the arguments that are refused without touching any file.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"
#include "tiff_writer.h"

namespace {

using frameburst::write_tiff;
using test_support::Bytes;
using test_support::le16;
using test_support::le32;

constexpr std::uint16_t SHORT = 3;
constexpr std::uint16_t LONG = 4;

// An image as the writer takes it: a row table over one block of cells.
struct Image {
    int width;
    int height;
    std::vector<std::uint16_t> cells;
    std::vector<const std::uint16_t*> rows;

    Image(int w, int h, std::vector<std::uint16_t> values)
        : width(w), height(h), cells(std::move(values)) {
        for (int r = 0; r < h; ++r) {
            rows.push_back(cells.data() +
                           static_cast<std::size_t>(r) * static_cast<std::size_t>(w));
        }
    }
    // Cells of arbitrary 16-bit values, so that every width below 16 sees surplus high bits.
    static Image noise(int w, int h, std::uint32_t seed) {
        std::vector<std::uint16_t> v(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
        std::uint32_t x = seed;
        for (auto& c : v) {
            x = x * 1664525u + 1013904223u;
            c = static_cast<std::uint16_t>(x >> 16);
        }
        return Image(w, h, std::move(v));
    }
};

// Reads a byte stream bit by bit, most significant bit of each byte first.
class BitReader {
  public:
    explicit BitReader(const std::uint8_t* data) : data_(data) {}
    std::uint32_t read(int bits) {
        std::uint32_t v = 0;
        for (int i = 0; i < bits; ++i, ++pos_) {
            v = (v << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
        }
        return v;
    }
    std::size_t position() const { return pos_; }

  private:
    const std::uint8_t* data_;
    std::size_t pos_ = 0;
};

std::uint64_t row_bytes(int width, int bits) {
    return (static_cast<std::uint64_t>(bits) * static_cast<std::uint64_t>(width) + 7) / 8;
}

// What a cell becomes in the file: its `bits` low bits.
std::uint32_t stored_value(std::uint16_t cell, int bits) {
    return bits >= 16 ? cell : cell & ((1u << bits) - 1);
}

// Checks `data`, the concatenated strips of an image, row by row: 16 and 32 bits are little-endian
// cells, every other width a bit stream, most significant bit first, that starts afresh with each
// row and fills the row's last byte with 0 bits.
testing::AssertionResult rows_decode_to(const Bytes& data, const Image& img, int bits) {
    const std::size_t R = row_bytes(img.width, bits);
    if (data.size() != R * static_cast<std::size_t>(img.height)) {
        return testing::AssertionFailure() << data.size() << " data bytes, expected "
                                           << R * static_cast<std::size_t>(img.height);
    }
    for (int r = 0; r < img.height; ++r) {
        const std::uint8_t* row = data.data() + R * static_cast<std::size_t>(r);
        const std::uint16_t* cells = img.rows[static_cast<std::size_t>(r)];
        BitReader bitstream(row);
        for (int x = 0; x < img.width; ++x) {
            const std::uint8_t* p = row + static_cast<std::size_t>(x) * (bits / 8);
            std::uint32_t got = 0;
            if (bits == 16) {
                got = p[0] | std::uint32_t{p[1]} << 8;
            } else if (bits == 32) {
                got = p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                      std::uint32_t{p[3]} << 24;
            } else {
                got = bitstream.read(bits);
            }
            const std::uint32_t want = stored_value(cells[x], bits);
            if (got != want) {
                return testing::AssertionFailure() << "row " << r << " sample " << x << ": got 0x"
                                                   << std::hex << got << ", expected 0x" << want;
            }
        }
        if (bits != 16 && bits != 32) {
            const std::size_t fill = R * 8 - bitstream.position();
            if (fill >= 8 || bitstream.read(static_cast<int>(fill)) != 0) {
                return testing::AssertionFailure() << "row " << r << " does not end with "
                                                   << "0 bits in its last byte";
            }
        }
    }
    return testing::AssertionSuccess();
}

// The layout the format's strip rule gives an image: strips of at most 8192 bytes (a longer row
// alone), each followed by a 0 byte when its size is odd, then the strip arrays when there are
// several strips, then the directory.
struct Layout {
    std::uint32_t row_bytes = 0;
    std::uint32_t rows_per_strip = 0;
    std::uint32_t description_size = 0;
    std::uint32_t data_offset = 0;
    std::uint32_t arrays_offset = 0;
    std::uint32_t ifd_offset = 0;
    std::vector<std::uint32_t> offsets;
    std::vector<std::uint32_t> counts;
};

Layout layout_of(int width, int height, int bits, const char* description) {
    Layout l;
    l.row_bytes = static_cast<std::uint32_t>(row_bytes(width, bits));
    l.rows_per_strip = l.row_bytes > 8192 ? 1 : 8192 / l.row_bytes;
    l.description_size =
        description != nullptr ? static_cast<std::uint32_t>(std::strlen(description)) + 1 : 0;
    l.data_offset = l.description_size > 4 ? 8 + l.description_size + l.description_size % 2 : 8;
    std::uint32_t at = l.data_offset;
    const auto h = static_cast<std::uint32_t>(height);
    for (std::uint32_t first = 0; first < h; first += l.rows_per_strip) {
        const std::uint32_t count = std::min(l.rows_per_strip, h - first) * l.row_bytes;
        l.offsets.push_back(at);
        l.counts.push_back(count);
        at += count + count % 2;
    }
    l.arrays_offset = at;
    const auto k = static_cast<std::uint32_t>(l.offsets.size());
    l.ifd_offset = k == 1 ? at : at + 8 * k;
    return l;
}

struct Entry {
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    std::uint32_t value;  // a SHORT's 16 bits, else the 4-byte field as a little-endian number
    bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& e, std::ostream* os) {
    *os << "{tag " << e.tag << ", type " << e.type << ", count " << e.count << ", value " << e.value
        << "}";
}

std::vector<Entry> read_ifd(const Bytes& f, std::uint32_t at) {
    std::vector<Entry> entries;
    const std::uint16_t n = le16(f, at);
    for (std::uint16_t i = 0; i < n; ++i) {
        const std::size_t e = at + 2 + 12u * i;
        const std::uint16_t type = le16(f, e + 2);
        entries.push_back(
            {le16(f, e), type, le32(f, e + 4),
             type == SHORT && le16(f, e + 10) == 0 ? le16(f, e + 8) : le32(f, e + 8)});
    }
    return entries;
}

std::vector<Entry> expected_ifd(int width, int height, int bits, const char* description,
                                const Layout& l) {
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    const auto k = static_cast<std::uint32_t>(l.offsets.size());
    std::vector<Entry> e = {
        {256, w <= 65535 ? SHORT : LONG, 1, w},
        {257, h <= 65535 ? SHORT : LONG, 1, h},
        {258, SHORT, 1, static_cast<std::uint32_t>(bits)},
        {259, SHORT, 1, 1},
        {262, SHORT, 1, bits == 1 ? 0u : 1u},
    };
    if (description != nullptr) {
        std::uint32_t value = 8;
        if (l.description_size <= 4) {
            std::uint8_t inline_text[4] = {0, 0, 0, 0};
            std::memcpy(inline_text, description, l.description_size);
            value = le32(Bytes(inline_text, inline_text + 4), 0);
        }
        e.push_back({270, 2, l.description_size, value});
    }
    e.push_back({273, LONG, k, k == 1 ? l.offsets[0] : l.arrays_offset});
    e.push_back({277, SHORT, 1, 1});
    e.push_back({278, LONG, 1, l.rows_per_strip});
    e.push_back({279, LONG, k, k == 1 ? l.counts[0] : l.arrays_offset + 4 * k});
    e.push_back({284, SHORT, 1, 1});
    return e;
}

// Writes `img` at `bits` per sample and checks the whole file: header, description, strips and
// their pad bytes, strip arrays, directory; then what libtiff makes of it.
void write_and_check(const Image& img, int bits, const char* description) {
    test_support::TempDir dir;
    const std::string path = dir.file("w.tif");
    const auto result =
        write_tiff(path.c_str(), img.width, img.height, bits, img.rows.data(), description);
    ASSERT_TRUE(result.ok) << result.message;

    const Bytes f = test_support::read_file(path);
    const Layout l = layout_of(img.width, img.height, bits, description);
    const auto k = static_cast<std::uint32_t>(l.offsets.size());
    const std::vector<Entry> entries = expected_ifd(img.width, img.height, bits, description, l);
    ASSERT_EQ(f.size(), l.ifd_offset + 2 + 12 * entries.size() + 4);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 4), (Bytes{'I', 'I', 42, 0}));
    EXPECT_EQ(le32(f, 4), l.ifd_offset);
    if (l.description_size > 4) {
        EXPECT_EQ(0, std::memcmp(f.data() + 8, description, l.description_size));
        if (l.description_size % 2 != 0) {
            EXPECT_EQ(f[8 + l.description_size], 0);
        }
    }
    EXPECT_EQ(read_ifd(f, l.ifd_offset), entries);
    EXPECT_EQ(le32(f, l.ifd_offset + 2 + 12 * entries.size()), 0u);  // no further directory
    if (k > 1) {
        for (std::uint32_t s = 0; s < k; ++s) {
            EXPECT_EQ(le32(f, l.arrays_offset + 4 * s), l.offsets[s]) << "strip " << s;
            EXPECT_EQ(le32(f, l.arrays_offset + 4 * (k + s)), l.counts[s]) << "strip " << s;
        }
    }
    Bytes data;
    for (std::uint32_t s = 0; s < k; ++s) {
        const auto begin = f.begin() + l.offsets[s];
        data.insert(data.end(), begin, begin + l.counts[s]);
        if (l.counts[s] % 2 != 0) {
            EXPECT_EQ(f[l.offsets[s] + l.counts[s]], 0) << "pad byte after strip " << s;
        }
    }
    EXPECT_TRUE(rows_decode_to(data, img, bits));

    const auto t = test_support::read_tiff(path);
    ASSERT_TRUE(t.opened);
    EXPECT_TRUE(t.messages.empty()) << t.messages.front();
    EXPECT_EQ(t.width, static_cast<std::uint32_t>(img.width));
    EXPECT_EQ(t.height, static_cast<std::uint32_t>(img.height));
    EXPECT_EQ(t.bits_per_sample, bits);
    EXPECT_EQ(t.samples_per_pixel, 1);
    EXPECT_EQ(t.compression, 1);
    EXPECT_EQ(t.photometric, bits == 1 ? 0 : 1);
    EXPECT_EQ(t.planar, 1);
    EXPECT_EQ(t.rows_per_strip, l.rows_per_strip);
    EXPECT_EQ(t.strip_count, k);
    EXPECT_EQ(t.directories, 1);
    EXPECT_EQ(t.has_description, description != nullptr);
    if (description != nullptr) {
        EXPECT_EQ(t.description, description);
    }
    EXPECT_TRUE(rows_decode_to(t.strip_bytes, img, bits));
}

// Expected file bytes, spelled out field by field.
struct Expect {
    Bytes b;
    Expect& bytes(const Bytes& x) {
        b.insert(b.end(), x.begin(), x.end());
        return *this;
    }
    Expect& u16(std::uint16_t x) {
        return bytes({static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x >> 8)});
    }
    Expect& u32(std::uint32_t x) { return u16(x & 0xFFFF).u16(x >> 16); }
    Expect& entry(std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
        u16(tag).u16(type).u32(1);
        return type == SHORT ? u16(static_cast<std::uint16_t>(value)).u16(0) : u32(value);
    }
};

// The row encodings, byte for byte, in complete one-strip files without a description.
TEST(TiffWidths, SmallFilesByteForByte) {
    struct Case {
        const char* what;
        int bits, width, height;
        std::vector<std::uint16_t> cells;
        Bytes data;  // the strip, without its pad byte
    };
    const Case cases[] = {
        {"12 bits, two samples", 12, 2, 1, {0xABC, 0xDEF}, {0xAB, 0xCD, 0xEF}},
        {"12 bits, one sample", 12, 1, 1, {0xABC}, {0xAB, 0xC0}},
        {"12 bits, each row starts on a byte", 12, 1, 2, {0xABC, 0xDEF}, {0xAB, 0xC0, 0xDE, 0xF0}},
        {"24 bits, most significant byte first", 24, 1, 1, {0x1234}, {0x00, 0x12, 0x34}},
        {"1 bit, white is 0", 1, 10, 1, {1, 0, 1, 1, 0, 0, 1, 0, 1, 1}, {0xB2, 0xC0}},
        {"4 bits", 4, 3, 1, {1, 2, 3}, {0x12, 0x30}},
        {"32 bits, least significant byte first", 32, 1, 1, {0x1234}, {0x34, 0x12, 0x00, 0x00}},
        {"8 bits, odd strip", 8, 3, 1, {0x12, 0x34, 0x56}, {0x12, 0x34, 0x56}},
        // A cell wider than the sample keeps its low bits only and leaves its neighbours alone.
        {"4 bits, masked", 4, 3, 1, {0x2, 0x11, 0xFFF3}, {0x21, 0x30}},
        {"12 bits, masked", 12, 2, 1, {0xFABC, 0xFDEF}, {0xAB, 0xCD, 0xEF}},
        {"1 bit, masked", 1, 3, 1, {0xFFFE, 0x0003, 0x8000}, {0x40}},
        {"8 bits, masked", 8, 2, 1, {0x1234, 0xFF00}, {0x34, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test_support::TempDir dir;
        const Image img(c.width, c.height, c.cells);
        const std::string path = dir.file("x.tif");
        const auto result =
            write_tiff(path.c_str(), c.width, c.height, c.bits, img.rows.data(), nullptr);
        ASSERT_TRUE(result.ok) << result.message;

        const auto size = static_cast<std::uint32_t>(c.data.size());
        const std::uint32_t row = size / static_cast<std::uint32_t>(c.height);
        Expect e;
        e.bytes({'I', 'I'}).u16(42).u32(8 + size + size % 2).bytes(c.data);
        if (size % 2 != 0) {
            e.bytes({0});
        }
        e.u16(10)
            .entry(256, SHORT, static_cast<std::uint32_t>(c.width))
            .entry(257, SHORT, static_cast<std::uint32_t>(c.height))
            .entry(258, SHORT, static_cast<std::uint32_t>(c.bits))
            .entry(259, SHORT, 1)
            .entry(262, SHORT, c.bits == 1 ? 0 : 1)
            .entry(273, LONG, 8)
            .entry(277, SHORT, 1)
            .entry(278, LONG, 8192 / row)
            .entry(279, LONG, size)
            .entry(284, SHORT, 1)
            .u32(0);
        EXPECT_EQ(test_support::read_file(path), e.b);
    }
}

// 8 bits per sample and odd widths: strips of an odd number of rows have an odd size, and each is
// followed by a 0 byte that neither its count nor the next strip's offset ignores.
TEST(TiffWidths, EightBitOddStripsArePadded) {
    struct Case {
        int width, height;
        std::vector<std::uint32_t> offsets, counts;
        std::uint32_t ifd_offset;
    };
    const Case cases[] = {
        // 1638 rows of 5 bytes per strip; the last strip is a single row.
        {5, 1639, {8, 8198}, {8190, 5}, 8204 + 16},
        // 481 rows of 17 bytes per strip: every strip is odd.
        {17, 963, {8, 8186, 16364}, {8177, 8177, 17}, 16382 + 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        test_support::TempDir dir;
        const Image img = Image::noise(c.width, c.height, 7);
        const std::string path = dir.file("odd.tif");
        ASSERT_TRUE(write_tiff(path.c_str(), c.width, c.height, 8, img.rows.data(), nullptr).ok);
        const Bytes f = test_support::read_file(path);
        const std::uint32_t k = static_cast<std::uint32_t>(c.offsets.size());
        ASSERT_EQ(f.size(), c.ifd_offset + 2 + 12 * 10 + 4);
        EXPECT_EQ(le32(f, 4), c.ifd_offset);
        const std::uint32_t arrays = c.ifd_offset - 8 * k;
        for (std::uint32_t s = 0; s < k; ++s) {
            EXPECT_EQ(le32(f, arrays + 4 * s), c.offsets[s]);
            EXPECT_EQ(le32(f, arrays + 4 * (k + s)), c.counts[s]);
            if (c.counts[s] % 2 != 0) {
                EXPECT_EQ(f[c.offsets[s] + c.counts[s]], 0) << "pad byte after strip " << s;
            }
        }
        write_and_check(img, 8, nullptr);
    }
}

// Every width from 1 to 32 on images with odd widths, rows that end inside a byte, several strips,
// a row longer than a strip, and descriptions inline and at offset 8.
TEST(TiffWidths, EveryWidthFrom1To32) {
    struct Shape {
        int width, height;
        const char* description;
    };
    const Shape shapes[] = {
        {1, 1, nullptr},
        {7, 3, "abc"},
        {13, 5, nullptr},
        {301, 300, "odd length text"},
        {2049, 3, "even length text"},
    };
    for (int bits = 1; bits <= 32; ++bits) {
        for (const Shape& s : shapes) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << s.width << " x " << s.height);
            const Image img =
                Image::noise(s.width, s.height, static_cast<std::uint32_t>(bits * 977 + s.width));
            write_and_check(img, bits, s.description);
        }
    }
}

// ImageWidth and ImageLength take the LONG type only above 65535.
TEST(TiffWidths, LongWidthAndHeightFields) {
    struct Case {
        int width, height, bits;
    };
    const Case cases[] = {
        {65535, 1, 1}, {65536, 1, 1}, {1, 65535, 1}, {1, 65536, 1}, {65536, 1, 16}, {70001, 2, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.width << " x " << c.height << ", " << c.bits << " bits");
        write_and_check(Image::noise(c.width, c.height, 11), c.bits, nullptr);
    }
}

// Arguments that cannot make a TIFF file are refused before anything is created: no file appears
// under the name or beside it, and a file already there keeps its bytes.
TEST(TiffWidths, RefusedArgumentsTouchNoFile) {
    struct Case {
        int width, height, bits;
        const char* reason;
    };
    const Case cases[] = {
        {0, 4, 8, "width and height must be at least 1"},
        {4, 0, 8, "width and height must be at least 1"},
        {-3, 4, 12, "width and height must be at least 1"},
        {4, INT_MIN, 1, "width and height must be at least 1"},
        {4, 4, 0, "bits per sample must be 1 to 32"},
        {4, 4, 33, "bits per sample must be 1 to 32"},
        {4, 4, -16, "bits per sample must be 1 to 32"},
        {4, 4, INT_MAX, "bits per sample must be 1 to 32"},
        {INT_MAX, 1, 32, "more than a TIFF file can hold"},
        {INT_MAX, INT_MAX, 32, "more than a TIFF file can hold"},
        {70000, 70000, 8, "more than a TIFF file can hold"},
    };
    const Image img = Image::noise(4, 4, 3);
    const Bytes old_bytes = {'o', 'l', 'd'};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.width << " x " << c.height << ", " << c.bits << " bits");
        // The layout refuses them first, so that a slip there cannot lead the writer on to a
        // strip table of billions of entries.
        frameburst::TiffLayout layout;
        ASSERT_FALSE(frameburst::tiff_layout(c.width, c.height, c.bits, 1, true, layout));

        test_support::TempDir dir;
        const std::string fresh = dir.file("fresh.tif");
        const auto r = write_tiff(fresh.c_str(), c.width, c.height, c.bits, img.rows.data(), "d");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message.rfind(fresh + " : ", 0), 0u) << r.message;
        EXPECT_NE(r.message.find(c.reason), std::string::npos) << r.message;
        EXPECT_EQ(r.message.back(), '\n');
        EXPECT_TRUE(dir.entries().empty());

        const std::string existing = dir.file("existing.tif");
        test_support::write_file(existing, old_bytes);
        EXPECT_FALSE(
            write_tiff(existing.c_str(), c.width, c.height, c.bits, img.rows.data(), nullptr).ok);
        EXPECT_EQ(test_support::read_file(existing), old_bytes);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"existing.tif"});
    }
}

}  // namespace
