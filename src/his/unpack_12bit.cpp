// Unpacking packed 12-bit samples: every three bytes AB CD EF hold the samples 0xABC and 0xDEF.
//
// The portable implementation walks the groups one by one. On x86-64 the vector implementations
// gather, for each 16-bit lane, the two bytes that hold its sample with one byte shuffle (the
// byte that holds the sample's high bits goes to the lane's high byte, so the lanes' values do
// not depend on the host's byte order beyond the lane layout of the instruction set, which is
// little-endian), then shift the first sample of each group down by 4 and mask the second to its
// 12 bits. Which implementation runs is decided once, at run time, from what the processor
// offers, so one binary runs on every x86-64 processor.
#include "unpack_12bit.h"

#include "his_reader.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define FRAMEBURST_UNPACK_X86 1
#include <immintrin.h>
#else
#define FRAMEBURST_UNPACK_X86 0
#endif

namespace frameburst {
namespace {

// Unpacks the groups from `group` on, and the trailing one or two bytes that give one more
// sample, built like the first sample of a group with its missing low bits 0.
void unpack_rest(const std::uint8_t* packed, std::uint64_t packed_bytes, std::uint16_t* samples,
                 std::uint64_t group) {
    const std::uint64_t groups = packed_bytes / 3;
    for (std::uint64_t g = group; g < groups; ++g) {
        const std::uint8_t* b = packed + 3 * g;
        samples[2 * g] = static_cast<std::uint16_t>((b[0] << 4) | (b[1] >> 4));
        samples[2 * g + 1] = static_cast<std::uint16_t>(((b[1] & 0x0F) << 8) | b[2]);
    }
    const std::uint64_t rest = packed_bytes % 3;
    if (rest != 0) {
        const std::uint8_t* b = packed + 3 * groups;
        const int low = rest > 1 ? b[1] >> 4 : 0;
        samples[2 * groups] = static_cast<std::uint16_t>((b[0] << 4) | low);
    }
}

#if FRAMEBURST_UNPACK_X86

// Eight samples from the first 12 of the 16 bytes in `v`. Lane 2i gets the bytes 3i (high) and
// 3i+1 (low) of group i, lane 2i+1 the bytes 3i+1 (high) and 3i+2 (low).
__attribute__((target("ssse3"))) inline __m128i unpack8(__m128i v) {
    const __m128i gather = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m128i first = _mm_set1_epi32(0x0000FFFF);   // lanes 0, 2, 4, 6
    const __m128i second = _mm_set1_epi32(0x0FFF0000);  // lanes 1, 3, 5, 7, as 12 bits
    const __m128i pairs = _mm_shuffle_epi8(v, gather);
    return _mm_or_si128(_mm_and_si128(_mm_srli_epi16(pairs, 4), first),
                        _mm_and_si128(pairs, second));
}

__attribute__((target("ssse3"))) void unpack_ssse3(const std::uint8_t* packed,
                                                   std::uint64_t packed_bytes,
                                                   std::uint16_t* samples) {
    // Each step reads 16 bytes and uses 12 of them: it stops while 16 bytes still remain, so no
    // read reaches beyond `packed_bytes`.
    std::uint64_t group = 0;
    for (; 3 * group + 28 <= packed_bytes; group += 8) {
        const std::uint8_t* p = packed + 3 * group;
        const __m128i a = unpack8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m128i b = unpack8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 2 * group), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 2 * group + 8), b);
    }
    for (; 3 * group + 16 <= packed_bytes; group += 4) {
        const __m128i a =
            unpack8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(packed + 3 * group)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 2 * group), a);
    }
    unpack_rest(packed, packed_bytes, samples, group);
}

// Sixteen samples from the 24 bytes at `p` (28 bytes must be readable): bytes 0..11 go to the low
// half of the register, bytes 12..23 to the high half, and each half is unpacked like unpack8.
__attribute__((target("avx2"))) inline __m256i unpack16(const std::uint8_t* p) {
    const __m256i gather = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i first = _mm256_set1_epi32(0x0000FFFF);
    const __m256i second = _mm256_set1_epi32(0x0FFF0000);
    const __m256i v = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
    const __m256i pairs = _mm256_shuffle_epi8(v, gather);
    return _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(pairs, 4), first),
                           _mm256_and_si256(pairs, second));
}

__attribute__((target("avx2"))) void unpack_avx2(const std::uint8_t* packed,
                                                 std::uint64_t packed_bytes,
                                                 std::uint16_t* samples) {
    // As in unpack_ssse3, every read stays within `packed_bytes`: the last read of a step ends 4
    // bytes past the last byte it uses.
    std::uint64_t group = 0;
    for (; 3 * group + 52 <= packed_bytes; group += 16) {
        const std::uint8_t* p = packed + 3 * group;
        const __m256i a = unpack16(p);
        const __m256i b = unpack16(p + 24);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + 2 * group), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + 2 * group + 16), b);
    }
    for (; 3 * group + 28 <= packed_bytes; group += 8) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + 2 * group),
                            unpack16(packed + 3 * group));
    }
    unpack_rest(packed, packed_bytes, samples, group);
}

#endif  // FRAMEBURST_UNPACK_X86

Unpack12Kernel best_kernel() {
#if FRAMEBURST_UNPACK_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        return Unpack12Kernel::avx2;
    }
    if (__builtin_cpu_supports("ssse3")) {
        return Unpack12Kernel::ssse3;
    }
#endif
    return Unpack12Kernel::portable;
}

}  // namespace

std::vector<Unpack12Kernel> unpack_12bit_kernels() {
    std::vector<Unpack12Kernel> kernels{Unpack12Kernel::portable};
#if FRAMEBURST_UNPACK_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) {
        kernels.push_back(Unpack12Kernel::ssse3);
    }
    if (__builtin_cpu_supports("avx2")) {
        kernels.push_back(Unpack12Kernel::avx2);
    }
#endif
    return kernels;
}

Unpack12Kernel unpack_12bit_kernel() {
    static const Unpack12Kernel kernel = best_kernel();
    return kernel;
}

const char* unpack_12bit_kernel_name(Unpack12Kernel kernel) {
    switch (kernel) {
        case Unpack12Kernel::portable:
            return "portable";
        case Unpack12Kernel::ssse3:
            return "ssse3";
        case Unpack12Kernel::avx2:
            return "avx2";
    }
    return "?";
}

void unpack_12bit_with(Unpack12Kernel kernel, const std::uint8_t* packed,
                       std::uint64_t packed_bytes, std::uint16_t* samples) {
    switch (kernel) {
#if FRAMEBURST_UNPACK_X86
        case Unpack12Kernel::ssse3:
            unpack_ssse3(packed, packed_bytes, samples);
            return;
        case Unpack12Kernel::avx2:
            unpack_avx2(packed, packed_bytes, samples);
            return;
#endif
        default:
            unpack_rest(packed, packed_bytes, samples, 0);
            return;
    }
}

void unpack_12bit(const std::uint8_t* packed, std::uint64_t packed_bytes, std::uint16_t* samples) {
    unpack_12bit_with(unpack_12bit_kernel(), packed, packed_bytes, samples);
}

}  // namespace frameburst
