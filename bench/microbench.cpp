// Micro-benchmarks of the per-byte work of a conversion, each beside memcpy of the same bytes:
//   - the 12-bit unpack of one 1024 x 1024 frame (1.5 MiB in, 2 MiB of samples out), with every
//     implementation this processor runs;
//   - the 16-bit row encoding of one 256 x 256 frame (the byte loop that write_tiff uses where the
//     cells in memory are not already the stored bytes);
//   - write_tiff of one 256 x 256 frame into a file, beside write() of the same pixel bytes.
// Throughput counts the bytes of 16-bit samples produced or stored.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "his_reader.h"
#include "tiff_writer.h"
#include "unpack_12bit.h"

namespace {

using frameburst::Unpack12Kernel;

constexpr std::int32_t BIG_SIDE = 1024;
constexpr std::int32_t SMALL_SIDE = 256;

std::vector<std::uint8_t> random_bytes(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = 2463534242u;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return v;
}

void BM_Unpack12(benchmark::State& state) {
    const auto kernel = static_cast<Unpack12Kernel>(state.range(0));
    const std::size_t samples = std::size_t{BIG_SIDE} * BIG_SIDE;
    const std::vector<std::uint8_t> packed = random_bytes(samples * 3 / 2);
    std::vector<std::uint16_t> out(samples);
    for (auto _ : state) {
        frameburst::unpack_12bit_with(kernel, packed.data(), packed.size(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(frameburst::unpack_12bit_kernel_name(kernel));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * samples * 2));
}

void unpack_kernels(benchmark::internal::Benchmark* b) {
    for (Unpack12Kernel k : frameburst::unpack_12bit_kernels()) {
        b->Arg(static_cast<int>(k));
    }
}
BENCHMARK(BM_Unpack12)->Apply(unpack_kernels);

// memcpy of the bytes the unpack produces (2 MiB) or of a 16-bit frame of the given side.
void BM_Memcpy(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(2 * state.range(0) * state.range(0));
    const std::vector<std::uint8_t> in = random_bytes(bytes);
    std::vector<std::uint8_t> out(bytes);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), bytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Memcpy)->Arg(BIG_SIDE)->Arg(SMALL_SIDE);

std::vector<std::uint16_t> random_cells(std::size_t n) {
    const std::vector<std::uint8_t> bytes = random_bytes(2 * n);
    std::vector<std::uint16_t> cells(n);
    for (std::size_t i = 0; i < n; ++i) {
        cells[i] = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return cells;
}

void BM_EncodeRows16(benchmark::State& state) {
    const std::size_t n = std::size_t{SMALL_SIDE} * SMALL_SIDE;
    const std::vector<std::uint16_t> cells = random_cells(n);
    std::vector<std::uint8_t> out(2 * n);
    for (auto _ : state) {
        for (std::size_t r = 0; r < SMALL_SIDE; ++r) {
            frameburst::tiff_encode_row(16, cells.data() + r * SMALL_SIDE, SMALL_SIDE,
                                        out.data() + 2 * r * SMALL_SIDE);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * n));
}
BENCHMARK(BM_EncodeRows16);

// A directory for the file benchmarks: /dev/shm when there is one, so that they measure the
// program and the system's copying rather than a disk.
std::string scratch_file(const char* name) {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/frameburst-microbench-" + std::to_string(getpid()) + "-" + name;
}

void BM_WriteTiff16(benchmark::State& state) {
    const std::size_t n = std::size_t{SMALL_SIDE} * SMALL_SIDE;
    std::uint16_t* cells = static_cast<std::uint16_t*>(std::aligned_alloc(4096, 2 * n));
    const std::vector<std::uint16_t> values = random_cells(n);
    std::memcpy(cells, values.data(), 2 * n);
    std::vector<const std::uint16_t*> rows(SMALL_SIDE);
    for (std::size_t r = 0; r < SMALL_SIDE; ++r) {
        rows[r] = cells + r * SMALL_SIDE;
    }
    const std::string path = scratch_file("a.tif");
    for (auto _ : state) {
        const frameburst::TiffResult result = frameburst::write_tiff(
            path.c_str(), SMALL_SIDE, SMALL_SIDE, 16, rows.data(), "frameburst\t1234\t/\t2000");
        if (!result.ok) {
            state.SkipWithError(result.message.c_str());
            break;
        }
    }
    unlink(path.c_str());
    std::free(cells);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * n));
}
BENCHMARK(BM_WriteTiff16);

// The floor for BM_WriteTiff16: the same pixel bytes written to a new file with one write().
void BM_WriteRaw(benchmark::State& state) {
    const std::size_t bytes = 2 * std::size_t{SMALL_SIDE} * SMALL_SIDE;
    auto* data = static_cast<std::uint8_t*>(std::aligned_alloc(4096, bytes));
    const std::vector<std::uint8_t> values = random_bytes(bytes);
    std::memcpy(data, values.data(), bytes);
    const std::string path = scratch_file("raw");
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, data, bytes) != static_cast<ssize_t>(bytes) || close(fd) != 0) {
            state.SkipWithError("cannot write the scratch file");
            break;
        }
    }
    unlink(path.c_str());
    std::free(data);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_WriteRaw);

}  // namespace

BENCHMARK_MAIN();
