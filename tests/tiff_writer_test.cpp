// The TIFF writer: exact bytes of small files, the strip arithmetic, and libtiff's reading of them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "tiff_writer.h"

namespace {

using frameburst::write_tiff;
using test_support::Bytes;
using test_support::le16;
using test_support::le32;

// An image as the writer takes it: a row table over one block of cells.
struct Image {
    int width;
    int height;
    std::vector<std::uint16_t> cells;
    std::vector<const std::uint16_t*> rows;

    Image(int w, int h) : width(w), height(h), cells(static_cast<std::size_t>(w) * h) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            cells[i] = static_cast<std::uint16_t>(i * 0x0123 + 0x4567);
        }
        for (int r = 0; r < h; ++r) {
            rows.push_back(cells.data() + static_cast<std::size_t>(r) * w);
        }
    }
};

// Expected bytes, spelled out field by field.
struct Expect {
    Bytes b;
    Expect& u8(std::uint8_t x) {
        b.push_back(x);
        return *this;
    }
    Expect& u16(std::uint16_t x) { return u8(x & 0xFF).u8(x >> 8); }
    Expect& u32(std::uint32_t x) { return u16(x & 0xFFFF).u16(x >> 16); }
    Expect& text(const char* s, std::size_t n) {
        b.insert(b.end(), s, s + n);
        return *this;
    }
    Expect& entry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
        u16(tag).u16(type).u32(count);
        return type == 3 ? u16(static_cast<std::uint16_t>(value)).u16(0) : u32(value);
    }
    Expect& samples(const std::vector<std::uint16_t>& s) {
        for (auto v : s) {
            u16(v);
        }
        return *this;
    }
};

TEST(TiffWriter, InlineDescriptionFileIsExactly166Bytes) {
    test_support::TempDir dir;
    Image img(5, 2);
    const std::string path = dir.file("inline.tif");
    ASSERT_TRUE(write_tiff(path.c_str(), 5, 2, 16, img.rows.data(), "abc").ok);

    Expect e;
    e.text("II", 2).u16(42).u32(28).samples(img.cells);
    e.u16(11)
        .entry(256, 3, 1, 5)
        .entry(257, 3, 1, 2)
        .entry(258, 3, 1, 16)
        .entry(259, 3, 1, 1)
        .entry(262, 3, 1, 1)
        .u16(270)
        .u16(2)
        .u32(4)
        .text("abc", 4)
        .entry(273, 4, 1, 8)
        .entry(277, 3, 1, 1)
        .entry(278, 4, 1, 819)
        .entry(279, 4, 1, 20)
        .entry(284, 3, 1, 1)
        .u32(0);
    ASSERT_EQ(e.b.size(), 166u);
    EXPECT_EQ(test_support::read_file(path), e.b);
}

TEST(TiffWriter, OddDescriptionAtOffset8IsPaddedFileIs172Bytes) {
    test_support::TempDir dir;
    Image img(2, 2);
    const char* desc = "frameburst\t0\t/\t1";
    ASSERT_EQ(std::strlen(desc), 16u);
    const std::string path = dir.file("first.tif");
    ASSERT_TRUE(write_tiff(path.c_str(), 2, 2, 16, img.rows.data(), desc).ok);

    Expect e;
    e.text("II", 2).u16(42).u32(34).text(desc, 17).u8(0).samples(img.cells);
    e.u16(11)
        .entry(256, 3, 1, 2)
        .entry(257, 3, 1, 2)
        .entry(258, 3, 1, 16)
        .entry(259, 3, 1, 1)
        .entry(262, 3, 1, 1)
        .entry(270, 2, 17, 8)
        .entry(273, 4, 1, 26)
        .entry(277, 3, 1, 1)
        .entry(278, 4, 1, 2048)
        .entry(279, 4, 1, 8)
        .entry(284, 3, 1, 1)
        .u32(0);
    ASSERT_EQ(e.b.size(), 172u);
    EXPECT_EQ(test_support::read_file(path), e.b);
}

// Where the description goes for each size: inline up to 4 bytes with its NUL, else at offset 8.
TEST(TiffWriter, DescriptionPlacement) {
    struct Case {
        const char* description;  // nullptr: none
        std::uint32_t data_offset;
        std::uint16_t entries;
    };
    const Case cases[] = {
        {nullptr, 8, 10}, {"", 8, 11},      {"ab", 8, 11},
        {"abc", 8, 11},   {"abcd", 14, 11}, {"abcde", 14, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description != nullptr ? c.description : "(none)");
        test_support::TempDir dir;
        Image img(3, 1);
        const std::string path = dir.file("d.tif");
        ASSERT_TRUE(write_tiff(path.c_str(), 3, 1, 16, img.rows.data(), c.description).ok);
        const Bytes b = test_support::read_file(path);
        const std::uint32_t ifd = le32(b, 4);
        ASSERT_EQ(le16(b, ifd), c.entries);
        EXPECT_EQ(ifd, c.data_offset + 6);  // one 6-byte strip after the description
        EXPECT_EQ(b.size(), ifd + 2 + 12u * c.entries + 4);
        EXPECT_EQ(le16(b, c.data_offset), img.cells[0]);
        bool has_270 = false;
        for (std::uint16_t i = 0; i < c.entries; ++i) {
            const std::size_t at = ifd + 2 + 12u * i;
            if (le16(b, at) != 270) {
                continue;
            }
            has_270 = true;
            const std::uint32_t count = le32(b, at + 4);
            EXPECT_EQ(count, std::strlen(c.description) + 1);
            if (count <= 4) {
                Bytes inline_value(b.begin() + static_cast<long>(at) + 8,
                                   b.begin() + static_cast<long>(at) + 12);
                Bytes want(4, 0);
                std::memcpy(want.data(), c.description, count - 1);
                EXPECT_EQ(inline_value, want);
            } else {
                EXPECT_EQ(le32(b, at + 8), 8u);
                EXPECT_EQ(0, std::memcmp(b.data() + 8, c.description, count));
            }
        }
        EXPECT_EQ(has_270, c.description != nullptr);

        const auto img_read = test_support::read_tiff(path);
        ASSERT_TRUE(img_read.opened);
        EXPECT_TRUE(img_read.messages.empty()) << img_read.messages.front();
        EXPECT_EQ(img_read.has_description, c.description != nullptr);
        if (c.description != nullptr) {
            EXPECT_EQ(img_read.description, c.description);
        }
        EXPECT_EQ(img_read.samples, img.cells);
    }
}

// The strip rule at 16 bits: strips of at most 8192 bytes, a longer row on its own, and the
// offset and count arrays after the data when there is more than one strip.
TEST(TiffWriter, StripArithmetic) {
    struct Case {
        int width, height;
        std::uint32_t rows_per_strip, strips;
    };
    const Case cases[] = {
        {4096, 3, 1, 3}, {4096, 1, 1, 1}, {4095, 2, 1, 2},    {2048, 5, 2, 3},
        {2048, 4, 2, 2}, {5000, 2, 1, 2}, {1, 9000, 4096, 3}, {64, 48, 64, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        test_support::TempDir dir;
        Image img(c.width, c.height);
        const std::string path = dir.file("s.tif");
        ASSERT_TRUE(write_tiff(path.c_str(), c.width, c.height, 16, img.rows.data(), "xy").ok);
        const Bytes b = test_support::read_file(path);
        const std::uint32_t ifd = le32(b, 4);
        const std::uint32_t data_bytes = 2u * c.width * c.height;
        std::uint32_t offsets_at = 0, counts_at = 0, rows_per_strip = 0, strips = 0;
        for (std::uint16_t i = 0; i < le16(b, ifd); ++i) {
            const std::size_t at = ifd + 2 + 12u * i;
            switch (le16(b, at)) {
                case 273:
                    strips = le32(b, at + 4);
                    offsets_at = le32(b, at + 8);
                    break;
                case 278:
                    rows_per_strip = le32(b, at + 8);
                    break;
                case 279:
                    counts_at = le32(b, at + 8);
                    break;
                default:
                    break;
            }
        }
        EXPECT_EQ(rows_per_strip, c.rows_per_strip);
        ASSERT_EQ(strips, c.strips);
        if (c.strips == 1) {
            EXPECT_EQ(offsets_at, 8u);
            EXPECT_EQ(counts_at, data_bytes);
            EXPECT_EQ(ifd, 8 + data_bytes);
        } else {
            EXPECT_EQ(offsets_at, 8 + data_bytes);  // the arrays follow the data
            EXPECT_EQ(counts_at, offsets_at + 4 * c.strips);
            EXPECT_EQ(ifd, counts_at + 4 * c.strips);
            std::uint32_t expect_offset = 8, total = 0;
            for (std::uint32_t s = 0; s < c.strips; ++s) {
                const std::uint32_t rows =
                    std::min<std::uint32_t>(c.rows_per_strip, c.height - s * c.rows_per_strip);
                EXPECT_EQ(le32(b, offsets_at + 4 * s), expect_offset);
                EXPECT_EQ(le32(b, counts_at + 4 * s), rows * 2u * c.width);
                expect_offset += rows * 2u * c.width;
                total += le32(b, counts_at + 4 * s);
            }
            EXPECT_EQ(total, data_bytes);
        }
        const auto t = test_support::read_tiff(path);
        ASSERT_TRUE(t.opened);
        EXPECT_TRUE(t.messages.empty()) << t.messages.front();
        EXPECT_EQ(t.strip_count, c.strips);
        EXPECT_EQ(t.samples, img.cells);
    }
}

// Rows that lie apart in memory are written as well as rows of one block.
TEST(TiffWriter, RowsNeedNotBeContiguous) {
    test_support::TempDir dir;
    const int width = 3000, height = 7;
    std::vector<std::vector<std::uint16_t>> storage;
    std::vector<const std::uint16_t*> rows;
    std::vector<std::uint16_t> all;
    for (int r = height - 1; r >= 0; --r) {
        storage.emplace_back(width);
    }
    for (int r = 0; r < height; ++r) {
        auto& row = storage[static_cast<std::size_t>(height - 1 - r)];
        for (int x = 0; x < width; ++x) {
            row[static_cast<std::size_t>(x)] = static_cast<std::uint16_t>(r * 1000 + x);
        }
        rows.push_back(row.data());
        all.insert(all.end(), row.begin(), row.end());
    }
    const std::string path = dir.file("apart.tif");
    ASSERT_TRUE(write_tiff(path.c_str(), width, height, 16, rows.data(), nullptr).ok);
    const auto t = test_support::read_tiff(path);
    ASSERT_TRUE(t.opened);
    EXPECT_TRUE(t.messages.empty());
    EXPECT_EQ(t.samples, all);
}

// Failures leave nothing under the output name nor beside it, and an existing file stays.
TEST(TiffWriter, FailuresLeaveNoFile) {
    test_support::TempDir dir;
    Image img(4, 4);
    // Refused arguments.
    const std::string refused = dir.file("refused.tif");
    EXPECT_FALSE(write_tiff(refused.c_str(), 0, 4, 16, img.rows.data(), nullptr).ok);
    EXPECT_FALSE(write_tiff(refused.c_str(), 4, -1, 16, img.rows.data(), nullptr).ok);
    // A directory that does not exist.
    const std::string nowhere = dir.file("missing/a0001.tif");
    const auto r = write_tiff(nowhere.c_str(), 4, 4, 16, img.rows.data(), nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, nowhere + " : file not stored.\n");
    // A directory standing under the output name.
    const std::string taken = dir.file("a0001.tif");
    ASSERT_EQ(0, ::mkdir(taken.c_str(), 0755));
    const auto t = write_tiff(taken.c_str(), 4, 4, 16, img.rows.data(), "x");
    EXPECT_FALSE(t.ok);
    EXPECT_EQ(t.message, taken + " : file not stored.\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"a0001.tif"});
}

}  // namespace

// Whatever stands under the temporary name (a leftover of a killed run, a hard or symbolic link
// to another file) is replaced, and the file it links to stays as it was.
TEST(TiffWriter, TemporaryNameLeftoversAreReplacedNotWrittenThrough) {
    test_support::TempDir dir;
    Image img(4, 3);
    const Bytes kept(50, 0x33);
    test_support::write_file(dir.file("kept.dat"), kept);
    test_support::write_file(dir.file("a0001.tif.part"), Bytes(10, 0x44));
    ASSERT_EQ(0, ::link(dir.file("kept.dat").c_str(), dir.file("a0002.tif.part").c_str()));
    ASSERT_EQ(0, ::symlink("kept.dat", dir.file("a0003.tif.part").c_str()));
    for (const char* name : {"a0001.tif", "a0002.tif", "a0003.tif"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        ASSERT_TRUE(write_tiff(path.c_str(), 4, 3, 16, img.rows.data(), nullptr).ok);
        const auto t = test_support::read_tiff(path);
        EXPECT_TRUE(t.opened && t.messages.empty());
        EXPECT_EQ(t.samples, img.cells);
    }
    EXPECT_EQ(test_support::read_file(dir.file("kept.dat")), kept);
    EXPECT_EQ(dir.entries(),
              (std::vector<std::string>{"a0001.tif", "a0002.tif", "a0003.tif", "kept.dat"}));
}
