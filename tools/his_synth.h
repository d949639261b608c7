// Building HIS files for tests, the demo and the benchmark: headers, packed 12-bit data and
// whole frames with a reproducible sample pattern.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace his_synth {

struct Header {
    char id[2] = {'I', 'M'};
    std::int16_t comment_length = 0;
    std::int16_t width = 0;
    std::int16_t height = 0;
    std::int16_t pixel_type = 2;
    std::uint32_t frame_count = 1;
};

inline void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

// The 64 header bytes, little-endian; the bytes the format leaves uninterpreted hold a pattern
// so that readers cannot rely on them being 0.
inline std::vector<std::uint8_t> encode_header(const Header& h) {
    std::vector<std::uint8_t> v;
    v.reserve(64);
    v.push_back(static_cast<std::uint8_t>(h.id[0]));
    v.push_back(static_cast<std::uint8_t>(h.id[1]));
    put16(v, static_cast<std::uint16_t>(h.comment_length));
    put16(v, static_cast<std::uint16_t>(h.width));
    put16(v, static_cast<std::uint16_t>(h.height));
    for (int i = 0; i < 4; ++i) {
        v.push_back(static_cast<std::uint8_t>(0xA0 + i));
    }
    put16(v, static_cast<std::uint16_t>(h.pixel_type));
    put16(v, static_cast<std::uint16_t>(h.frame_count & 0xFFFF));
    put16(v, static_cast<std::uint16_t>(h.frame_count >> 16));
    while (v.size() < 64) {
        v.push_back(static_cast<std::uint8_t>(v.size()));
    }
    return v;
}

// Packs 12-bit samples, two into three bytes (AB CD EF for 0xABC, 0xDEF). An odd last sample
// takes (3n - 1) / 2 bytes in all: only its high 8 bits are stored.
inline std::vector<std::uint8_t> pack_12bit(const std::vector<std::uint16_t>& s) {
    std::vector<std::uint8_t> v;
    v.reserve(s.size() * 3 / 2 + 1);
    std::size_t i = 0;
    for (; i + 1 < s.size(); i += 2) {
        v.push_back(static_cast<std::uint8_t>(s[i] >> 4));
        v.push_back(static_cast<std::uint8_t>(((s[i] & 0xF) << 4) | ((s[i + 1] >> 8) & 0xF)));
        v.push_back(static_cast<std::uint8_t>(s[i + 1] & 0xFF));
    }
    if (i < s.size()) {
        v.push_back(static_cast<std::uint8_t>(s[i] >> 4));
    }
    return v;
}

// The pixel bytes of a frame: 16-bit little-endian for pixel type 2, packed 12-bit for type 6.
inline std::vector<std::uint8_t> encode_pixels(std::int16_t pixel_type,
                                               const std::vector<std::uint16_t>& samples) {
    if (pixel_type == 6) {
        return pack_12bit(samples);
    }
    std::vector<std::uint8_t> v;
    v.reserve(samples.size() * 2);
    for (std::uint16_t x : samples) {
        put16(v, x);
    }
    return v;
}

// A whole frame: header, comment (its length set from the text) and pixel bytes.
inline std::vector<std::uint8_t> encode_frame(Header h, const std::string& comment,
                                              const std::vector<std::uint16_t>& samples) {
    h.comment_length = static_cast<std::int16_t>(comment.size());
    std::vector<std::uint8_t> v = encode_header(h);
    v.insert(v.end(), comment.begin(), comment.end());
    const std::vector<std::uint8_t> pixels = encode_pixels(h.pixel_type, samples);
    v.insert(v.end(), pixels.begin(), pixels.end());
    return v;
}

// A reproducible pattern for frame `index`: a diagonal ramp that moves from frame to frame, in
// 0..4095 for 12-bit frames and over the whole 16-bit range otherwise.
inline std::vector<std::uint16_t> pattern(int width, int height, std::uint32_t index,
                                          bool twelve_bit) {
    std::vector<std::uint16_t> s(static_cast<std::size_t>(width) *
                                 static_cast<std::size_t>(height));
    const std::uint32_t mask = twelve_bit ? 0x0FFF : 0xFFFF;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint32_t v = static_cast<std::uint32_t>(x) * 257u +
                                    static_cast<std::uint32_t>(y) * 4099u + index * 7919u;
            s[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
              static_cast<std::size_t>(x)] = static_cast<std::uint16_t>(v & mask);
        }
    }
    return s;
}

// A header for frames of `width` x `height` samples of `pixel_type`, announcing `frame_count`.
inline Header make_header(int width, int height, int pixel_type, std::uint32_t frame_count) {
    Header h;
    h.width = static_cast<std::int16_t>(width);
    h.height = static_cast<std::int16_t>(height);
    h.pixel_type = static_cast<std::int16_t>(pixel_type);
    h.frame_count = frame_count;
    return h;
}

// `frames` frames with header `h` and `comment`, frame k holding the pattern for index k.
inline std::vector<std::uint8_t> encode_sequence(const Header& h, const std::string& comment,
                                                 std::uint32_t frames) {
    std::vector<std::uint8_t> v;
    for (std::uint32_t k = 0; k < frames; ++k) {
        const auto f = encode_frame(h, comment, pattern(h.width, h.height, k, h.pixel_type == 6));
        v.insert(v.end(), f.begin(), f.end());
    }
    return v;
}

// The samples a reader delivers for frame `index` of such a sequence: packed 12-bit data of an
// odd sample count keeps only the high 8 bits of the last sample, the rest reads as 0.
inline std::vector<std::uint16_t> delivered_pattern(const Header& h, std::uint32_t index) {
    auto s = pattern(h.width, h.height, index, h.pixel_type == 6);
    if (h.pixel_type == 6 && s.size() % 2 == 1) {
        s.back() &= 0xFF0;
    }
    return s;
}

}  // namespace his_synth
