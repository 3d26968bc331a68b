// The edge between an export and its caller: whatever goes wrong inside (an
// allocation that throws, a library that does), no C++ exception reaches the
// client program. It is logged and the export returns a failure code.
#pragma once

#include <cstdint>

#include "binding.h"
#include "bounded.h"
#include "kiv_clientlog.h"

namespace kiv::svcquery {

// Runs `work` (returning the export's result code); an exception escaping
// it gives `code_on_exception`, and so does a call made while the process is
// exiting after the library was detached.
template <typename Work>
int32_t guarded(const char* export_name, int32_t code_on_exception, Work&& work) noexcept {
  const ExportCall call;
  if (!call.admitted()) return code_on_exception;
  return contained(work, [&](bool out_of_memory) {
    kiv_show_message(
        out_of_memory ? "Error: not enough memory, in %s()" : "Error: unexpected failure, in %s()",
        export_name);
    return code_on_exception;
  });
}

}  // namespace kiv::svcquery
