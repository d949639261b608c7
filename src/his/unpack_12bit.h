// The implementations behind unpack_12bit (his_reader.h): a portable one and, on x86-64, vector
// ones that the machine's processor is asked for at run time. All give the same samples.
#pragma once

#include <cstdint>
#include <vector>

namespace frameburst {

enum class Unpack12Kernel {
    portable,  // plain C++, any processor, any byte order
    ssse3,     // x86-64 with SSSE3: 16 samples per step
    avx2,      // x86-64 with AVX2: 32 samples per step
};

// The implementations this processor can run, the portable one first.
std::vector<Unpack12Kernel> unpack_12bit_kernels();

// The implementation unpack_12bit uses: the fastest one this processor can run.
Unpack12Kernel unpack_12bit_kernel();

// Name of an implementation, for test and benchmark output.
const char* unpack_12bit_kernel_name(Unpack12Kernel kernel);

// unpack_12bit with the given implementation, which the processor must be able to run.
void unpack_12bit_with(Unpack12Kernel kernel, const std::uint8_t* packed,
                       std::uint64_t packed_bytes, std::uint16_t* samples);

}  // namespace frameburst
