/* A small client of the installed libraries: asks the web service for the VPN
 * connection data, prints it, and reports the link state to the log server
 * named in ./loginurl.ini.
 *
 *   vpn_client HOST PORT [PATH [REQUEST]]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"

/* The libraries' messages, shown on standard output after a marker, as the
 * bytes the libraries made (their Chinese texts are GBK). */
static void show_message(const char* message, void* context) {
  (void)context;
  printf("message: %s\n", message);
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    fprintf(stderr, "usage: %s HOST PORT [PATH [REQUEST]]\n", argv[0]);
    return 2;
  }
  const char* host = argv[1];
  char* end = NULL;
  const unsigned long port = strtoul(argv[2], &end, 10);
  if (*argv[2] == '\0' || *end != '\0' || port == 0 || port > 65535) {
    fprintf(stderr, "%s: not a port: %s\n", argv[0], argv[2]);
    return 2;
  }
  const char* path = argc > 3 ? argv[3] : "vpn_info";
  const char* request = argc > 4 ? argv[4] : "{\"user\":\"example\"}";

  kiv_set_message_handler(show_message, NULL);

  vpn_connection_info vpn;
  memset(&vpn, 0, sizeof vpn);
  const int32_t result =
      get_vpn_info(host, path, (uint32_t)port, "http", request, (int32_t)strlen(request), &vpn);
  printf("result=%d\n", (int)result);
  if (result == 0) {
    printf("VPNIP=%s LocalOutIP=%s VPNPort=%d\n", vpn.VPNIP, vpn.LocalOutIP, (int)vpn.VPNPort);
  }

  /* Link mode 1, state 1 when the data came, 0 otherwise. */
  link_report(1, result == 0 ? 1 : 0, vpn.VPNIP, "example", "example", 0);

  kiv_set_message_handler(NULL, NULL);
  return result == 0 ? 0 : 1;
}
