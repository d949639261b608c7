// HIS reading: the first pass, whole frames of both pixel types, and every failure with its
// message.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "his_reader.h"
#include "his_synth.h"
#include "test_support.h"

namespace {

using namespace frameburst;
using test_support::Bytes;
using test_support::CapturedStream;

his_synth::Header make_header(int width, int height, int type, std::uint32_t count = 1) {
    return his_synth::make_header(width, height, type, count);
}

// An in-memory input stream over a copy of `bytes`.
class MemoryStream {
  public:
    explicit MemoryStream(const Bytes& bytes) : data_(bytes) {
        data_.push_back(0);  // fmemopen wants a non-empty buffer
        file_ = ::fmemopen(data_.data(), bytes.size(), "rb");
        if (bytes.empty()) {
            std::fgetc(file_);  // make the stream sit at its end
        }
    }
    ~MemoryStream() { std::fclose(file_); }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    std::FILE* get() const { return file_; }

  private:
    Bytes data_;
    std::FILE* file_;
};

TEST(HisUnpack, GroupsAndTails) {
    struct Case {
        Bytes packed;
        std::vector<std::uint16_t> samples;
    };
    const Case cases[] = {
        {{0xAB, 0xCD, 0xEF}, {0xABC, 0xDEF}},
        {{0xFF, 0xF0, 0x0F}, {0xFFF, 0x00F}},
        {{0x12, 0x34, 0x56}, {0x123, 0x456}},
        {{0x12, 0x34, 0x56, 0xAB}, {0x123, 0x456, 0xAB0}},  // odd count: low nibble is 0
        {{0x12, 0x34, 0x56, 0xAB, 0xCD}, {0x123, 0x456, 0xABC}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(unpacked_sample_count(c.packed.size()), c.samples.size());
        // One guard cell after the samples shows nothing is written beyond them.
        std::vector<std::uint16_t> out(c.samples.size() + 1, 0x5A5A);
        unpack_12bit(c.packed.data(), c.packed.size(), out.data());
        EXPECT_EQ(std::vector<std::uint16_t>(out.begin(), out.end() - 1), c.samples);
        EXPECT_EQ(out.back(), 0x5A5A);
    }
}

TEST(HisReadHeader, DecodesTheFirstHeaderAndComment) {
    test_support::TempDir dir;
    auto h = make_header(640, 480, 6, 0x12345678);
    auto bytes = his_synth::encode_frame(h, "a comment", his_synth::pattern(640, 480, 0, true));
    bytes.resize(64 + 9);  // the first pass needs no pixel bytes
    test_support::write_file(dir.file("in.his"), bytes);

    HIS_Header header;
    CapturedStream out, err;
    ASSERT_EQ(his_read_header(dir.file("in.his").c_str(), header, out.get(), err.get()), HIS_OK);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(his_has_id(header));
    EXPECT_EQ(header.comment_length, 9);
    EXPECT_EQ(header.width, 640);
    EXPECT_EQ(header.height, 480);
    EXPECT_EQ(header.pixel_type, HIS_TYPE_12BIT_PACKED);
    EXPECT_EQ(his_frame_count(header), 0x12345678u);
    EXPECT_EQ(header.comment, "a comment");
    EXPECT_EQ(header.reserved_8[0], bytes[8]);
    EXPECT_EQ(header.reserved_18[45], bytes[63]);
}

TEST(HisReadHeader, FailureStatusesAndMessages) {
    auto comment_of_length = [](int length, std::size_t present) {
        auto h = make_header(2, 2, 2);
        auto bytes = his_synth::encode_header(h);
        bytes[2] = static_cast<std::uint8_t>(length & 0xFF);
        bytes[3] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
        bytes.resize(64 + present, 'c');
        return bytes;
    };
    struct Case {
        const char* name;
        Bytes file;
        int status;
        const char* err;
    };
    const Case cases[] = {
        {"short header", Bytes(63, 'I'), ERR_HEADER_SHORT, "Error [his header 64bytes]t\n"},
        {"empty file", Bytes{}, ERR_HEADER_SHORT, "Error [his header 64bytes]t\n"},
        {"comment length -1", comment_of_length(-1, 10), ERR_COMMENT_ALLOC,
         "Connot allocate memory (HIS_Header.comment)\n"},
        {"comment length -32768", comment_of_length(-32768, 10), ERR_COMMENT_ALLOC,
         "Connot allocate memory (HIS_Header.comment)\n"},
        {"comment cut", comment_of_length(20, 19), ERR_COMMENT_SHORT, "EOF found (comment)\n"},
        {"comment of 0", comment_of_length(0, 0), HIS_OK, ""},
        {"comment of 32767", comment_of_length(32767, 32767), HIS_OK, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TempDir dir;
        test_support::write_file(dir.file("in.his"), c.file);
        HIS_Header header;
        CapturedStream out, err;
        EXPECT_EQ(his_read_header(dir.file("in.his").c_str(), header, out.get(), err.get()),
                  c.status);
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(err.text(), c.err);
    }

    HIS_Header header;
    CapturedStream out, err;
    EXPECT_EQ(his_read_header("/nonexistent/in.his", header, out.get(), err.get()), ERR_OPEN);
    EXPECT_EQ(out.text(), "can not open /nonexistent/in.his for input\n");
    EXPECT_EQ(err.text(), "");
}

struct Sequence {
    his_synth::Header header;
    std::vector<std::vector<std::uint16_t>> frames;  // the samples a reader delivers
    Bytes bytes;
};

Sequence make_sequence(int width, int height, int type, int frames, const std::string& comment) {
    Sequence s;
    const auto count = static_cast<std::uint32_t>(frames);
    s.header = make_header(width, height, type, count);
    for (std::uint32_t k = 0; k < count; ++k) {
        s.frames.push_back(his_synth::delivered_pattern(s.header, k));
    }
    s.bytes = his_synth::encode_sequence(s.header, comment, count);
    return s;
}

HisFrameShape shape_of(const his_synth::Header& h) {
    HIS_Header header;
    header.width = h.width;
    header.height = h.height;
    header.pixel_type = h.pixel_type;
    return his_frame_shape(header);
}

TEST(HisReadFrame, ReadsWholeSequencesOfBothTypes) {
    struct Case {
        int width, height, type;
        const char* comment;
    };
    const Case cases[] = {
        {5, 3, 2, "sixteen"}, {7, 3, 6, "twelve, odd sample count"}, {4, 4, 6, ""}, {1, 1, 6, "x"},
        {300, 200, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " type " << c.type);
        const Sequence seq = make_sequence(c.width, c.height, c.type, 3, c.comment);
        MemoryStream in(seq.bytes);
        HIS_Header header;
        HisFrameBuffers buffers;
        CapturedStream err;
        const HisFrameShape shape = shape_of(seq.header);
        for (const auto& frame : seq.frames) {
            ASSERT_EQ(his_read_frame(in.get(), header, shape, buffers, err.get()),
                      HisFrameResult::read);
            EXPECT_EQ(header.comment, c.comment);
            EXPECT_EQ(header.width, c.width);
            ASSERT_GE(buffers.samples.size(), frame.size());
            EXPECT_TRUE(std::equal(frame.begin(), frame.end(), buffers.samples.begin()));
        }
        EXPECT_EQ(his_read_frame(in.get(), header, shape, buffers, err.get()), HisFrameResult::end);
        EXPECT_EQ(err.text(), "");
    }
}

// Every way a frame can fail, each with its message; the frame before it reads normally.
TEST(HisReadFrame, FailuresAndTheirMessages) {
    const Sequence good = make_sequence(40, 30, 2, 1, "ok");
    const Sequence good12 = make_sequence(41, 30, 6, 1, "ok");
    auto second = [](const Sequence& first, const Bytes& tail) {
        Bytes b = first.bytes;
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    auto frame = [](int w, int h, int type, const std::string& comment) {
        return his_synth::encode_frame(make_header(w, h, type), comment,
                                       his_synth::pattern(w, h, 1, type == 6));
    };
    auto cut = [](Bytes b, std::size_t size) {
        b.resize(size);
        return b;
    };
    auto with_comment_length = [](Bytes b, int length) {
        b[2] = static_cast<std::uint8_t>(length & 0xFF);
        b[3] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
        return b;
    };
    Bytes not_his = frame(40, 30, 2, "");
    not_his[0] = 'X';

    struct Case {
        const char* name;
        const Sequence* first;
        Bytes tail;
        const char* err;
    };
    const Case cases[] = {
        {"header cut after 10 bytes", &good, cut(frame(40, 30, 2, ""), 10),
         "EOF in input file (header)\n"},
        {"no IM mark", &good, not_his, "This is not HIS image file.\n"},
        {"comment length -1", &good, with_comment_length(frame(40, 30, 2, ""), -1),
         "Connot allocate memory (HIS_Header.comment)\n"},
        {"comment cut", &good, cut(frame(40, 30, 2, "twelve chars"), 64 + 5),
         "EOF found (comment)\n"},
        // 1000 whole samples and half of the next one.
        {"16-bit pixels cut", &good, cut(frame(40, 30, 2, "c"), 64 + 1 + 2001),
         " Error reading at 1000\n"},
        {"12-bit pixels cut", &good12, cut(frame(41, 30, 6, ""), 64 + 1234),
         " Error reading at 1234\n"},
        {"other width", &good, frame(41, 30, 2, ""),
         "Frame of 41 x 30, pixel type 2, differs from the first frame (40 x 30, pixel type 2).\n"},
        {"other height", &good, frame(40, 29, 2, ""),
         "Frame of 40 x 29, pixel type 2, differs from the first frame (40 x 30, pixel type 2).\n"},
        {"other pixel type", &good, frame(40, 30, 6, ""),
         "Frame of 40 x 30, pixel type 6, differs from the first frame (40 x 30, pixel type 2).\n"},
        {"unknown pixel type", &good,
         [&] {
             Bytes b = frame(40, 30, 2, "");
             b[12] = 5;
             return b;
         }(),
         "Unsupported pixel type 5 in frame header (expected 2 or 6).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryStream in(second(*c.first, c.tail));
        HIS_Header header;
        HisFrameBuffers buffers;
        CapturedStream err;
        const HisFrameShape shape = shape_of(c.first->header);
        ASSERT_EQ(his_read_frame(in.get(), header, shape, buffers, err.get()),
                  HisFrameResult::read);
        EXPECT_EQ(his_read_frame(in.get(), header, shape, buffers, err.get()),
                  HisFrameResult::failure);
        EXPECT_EQ(err.text(), c.err);
    }
}

// A header that claims the largest frame sizes is sized in 64 bits and fails on the bytes that
// are actually there, without obtaining memory for the bytes that are not.
TEST(HisReadFrame, LargestFramesAreSizedWithoutOverflow) {
    for (int type : {2, 6}) {
        SCOPED_TRACE(type);
        HIS_Header h;
        h.width = 32767;
        h.height = 32767;
        h.pixel_type = static_cast<std::int16_t>(type);
        const HisFrameShape shape = his_frame_shape(h);
        EXPECT_EQ(shape.sample_count, 32767ull * 32767ull);
        EXPECT_EQ(shape.pixel_bytes,
                  type == 2 ? 2 * 32767ull * 32767ull : 3 * 32767ull * 32767ull / 2);

        Bytes b = his_synth::encode_header(make_header(32767, 32767, type));
        b.insert(b.end(), 101, 0x11);
        MemoryStream in(b);
        HIS_Header header;
        HisFrameBuffers buffers;
        CapturedStream err;
        EXPECT_EQ(his_read_frame(in.get(), header, shape, buffers, err.get()),
                  HisFrameResult::failure);
        EXPECT_EQ(err.text(), type == 2 ? " Error reading at 50\n" : " Error reading at 101\n");
        EXPECT_LE(buffers.samples.size() * 2 + buffers.packed.size(), std::size_t{2} << 20);
    }
}

}  // namespace
