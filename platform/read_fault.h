// The injected read fault (inject_read_fault) as each system's read_file
// applies it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>

#include "platform.h"

namespace kiv::platform::detail {

struct ReadFault {
  std::atomic<bool> armed{false};
  // Touched only while armed, by the test that armed it.
  size_t bytes = 0;
  int error = 0;
};
extern ReadFault g_read_fault;

// One read_file call: `read(count, &got)` is the system's read.
template <typename Read>
bool read_through_fault(size_t count, size_t* done, Read read) noexcept {
  if (!g_read_fault.armed.load(std::memory_order_acquire)) return read(count, done);
  if (g_read_fault.bytes == 0) {
    if (g_read_fault.error != 0) {
      set_last_error(g_read_fault.error);
      return false;
    }
    if (done != nullptr) *done = 0;
    return true;
  }
  size_t got = 0;
  if (!read(std::min(count, g_read_fault.bytes), &got)) return false;
  g_read_fault.bytes -= got;
  if (done != nullptr) *done = got;
  return true;
}

}  // namespace kiv::platform::detail
