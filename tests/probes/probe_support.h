// What the probes share: every logged message goes to standard error, each
// ended by 0x1E, and the query library is loaded as a client program would.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kiv_clientlog.h"
#include "platform.h"
#include "test_system.h"

namespace kiv::probe {

// Also makes the standard streams binary on Windows, so that the bytes the
// libraries print (they share the C runtime's streams) reach the test as they
// are, without a carriage return before each line feed.
inline void frame_messages_on_stderr() {
  platform::use_binary_standard_streams();
  kiv_set_message_handler(
      [](const char* message, void*) {
        std::fwrite(message, 1, std::strlen(message), stderr);
        std::fputc(0x1E, stderr);
      },
      nullptr);
}

// Loads the library at `path`; on failure says why on standard output and
// ends the probe with status 3.
inline void* load_or_exit(const char* path) {
  void* library = platform::load_library(path);
  if (library == nullptr) {
    std::printf("load failed: error %d\n", platform::last_error());
    std::exit(3);
  }
  return library;
}

inline void unload(void* library) {
  platform::free_library(library);
}

// The export `name` of `library`, typed as `Fn`; null when missing.
template <typename Fn>
Fn export_of(void* library, const char* name) {
  return reinterpret_cast<Fn>(platform::find_symbol(library, name));
}

}  // namespace kiv::probe
