// Calls the report library the way a client would, for tests that need their
// own process and current folder. Usage:
//   probe_report <report> <arguments...>   one call; "@null" is a null string
//   probe_report threads <threads> <count>  link_report from many threads
//   probe_report client_random <bytes>      client_operate_report of random bytes
//   probe_report own_socket <port>           two reports while the caller holds
//                                            sockets of its own, then a datagram
//                                            "own" on its socket to <port>
// Each logger message is written to standard error as its exact bytes and
// a record separator (0x1E).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kiv_logsend.h"
#include "probe_support.h"

namespace {

const char* str(const char* arg) {
  return std::strcmp(arg, "@null") == 0 ? nullptr : arg;
}
int32_t num(const char* arg) {
  return static_cast<int32_t>(std::strtol(arg, nullptr, 10));
}

int usage() {
  std::fputs("probe_report: bad arguments\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  kiv::probe::frame_messages_on_stderr();
  const std::string report = argv[1];
  char** a = argv + 2;
  const int n = argc - 2;

  if (report == "break" && n == 5) {
    break_report(str(a[0]), str(a[1]), str(a[2]), num(a[3]), num(a[4]));
  } else if (report == "bug" && n == 5) {
    bug_report(num(a[0]), num(a[1]), num(a[2]), str(a[3]), str(a[4]));
  } else if (report == "client" && n == 1) {
    client_operate_report(str(a[0]));
  } else if (report == "disconnect" && n == 5) {
    kiv_disconnect_report(str(a[0]), str(a[1]), str(a[2]), str(a[3]), num(a[4]));
  } else if (report == "link" && n == 6) {
    link_report(num(a[0]), num(a[1]), str(a[2]), str(a[3]), str(a[4]), num(a[5]));
  } else if (report == "login" && n == 3) {
    login_state_report(str(a[0]), str(a[1]), num(a[2]));
  } else if (report == "open" && n == 1) {
    open_login_report(str(a[0]));
  } else if (report == "threads" && n == 2) {
    const int threads = num(a[0]);
    const int count = num(a[1]);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([t, count] {
        const std::string name = "thread-" + std::to_string(t);
        for (int i = 0; i < count; ++i) {
          link_report(t, i, "10.0.0.1", name.c_str(), "account", 7);
        }
      });
    }
    for (auto& worker : workers) worker.join();
  } else if (report == "client_random" && n == 1) {
    // Bytes 1..255 from a fixed generator: as good as incompressible.
    std::string param(static_cast<size_t>(num(a[0])), '\0');
    uint32_t state = 12345;
    for (char& c : param) {
      state = state * 1103515245u + 12345u;
      c = static_cast<char>(1 + (state >> 16) % 255);
    }
    client_operate_report(param.c_str());
  } else if (report == "own_socket" && n == 1) {
    // Each record starts and stops the socket layer (WSAStartup, WSACleanup on
    // Windows): the caller's own use of it must outlive the reports.
    if (!kiv::platform::sockets_start()) return 4;
    const kiv::platform::Socket own(kiv::platform::udp_socket());
    open_login_report("1.0");
    open_login_report("2.0");
    const bool sent = own && kiv::platform::send_datagram(
                                 own.get(), "own", 3, kiv::platform::ipv4_from_text("127.0.0.1"),
                                 kiv::platform::host_to_network(static_cast<uint16_t>(num(a[0]))));
    std::printf(sent ? "own datagram sent\n" : "own datagram failed: error %d\n",
                kiv::platform::socket_last_error());
    kiv::platform::sockets_stop();
  } else {
    return usage();
  }
  return 0;
}
