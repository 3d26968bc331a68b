// Logs through the default sink, for tests of its line format.
// usage: probe_log lines | threads N COUNT | nested
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kiv_clientlog.h"

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "lines";
  if (mode == "lines") {
    kiv_show_message("Enter %s", "http_access_protocol1");
    kiv_show_message("ends in a line feed\n");
    // "用户验证失败！" in GBK, then a byte that is no GBK character.
    kiv_show_message("\xD3\xC3\xBB\xA7\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1 \xFF end");
    kiv_show_message("two\nlines");
    kiv_show_message("long %s", std::string(3000, 'x').c_str());
  } else if (mode == "threads" && argc == 4) {
    const int threads = std::atoi(argv[2]);
    const int count = std::atoi(argv[3]);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([t, count] {
        for (int i = 0; i < count; ++i)
          kiv_show_message("thread %d message %d %s", t, i, "payload");
      });
    }
    for (auto& worker : workers) worker.join();
  } else if (mode == "nested") {
    // A handler that logs from inside itself: the handler prints what it is
    // given, and what it logs goes to the default sink.
    kiv_set_message_handler(
        [](const char* message, void*) {
          std::printf("handler: %s\n", message);
          std::fflush(stdout);
          kiv_show_message("inside the handler, for %s", message);
        },
        nullptr);
    kiv_show_message("outer %d", 1);
    kiv_show_message("outer %d", 2);
    kiv_set_message_handler(nullptr, nullptr);
  } else {
    std::fprintf(stderr, "usage: %s lines | threads N COUNT | nested\n", argv[0]);
    return 2;
  }
  return 0;
}
