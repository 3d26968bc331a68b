// Loads the query library the way a client program does and shows what its
// start-up logged: every message on standard error, each ended by 0x1E.
// With a count, loads and unloads it that many times in turn.
// usage: probe_load LIBRARY_PATH [TIMES]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "probe_support.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LIBRARY_PATH [TIMES]\n", argv[0]);
    return 2;
  }
  kiv::probe::frame_messages_on_stderr();
  const int times = argc > 2 ? std::atoi(argv[2]) : 1;
  for (int round = 0; round < times; ++round) {
    void* library = kiv::probe::load_or_exit(argv[1]);
    std::printf("loaded\n");
    std::fflush(stdout);
    kiv::probe::unload(library);
    std::printf("unloaded\n");
    std::fflush(stdout);
  }
  return 0;
}
