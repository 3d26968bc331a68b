// A client that ends while it is busy: six threads query 127.0.0.1:PORT
// (get_vpn_info), two send reports (the current folder holds loginurl.ini),
// and a message handler takes every line; once all eight have been through
// at least one call, the main thread waits DELAY_US microseconds and calls
// exit(0). Whatever the threads are doing then, the process must end with
// status 0.
// usage: probe_exit PORT DELAY_US
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kiv_logsend.h"
#include "kiv_svcquery.h"
#include "probe_support.h"

namespace {

constexpr int kQueryThreads = 6;
constexpr int kReportThreads = 2;

std::atomic<int> g_started{0};
std::atomic<unsigned> g_handled{0};

// Lingers a little, so that exit often finds a thread inside it.
void on_message(const char* message, void*) {
  char copy[64];
  std::snprintf(copy, sizeof copy, "%s", message);
  g_handled.fetch_add(copy[0] != '\0' ? 1u : 0u, std::memory_order_relaxed);
  std::this_thread::yield();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PORT DELAY_US\n", argv[0]);
    return 2;
  }
  const uint32_t port = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const long delay_us = std::strtol(argv[2], nullptr, 10);
  kiv_set_message_handler(on_message, nullptr);

  std::vector<std::thread> threads;
  for (int t = 0; t < kQueryThreads; ++t) {
    threads.emplace_back([port] {
      for (bool first = true;; first = false) {
        vpn_connection_info vpn{};
        get_vpn_info("127.0.0.1", "vpn_info", port, "http", "request", 7, &vpn);
        if (first) g_started.fetch_add(1);
      }
    });
  }
  for (int t = 0; t < kReportThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0;; ++i) {
        link_report(t, i, "10.0.0.1", "exit-probe", "account", 7);
        if (i == 0) g_started.fetch_add(1);
      }
    });
  }
  while (g_started.load() < kQueryThreads + kReportThreads) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
  std::printf("exiting after %u messages\n", g_handled.load());
  std::fflush(stdout);
  std::exit(0);  // the threads are still running: exit does not wait for them
}
