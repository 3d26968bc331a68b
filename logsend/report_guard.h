// The edge between a report export and its caller: whatever goes wrong while
// a record is formatted or sent, no C++ exception reaches the client program.
// The record is dropped with a log line, as any other failed report.
#pragma once

#include "bounded.h"
#include "kiv_clientlog.h"

namespace kiv::logsend {

template <typename Work>
void guarded(const char* export_name, Work&& work) noexcept {
  contained(work, [&](bool out_of_memory) {
    if (out_of_memory) {
      kiv_show_message("Error: Failed to alloc the memory!\n");
    } else {
      kiv_show_message("Error: the record is dropped, in %s()\n", export_name);
    }
  });
}

}  // namespace kiv::logsend
