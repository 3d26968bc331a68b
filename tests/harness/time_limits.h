// The tests' own time limits, stretched on machines that run the programs
// slowly: KIV_TEST_TIME_SCALE (a whole number, default 1) multiplies each
// limit a test waits up to before it calls the work hung. The emulated 32-bit
// machine sets it; a limit is never a measure of speed, only of a hang.
#pragma once

#include <chrono>
#include <cstdlib>

namespace kiv::test {

inline int time_scale() {
  static const int scale = [] {
    const char* text = std::getenv("KIV_TEST_TIME_SCALE");
    const int value = text != nullptr ? std::atoi(text) : 1;
    return value >= 1 ? value : 1;
  }();
  return scale;
}

template <class Rep, class Period>
std::chrono::duration<Rep, Period> scaled(std::chrono::duration<Rep, Period> limit) {
  return limit * time_scale();
}

}  // namespace kiv::test
