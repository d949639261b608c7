// The checks behind the fuzz targets, shared with the test suite, which replays the seed corpus
// and every saved finding through them without libFuzzer.
//
// Each check runs the program's own code on arbitrary bytes and compares what it did with a plain
// walk over the same bytes, so besides crashes and undefined behaviour it catches a wrong result:
// a frame delivered with other samples, a failure reported as a clean end, a message with a wrong
// count, a TIFF that holds other pixels or a file that should not exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace frameburst_fuzz {

// Reads `data` as an HIS stream with his_read_frame until it reports the end or a failure.
// Returns an empty string when everything agrees with the walk, else what differed.
std::string check_frame_reading(const std::uint8_t* data, std::size_t size);

// Stores `data` as an input file in `scratch` (an existing directory the caller owns), runs the
// whole conversion on it in a directory below `scratch`, and checks the status, the console
// text, the messages and every file written. Removes what it created and returns to the current
// directory. Returns an empty string when everything agrees with the walk, else what differed.
std::string check_conversion_run(const std::uint8_t* data, std::size_t size,
                                 const std::string& scratch);

}  // namespace frameburst_fuzz
