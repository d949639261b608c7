// Micro-benchmarks of the per-byte work of a conversion, each beside memcpy of the same bytes:
//   - the 12-bit unpack of one 1024 x 1024 frame (1.5 MiB in, 2 MiB of samples out), with every
//     implementation this processor runs;
//   - the 16-bit row encoding of one 256 x 256 frame (the byte loop that write_tiff uses where the
//     cells in memory are not already the stored bytes);
//   - write_tiff of one 256 x 256 and one 32 x 32 frame into a file, beside write() of the same
//     pixel bytes into a new file, without and with the rename that write_tiff does.
// Throughput counts the bytes of 16-bit samples produced or stored.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
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

// A fresh directory for the file benchmarks, on /dev/shm when there is one so that they measure
// the program and the system rather than a disk. Like a conversion run, every iteration makes a
// new file; every BATCH files the directory is emptied outside the timing.
class ScratchDir {
  public:
    static constexpr int BATCH = 1000;
    ScratchDir() {
        const char* root = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path_ = std::string(root) + "/frameburst-microbench-" + std::to_string(getpid());
        mkdir(path_.c_str(), 0777);
    }
    ~ScratchDir() {
        clear();
        rmdir(path_.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The name of the next file, "DIR/aNNNN.tif" with NNNN cycling through the batch.
    const std::string& next(benchmark::State& state) {
        if (count_ == BATCH) {
            state.PauseTiming();
            clear();
            state.ResumeTiming();
        }
        name_ = path_ + "/a" + std::to_string(10000 + count_++) + ".tif";
        return name_;
    }

  private:
    void clear() {
        for (int i = 0; i < count_; ++i) {
            unlink((path_ + "/a" + std::to_string(10000 + i) + ".tif").c_str());
        }
        count_ = 0;
    }

    std::string path_;
    std::string name_;
    int count_ = 0;
};

// A frame of `side` x `side` random cells, 64 bytes past a page boundary like the run's buffers.
struct Frame {
    explicit Frame(std::int32_t side) : side(side), block(std::aligned_alloc(4096, bytes() + 64)) {
        const std::vector<std::uint8_t> values = random_bytes(bytes());
        std::memcpy(data(), values.data(), bytes());
        for (std::int32_t r = 0; r < side; ++r) {
            rows.push_back(cells() + std::size_t(r) * std::size_t(side));
        }
    }
    ~Frame() { std::free(block); }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    std::size_t bytes() const { return 2 * std::size_t(side) * std::size_t(side); }
    std::uint8_t* data() const { return static_cast<std::uint8_t*>(block) + 64; }
    const std::uint16_t* cells() const { return reinterpret_cast<const std::uint16_t*>(data()); }

    std::int32_t side;
    void* block;
    std::vector<const std::uint16_t*> rows;
};

// write_tiff of one frame into a new file, as the run calls it; the argument is the frame's side.
void BM_WriteTiff16(benchmark::State& state) {
    const Frame frame(static_cast<std::int32_t>(state.range(0)));
    ScratchDir dir;
    for (auto _ : state) {
        const frameburst::TiffResult result =
            frameburst::write_tiff(dir.next(state).c_str(), frame.side, frame.side, 16,
                                   frame.rows.data(), "frameburst\t1234\t/\t2000");
        if (!result.ok) {
            state.SkipWithError(result.message.c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.bytes()));
}
BENCHMARK(BM_WriteTiff16)->Arg(SMALL_SIDE)->Arg(32);

// The floors for BM_WriteTiff16: the same pixel bytes written to a new file with one write(),
// and (second argument 1) the same under a temporary name renamed into place afterwards, as
// write_tiff does so that no torn file ever stands under an output name.
void BM_WriteRaw(benchmark::State& state) {
    const Frame frame(static_cast<std::int32_t>(state.range(0)));
    const bool publish = state.range(1) != 0;
    ScratchDir dir;
    for (auto _ : state) {
        const std::string& path = dir.next(state);
        const std::string temp = publish ? path + ".part" : path;
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, frame.data(), frame.bytes()) != ssize_t(frame.bytes()) ||
            close(fd) != 0 || (publish && rename(temp.c_str(), path.c_str()) != 0)) {
            state.SkipWithError("cannot write the scratch file");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.bytes()));
}
BENCHMARK(BM_WriteRaw)->ArgsProduct({{SMALL_SIDE, 32}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();
