// The conversion run: one HIS file in, one 16-bit TIFF file per frame out, in the current
// working directory.
#pragma once

#include <cstdio>

#include "his_reader.h"

namespace frameburst {

// Exit statuses of a run.
inline constexpr int RUN_OK = 0;
inline constexpr int RUN_FAILED = -1;        // usage, or the input could not be read
inline constexpr int RUN_OPEN_FAILED = -10;  // the input could not be opened a second time
inline constexpr int RUN_ABORTED = 1;        // memory, an unusable first frame, or an output file

// Runs the whole conversion for the command line `argv` (argv[0] is the program's name). Console
// lines go to `out`, failure messages to `err`. Returns the exit status; never ends the process.
int run_frameburst(int argc, const char* const* argv, std::FILE* out = stdout,
                   std::FILE* err = stderr);

// The frame loop alone, on an input stream already open and positioned at the first frame:
// reads every frame, writes a0001.tif, a0002.tif, ... (five digits when `frame_count` is 10000 or
// more) and prints the progress lines and the closing newline on `out`. `shape` is the geometry
// of the first frame. Returns the exit status.
int run_frames(std::FILE* in, const HisFrameShape& shape, std::uint32_t frame_count,
               std::FILE* out = stdout, std::FILE* err = stderr);

}  // namespace frameburst
