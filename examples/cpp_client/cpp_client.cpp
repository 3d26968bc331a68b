// The C example (examples/vpn_client) written with the C++ interface,
// kiv.hpp: asks the web service for the VPN connection data, prints it, and
// reports the link state to the log server named in ./loginurl.ini.
//
//   cpp_client HOST PORT [PATH [REQUEST]]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kiv.hpp"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: %s HOST PORT [PATH [REQUEST]]\n", argv[0]);
    return 2;
  }
  char* end = nullptr;
  const unsigned long port = std::strtoul(argv[2], &end, 10);
  if (*argv[2] == '\0' || *end != '\0' || port == 0 || port > 65535) {
    std::fprintf(stderr, "%s: not a port: %s\n", argv[0], argv[2]);
    return 2;
  }

  // The libraries' messages, on standard output after a marker, as the bytes
  // the libraries made (their Chinese texts are GBK), until main returns.
  const kiv::message_handler_scope messages([](std::string_view message) {
    std::printf("message: %.*s\n", static_cast<int>(message.size()), message.data());
  });

  const kiv::request_head head{argv[1], argc > 3 ? argv[3] : "vpn_info",
                               static_cast<uint32_t>(port), "http",
                               argc > 4 ? argv[4] : R"({"user":"example"})"};
  const auto vpn = kiv::get_vpn_info(head);
  std::printf("result=%d\n", static_cast<int>(vpn.code()));
  if (vpn) {
    std::printf("VPNIP=%s LocalOutIP=%s VPNPort=%d\n", vpn->VPNIP.c_str(), vpn->LocalOutIP.c_str(),
                static_cast<int>(vpn->VPNPort));
  } else {
    std::fprintf(stderr, "get_vpn_info: %s\n", std::string(vpn.name()).c_str());
  }

  // Link mode 1, state 1 when the data came, 0 otherwise.
  kiv::link_report(1, vpn ? 1 : 0, vpn ? vpn->VPNIP : std::string(), "example", "example", 0);
  return vpn ? 0 : 1;
}
