// Loads the query library the way a client program does and shows what its
// start-up logged: every message on standard error, each ended by 0x1E.
// usage: probe_load LIBRARY_PATH
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "kiv_clientlog.h"

namespace {

void on_message(const char* message, void*) {
  std::fwrite(message, 1, std::strlen(message), stderr);
  std::fputc(0x1E, stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LIBRARY_PATH\n", argv[0]);
    return 2;
  }
  kiv_set_message_handler(on_message, nullptr);
  void* library = dlopen(argv[1], RTLD_NOW);
  if (library == nullptr) {
    std::printf("load failed: %s\n", dlerror());
    return 3;
  }
  std::printf("loaded\n");
  std::fflush(stdout);
  dlclose(library);
  std::printf("unloaded\n");
  return 0;
}
