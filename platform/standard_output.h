// Standard output diverted into a file and back, at the level of its
// descriptor, so that what a library prints with the C runtime's own stream
// is diverted too. For programs (the tool, the benchmarks); the libraries
// never link it.
#pragma once

#include <cstdio>

namespace kiv::platform {

// A file to divert into, opened for reading and writing, that goes when it is
// closed; null when none can be made. On Windows it lies in the user's
// temporary folder (tmpfile would put it in the root of the drive, which a
// user may not write).
std::FILE* scratch_output_file();

// Points standard output's descriptor at `into`'s (the caller flushes
// stdout first) and returns a descriptor for where it pointed before; -1,
// with nothing changed, when that cannot be done.
int divert_standard_output(std::FILE* into) noexcept;

// Points standard output back where `saved` (divert_standard_output's
// result) points, and closes `saved`.
void restore_standard_output(int saved) noexcept;

}  // namespace kiv::platform
