// What the probes share: every logged message goes to standard error, each
// ended by 0x1E, and the query library is loaded as a client program would.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kiv_clientlog.h"

namespace kiv::probe {

inline void frame_messages_on_stderr() {
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
  void* library = dlopen(path, RTLD_NOW);
  if (library == nullptr) {
    std::printf("load failed: %s\n", dlerror());
    std::exit(3);
  }
  return library;
}

// The export `name` of `library`, typed as `Fn`; null when missing.
template <typename Fn>
Fn export_of(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

}  // namespace kiv::probe
