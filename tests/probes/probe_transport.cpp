// Loads the query library and calls both transport exports once, for
// scenarios that need a process of their own (a substituted zlib). Messages
// go to standard error, each ended by 0x1E; results to standard output.
// usage: probe_transport LIBRARY_PATH PORT ANSWER_FILE
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kiv_clientlog.h"
#include "kiv_svcquery.h"

namespace {

void on_message(const char* message, void*) {
  std::fwrite(message, 1, std::strlen(message), stderr);
  std::fputc(0x1E, stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s LIBRARY_PATH PORT ANSWER_FILE\n", argv[0]);
    return 2;
  }
  kiv_set_message_handler(on_message, nullptr);
  void* library = dlopen(argv[1], RTLD_NOW);
  if (library == nullptr) {
    std::printf("load failed: %s\n", dlerror());
    return 3;
  }
  auto protocol1 =
      reinterpret_cast<decltype(&http_access_protocol1)>(dlsym(library, "http_access_protocol1"));
  auto protocol2 =
      reinterpret_cast<decltype(&http_access_protocol2)>(dlsym(library, "http_access_protocol2"));
  if (protocol1 == nullptr || protocol2 == nullptr) return 4;

  const auto port = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  char answer[256] = {};
  uint32_t size = sizeof answer;
  std::printf("protocol1 %d\n",
              protocol1("127.0.0.1", "one", port, "probe", "request", 7, answer, &size));
  std::printf("protocol2 %d\n",
              protocol2("127.0.0.1", "two", port, "probe", "request", 7, argv[3]));
  std::fflush(stdout);
  dlclose(library);
  return 0;
}
