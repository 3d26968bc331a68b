// Loads the query library and calls both transport exports once, for
// scenarios that need a process of their own (a substituted zlib). Messages
// go to standard error, each ended by 0x1E; results to standard output.
// usage: probe_transport LIBRARY_PATH PORT ANSWER_FILE
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kiv_svcquery.h"
#include "probe_support.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s LIBRARY_PATH PORT ANSWER_FILE\n", argv[0]);
    return 2;
  }
  kiv::probe::frame_messages_on_stderr();
  void* library = kiv::probe::load_or_exit(argv[1]);
  auto protocol1 =
      kiv::probe::export_of<decltype(&http_access_protocol1)>(library, "http_access_protocol1");
  auto protocol2 =
      kiv::probe::export_of<decltype(&http_access_protocol2)>(library, "http_access_protocol2");
  if (protocol1 == nullptr || protocol2 == nullptr) return 4;

  const auto port = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  char answer[256] = {};
  uint32_t size = sizeof answer;
  std::printf("protocol1 %d\n",
              protocol1("127.0.0.1", "one", port, "probe", "request", 7, answer, &size));
  std::printf("protocol2 %d\n",
              protocol2("127.0.0.1", "two", port, "probe", "request", 7, argv[3]));
  std::fflush(stdout);
  kiv::probe::unload(library);
  return 0;
}
