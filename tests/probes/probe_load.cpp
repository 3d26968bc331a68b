// Loads the query library the way a client program does and shows what its
// start-up logged: every message on standard error, each ended by 0x1E.
// usage: probe_load LIBRARY_PATH
#include <cstdio>
#include <cstring>

#include "probe_support.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LIBRARY_PATH\n", argv[0]);
    return 2;
  }
  kiv::probe::frame_messages_on_stderr();
  void* library = kiv::probe::load_or_exit(argv[1]);
  std::printf("loaded\n");
  std::fflush(stdout);
  kiv::probe::unload(library);
  std::printf("unloaded\n");
  return 0;
}
