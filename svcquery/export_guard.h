// The edge between an export and its caller: whatever goes wrong inside (an
// allocation that throws, a library that does), no C++ exception reaches the
// client program. It is logged and the export returns a failure code.
#pragma once

#include <cstdint>
#include <new>

#include "kiv_clientlog.h"

namespace kiv::svcquery {

// Runs `work` (returning the export's result code); an exception escaping
// it gives `code_on_exception`.
template <typename Work>
int32_t guarded(const char* export_name, int32_t code_on_exception, Work&& work) noexcept {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    kiv_show_message("Error: not enough memory, in %s()", export_name);
  } catch (...) {
    kiv_show_message("Error: unexpected failure, in %s()", export_name);
  }
  return code_on_exception;
}

}  // namespace kiv::svcquery
