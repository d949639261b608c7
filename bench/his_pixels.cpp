// his_pixels: writes the 16-bit little-endian samples of every frame of an HIS file, frame after
// frame, with nothing between them: exactly the pixel bytes that the converter stores in its TIFF
// files. The benchmark cuts this file into one piece per frame as the cost floor to compare with.
//
//   his_pixels INPUT.his OUTPUT
#include <cstdio>
#include <memory>
#include <vector>

#include "his_reader.h"

int main(int argc, char** argv) {
    using namespace frameburst;
    if (argc != 3) {
        std::fputs("usage: his_pixels INPUT.his OUTPUT\n", stderr);
        return 2;
    }
    HIS_Header first;
    if (his_read_header(argv[1], first, stderr, stderr) != HIS_OK || !his_shape_supported(first)) {
        std::fprintf(stderr, "his_pixels: %s is not a usable HIS file\n", argv[1]);
        return 1;
    }
    const HisFrameShape shape = his_frame_shape(first);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(argv[1], "rb"), &std::fclose);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(argv[2], "wb"), &std::fclose);
    if (!in || !out) {
        std::fputs("his_pixels: cannot open the files\n", stderr);
        return 1;
    }
    HIS_Header header;
    HisFrameBuffers buffers;
    std::vector<unsigned char> bytes(2 * shape.sample_count);
    for (;;) {
        const HisFrameResult r = his_read_frame(in.get(), header, shape, buffers, stderr);
        if (r == HisFrameResult::end) {
            break;
        }
        if (r != HisFrameResult::read) {
            return 1;
        }
        for (std::size_t i = 0; i < shape.sample_count; ++i) {
            bytes[2 * i] = static_cast<unsigned char>(buffers.samples[i] & 0xFF);
            bytes[2 * i + 1] = static_cast<unsigned char>(buffers.samples[i] >> 8);
        }
        if (std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size()) {
            std::fputs("his_pixels: cannot write the output\n", stderr);
            return 1;
        }
    }
    if (std::fclose(out.release()) != 0) {
        std::fputs("his_pixels: cannot write the output\n", stderr);
        return 1;
    }
    return 0;
}
