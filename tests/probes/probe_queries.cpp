// Calls every query export once against 127.0.0.1:PORT, for scenarios that
// need the query library bound to stub libraries in a process of its own.
// Prints "name code" per export on standard output; every logged message goes
// to standard error, each ended by 0x1E.
// usage: probe_queries PORT
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kiv_svcquery.h"
#include "probe_support.h"

namespace {

void on_text(const char*, void*) {
  std::puts("callback");
}
void on_row(int32_t, char**, void**, void*) {
  std::puts("callback");
}

void show(const char* name, int32_t code) {
  std::printf("%s %d\n", name, code);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  kiv::probe::frame_messages_on_stderr();
  const uint32_t port = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const char* host = "127.0.0.1";
  const char* url = "query";
  const char* protocol = "http";
  const char* request = "request";
  const int32_t size = 7;

  char a[1100] = "", b[1100] = "", c[1100] = "", d[1100] = "";
  verification_info info{0, 0, 0, 0, a, b, 0, c, d};
  ad_link_info link{a, b, c, d};
  client_title_info title{0, a, b, 0, c, 0, 0};
  vpn_connection_info vpn{};
  int32_t err = 0;
  int context = 0;

  show("get_verification_from_service",
       get_verification_from_service(host, url, port, protocol, request, size, &info));
  show("get_local_ip_from_service",
       get_local_ip_from_service(host, url, port, protocol, request, size, a));
  show("get_kiv_adLink_from_service",
       get_kiv_adLink_from_service(host, url, port, protocol, request, size, &link));
  show("get_kiv_client_title_from_service",
       get_kiv_client_title_from_service(host, url, port, protocol, request, size, &title));
  show("get_loginvpn_from_service",
       get_loginvpn_from_service(host, url, port, protocol, request, size, &err, a));
  show("check_hangup_from_service",
       check_hangup_from_service(host, url, port, protocol, request, size, &err, a));
  show("get_vpn_info", get_vpn_info(host, url, port, protocol, request, size, &vpn));
  show("get_gameroute_from_server",
       get_gameroute_from_server(host, url, port, protocol, request, size, on_text, &context));
  show("get_usertypelist_from_server",
       get_usertypelist_from_server(host, url, port, protocol, request, size, on_text, &context));
  show("get_gameprocess_from_server",
       get_gameprocess_from_server(host, url, port, protocol, request, size, on_text, &context));
  show("get_serverdelay_from_server",
       get_serverdelay_from_server(host, url, port, protocol, request, size, on_row, &context));
  show("get_areadelay_from_server",
       get_areadelay_from_server(host, url, port, protocol, request, size, on_row, &context));
  show("save_game_route_info",
       save_game_route_info(host, url, port, protocol, request, size, &err));
  return 0;
}
