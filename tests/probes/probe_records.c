/* A client written in C, as the client program is: it fills each record
 * through the query library and prints, for every field, its offset and
 * what the field holds, read by name. Built for 32-bit Windows, the offsets
 * are those the client program was compiled against, and the values show
 * that the library wrote each field where the client reads it.
 * usage: probe_records PORT (the server answers each query's path) */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kiv_svcquery.h"

#define INT_FIELD(record, type, field) \
  printf(#type "." #field " @%u = %d\n", (unsigned)offsetof(type, field), (int)(record).field)
#define TEXT_FIELD(record, type, field)                                   \
  printf(#type "." #field " @%u = %s\n", (unsigned)offsetof(type, field), \
         (record).field != NULL ? (record).field : "(null)")

static char texts[8][1024];

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  const uint32_t port = (uint32_t)strtoul(argv[1], NULL, 10);
  const char request[] = "{}";
  const int32_t size = (int32_t)strlen(request);

  verification_info info;
  memset(&info, 0, sizeof info);
  info.ut = texts[0];
  info.msg = texts[1];
  info.ed = texts[2];
  info.endBind = texts[3];
  printf("verification_info size %u result %d\n", (unsigned)sizeof info,
         get_verification_from_service("127.0.0.1", "verification", port, "http", request, size,
                                       &info));
  INT_FIELD(info, verification_info, err);
  INT_FIELD(info, verification_info, haveTime);
  INT_FIELD(info, verification_info, expired);
  INT_FIELD(info, verification_info, usepay);
  TEXT_FIELD(info, verification_info, ut);
  TEXT_FIELD(info, verification_info, msg);
  INT_FIELD(info, verification_info, bindUnvalide);
  TEXT_FIELD(info, verification_info, ed);
  TEXT_FIELD(info, verification_info, endBind);

  ad_link_info link;
  link.key = texts[4];
  link.ref = texts[5];
  link.url = texts[6];
  link.ref1 = texts[7];
  printf("ad_link_info size %u result %d\n", (unsigned)sizeof link,
         get_kiv_adLink_from_service("127.0.0.1", "ad_link", port, "http", request, size, &link));
  TEXT_FIELD(link, ad_link_info, key);
  TEXT_FIELD(link, ad_link_info, ref);
  TEXT_FIELD(link, ad_link_info, url);
  TEXT_FIELD(link, ad_link_info, ref1);

  client_title_info title;
  memset(&title, 0, sizeof title);
  title.title = texts[0];
  title.url = texts[1];
  title.msg = texts[2];
  printf("client_title_info size %u result %d\n", (unsigned)sizeof title,
         get_kiv_client_title_from_service("127.0.0.1", "client_title", port, "http", request, size,
                                           &title));
  INT_FIELD(title, client_title_info, id);
  TEXT_FIELD(title, client_title_info, title);
  TEXT_FIELD(title, client_title_info, url);
  INT_FIELD(title, client_title_info, usertype);
  TEXT_FIELD(title, client_title_info, msg);
  INT_FIELD(title, client_title_info, isopen);
  INT_FIELD(title, client_title_info, isbind);

  vpn_connection_info vpn;
  memset(&vpn, 0, sizeof vpn);
  printf("vpn_connection_info size %u result %d\n", (unsigned)sizeof vpn,
         get_vpn_info("127.0.0.1", "vpn_info", port, "http", request, size, &vpn));
  TEXT_FIELD(vpn, vpn_connection_info, VPNIP);
  TEXT_FIELD(vpn, vpn_connection_info, LocalOutIP);
  INT_FIELD(vpn, vpn_connection_info, VPNPort);
  return 0;
}
