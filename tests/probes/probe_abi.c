/* A client written in C that includes the headers with the tightest packing
 * in force (#pragma pack(1)) and, in the 32-bit Windows build, with stdcall
 * as its default calling convention (-mrtd): what the headers pin must hold
 * against both. It calls both transports, the list readers and a delay
 * query with row callbacks, a query with a text callback, the four record
 * queries and two reports, with a message handler set throughout. Every byte
 * of each record and output the library fills is checked, and so are the
 * bytes just past it, which must keep their canary.
 *
 * usage: probe_abi PORT, run in a folder whose loginurl.ini names the log
 * sink; the service answers each query's path. Prints what it saw; exits 1
 * after any mismatch. */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#pragma pack(1)
#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"

/* The headers give the client its own packing back. */
struct client_packed {
  char c;
  int32_t i;
};
typedef char client_packing_is_back[sizeof(struct client_packed) == 5 ? 1 : -1];

#if defined(_WIN32) && !defined(_WIN64)
/* Here this program's default convention is stdcall (-mrtd): the types and
 * exports the headers declare must still be the C convention, spelled out
 * here, or these initialisations do not compile. (That every export and
 * pointer type of the headers uses KIV_CALL is checked where the headers
 * are read for their export lists.) */
static void convention_is_pinned(void) {
  void(__cdecl * row)(int32_t, char**, void**, void*) = (row_callback)0;
  void(__cdecl * text)(const char*, void*) = (json_text_callback)0;
  void(__cdecl * handler)(const char*, void*) = (kiv_message_handler)0;
  void(__cdecl * set_handler)(kiv_message_handler, void*) = kiv_set_message_handler;
  void(__cdecl * operate)(const char*) = client_operate_report;
  int32_t(__cdecl * vpn)(const char*, const char*, uint32_t, const char*, const char*, int32_t,
                         vpn_connection_info*) = get_vpn_info;
  (void)row;
  (void)text;
  (void)handler;
  (void)set_handler;
  (void)operate;
  (void)vpn;
}
#else
static void convention_is_pinned(void) {}
#endif

#define GUARD 32
#define CANARY 0xA5
#define TEXT_SIZE 1024

static int g_failures;

static void fail(const char* what, size_t at, unsigned got, unsigned want) {
  printf("FAIL %s: byte %u is 0x%02X, expected 0x%02X\n", what, (unsigned)at, got, want);
  ++g_failures;
}

/* A heap block (so aligned as any record needs) of `size` bytes and the
 * GUARD bytes after them, all canary. */
static unsigned char* canary_block(size_t size) {
  unsigned char* block = (unsigned char*)malloc(size + GUARD);
  if (block == NULL) {
    printf("FAIL out of memory\n");
    exit(1);
  }
  memset(block, CANARY, size + GUARD);
  return block;
}

/* The GUARD bytes past a record of `size` bytes still hold the canary. */
static void expect_guard(const char* what, const unsigned char* block, size_t size) {
  size_t i;
  for (i = size; i < size + GUARD; ++i) {
    if (block[i] != CANARY) fail(what, i, block[i], CANARY);
  }
}

struct field {
  size_t offset;
  size_t size;
};
#define FIELD(type, name) \
  { offsetof(type, name), sizeof(((type*)0)->name) }

/* Every byte of the record equals `want`'s within a field; between fields
 * (padding) it may be the canary or 0; past the record it is the canary. */
static void expect_record(const char* what, const unsigned char* block, const void* want,
                          size_t size, const struct field* fields, size_t count) {
  const unsigned char* expected = (const unsigned char*)want;
  size_t i;
  for (i = 0; i < size; ++i) {
    size_t f;
    int in_field = 0;
    for (f = 0; f < count; ++f) {
      if (i >= fields[f].offset && i < fields[f].offset + fields[f].size) in_field = 1;
    }
    if (in_field ? block[i] != expected[i] : block[i] != CANARY && block[i] != 0) {
      fail(what, i, block[i], in_field ? expected[i] : CANARY);
    }
  }
  expect_guard(what, block, size);
}

/* A caller text buffer holds `text`, its NUL, and the canary after them. */
static void expect_text(const char* what, const char* buffer, const char* text) {
  const size_t length = strlen(text);
  size_t i;
  if (memcmp(buffer, text, length + 1) != 0) {
    printf("FAIL %s: holds \"%.40s\", expected \"%s\"\n", what, buffer, text);
    ++g_failures;
    return;
  }
  for (i = length + 1; i < TEXT_SIZE; ++i) {
    if ((unsigned char)buffer[i] != CANARY) {
      fail(what, i, (unsigned char)buffer[i], CANARY);
      return;
    }
  }
}

static char* text_buffer(void) {
  return (char*)canary_block(TEXT_SIZE - GUARD);
}

/* ---- the message handler ------------------------------------------------ */

struct seen_messages {
  int transport_entered;
  int start_up;
};

static void KIV_CALL on_message(const char* message, void* context) {
  struct seen_messages* seen = (struct seen_messages*)context;
  if (strcmp(message, "Enter http_access_protocol1") == 0) seen->transport_entered = 1;
  if (strncmp(message, "Success: Load", 13) == 0) seen->start_up = 1;
}

/* ---- row and text callbacks ---------------------------------------------- */

static int32_t int_value(void* value) {
  int32_t number;
  memcpy(&number, value, sizeof number);
  return number;
}

static int g_context;
static char g_address_list;

static void KIV_CALL on_address(int32_t count, char** names, void** values, void* slot) {
  printf("address %d %s=%s %s=%d\n", (int)count, names[0], (const char*)values[0], names[1],
         (int)int_value(values[1]));
  *(void**)slot = &g_address_list;
}

static void KIV_CALL on_server(int32_t count, char** names, void** values, void* context) {
  printf("server %d %s=%d %s=%s %s=%s context=%s\n", (int)count, names[2],
         (int)int_value(values[2]), names[5],
         values[5] == &g_address_list ? "list"
         : values[5] == NULL          ? "null"
                                      : "other",
         names[9], (const char*)values[9], context == &g_context ? "ok" : "wrong");
}

static void KIV_CALL on_type(int32_t count, char** names, void** values, void* context) {
  printf("type %d %s=%s %s=%s context=%s\n", (int)count, names[0], (const char*)values[0], names[1],
         (const char*)values[1], context == &g_context ? "ok" : "wrong");
}

static void KIV_CALL on_delay(int32_t count, char** names, void** values, void* context) {
  printf("delay %d %s=%d %s=%d %s=%d context=%s\n", (int)count, names[0], (int)int_value(values[0]),
         names[1], (int)int_value(values[1]), names[2], (int)int_value(values[2]),
         context == &g_context ? "ok" : "wrong");
}

static void KIV_CALL on_text(const char* text, void* context) {
  printf("text %s context=%s\n", text, context == &g_context ? "ok" : "wrong");
}

/* ---- the calls ----------------------------------------------------------- */

static const char kHost[] = "127.0.0.1";
static const char kProtocol[] = "http";
static const char kRequest[] = "{\"user\":\"abi\"}";
#define REQUEST kRequest, (int32_t)(sizeof kRequest - 1)

static void transports(uint32_t port) {
  const char answer[] = "{\"err\":1,\"text\":\"hello\"}";
  const size_t capacity = 64;
  unsigned char* respond = canary_block(capacity);
  unsigned char* size_block = canary_block(sizeof(uint32_t));
  uint32_t* respond_size = (uint32_t*)size_block;
  uint32_t want_size = (uint32_t)(sizeof answer - 1);
  int32_t result;
  *respond_size = (uint32_t)capacity;
  result = http_access_protocol1(kHost, "protocol", port, kProtocol, REQUEST, (char*)respond,
                                 respond_size);
  printf("http_access_protocol1 %d\n", (int)result);
  {
    /* The answer without a NUL, the rest of the capacity untouched. */
    unsigned char want[64];
    struct field text = {0, sizeof answer - 1};
    memset(want, CANARY, sizeof want);
    memcpy(want, answer, sizeof answer - 1);
    expect_record("respond_data", respond, want, capacity, &text, 1);
  }
  {
    struct field whole = {0, sizeof(uint32_t)};
    expect_record("respond_size", size_block, &want_size, sizeof(uint32_t), &whole, 1);
  }
  free(size_block);
  free(respond);

  printf("http_access_protocol2 %d\n",
         (int)http_access_protocol2(kHost, "servers", port, kProtocol, REQUEST, "services.dat"));
}

static void list_readers(void) {
  unsigned char* err_block = canary_block(sizeof(int32_t));
  const int32_t want_err = 1;
  const struct field whole = {0, sizeof(int32_t)};
  printf("get_data_from_file %d\n", (int)get_data_from_file("services.dat", on_server, on_address,
                                                            &g_context, (int32_t*)err_block));
  expect_record("get_data_from_file err_value", err_block, &want_err, sizeof(int32_t), &whole, 1);
  memset(err_block, CANARY, sizeof(int32_t) + GUARD);
  printf("get_servertype_from_file %d\n",
         (int)get_servertype_from_file("services.dat", &g_context, on_type, (int32_t*)err_block));
  expect_record("get_servertype_from_file err_value", err_block, &want_err, sizeof(int32_t), &whole,
                1);
  free(err_block);
}

static void callback_queries(uint32_t port) {
  printf("get_serverdelay_from_server %d\n",
         (int)get_serverdelay_from_server(kHost, "serverdelay", port, kProtocol, REQUEST, on_delay,
                                          &g_context));
  printf("get_usertypelist_from_server %d\n",
         (int)get_usertypelist_from_server(kHost, "usertypelist", port, kProtocol, REQUEST, on_text,
                                           &g_context));
}

static void verification(uint32_t port) {
  const struct field fields[] = {
      FIELD(verification_info, err),          FIELD(verification_info, haveTime),
      FIELD(verification_info, expired),      FIELD(verification_info, usepay),
      FIELD(verification_info, ut),           FIELD(verification_info, msg),
      FIELD(verification_info, bindUnvalide), FIELD(verification_info, ed),
      FIELD(verification_info, endBind)};
  unsigned char* block = canary_block(sizeof(verification_info));
  verification_info* info = (verification_info*)block;
  verification_info want;
  memset(&want, CANARY, sizeof want);
  info->ut = text_buffer();
  info->msg = text_buffer();
  info->ed = text_buffer();
  info->endBind = text_buffer();
  want.err = 1;
  want.haveTime = 3600;
  want.expired = 0;
  want.usepay = 1;
  want.ut = info->ut;
  want.msg = info->msg;
  want.bindUnvalide = 0;
  want.ed = info->ed;
  want.endBind = info->endBind;
  printf("get_verification_from_service %d\n",
         (int)get_verification_from_service(kHost, "verification", port, kProtocol, REQUEST, info));
  expect_record("verification_info", block, &want, sizeof want, fields,
                sizeof fields / sizeof fields[0]);
  expect_text("verification_info.ut", want.ut, "VIP");
  expect_text("verification_info.msg", want.msg, "welcome");
  expect_text("verification_info.ed", want.ed, "2027-03-31");
  expect_text("verification_info.endBind", want.endBind, "2027-01-15");
  free(want.ut);
  free(want.msg);
  free(want.ed);
  free(want.endBind);
  free(block);
}

static void ad_link(uint32_t port) {
  const struct field fields[] = {FIELD(ad_link_info, key), FIELD(ad_link_info, ref),
                                 FIELD(ad_link_info, url), FIELD(ad_link_info, ref1)};
  unsigned char* block = canary_block(sizeof(ad_link_info));
  ad_link_info* link = (ad_link_info*)block;
  ad_link_info want;
  memset(&want, CANARY, sizeof want);
  want.key = link->key = text_buffer();
  want.ref = link->ref = text_buffer();
  want.url = link->url = text_buffer();
  want.ref1 = link->ref1 = text_buffer();
  printf("get_kiv_adLink_from_service %d\n",
         (int)get_kiv_adLink_from_service(kHost, "ad_link", port, kProtocol, REQUEST, link));
  expect_record("ad_link_info", block, &want, sizeof want, fields,
                sizeof fields / sizeof fields[0]);
  expect_text("ad_link_info.key", want.key, "spring");
  expect_text("ad_link_info.ref", want.ref, "banner");
  expect_text("ad_link_info.url", want.url, "http://www.example.com/promo");
  expect_text("ad_link_info.ref1", want.ref1, "7");
  free(want.key);
  free(want.ref);
  free(want.url);
  free(want.ref1);
  free(block);
}

static void client_title(uint32_t port) {
  const struct field fields[] = {
      FIELD(client_title_info, id),    FIELD(client_title_info, title),
      FIELD(client_title_info, url),   FIELD(client_title_info, usertype),
      FIELD(client_title_info, msg),   FIELD(client_title_info, isopen),
      FIELD(client_title_info, isbind)};
  unsigned char* block = canary_block(sizeof(client_title_info));
  client_title_info* title = (client_title_info*)block;
  client_title_info want;
  memset(&want, CANARY, sizeof want);
  want.title = title->title = text_buffer();
  want.url = title->url = text_buffer();
  want.msg = title->msg = text_buffer();
  want.id = 27;
  want.usertype = 2;
  want.isopen = 1;
  want.isbind = -4;
  printf("get_kiv_client_title_from_service %d\n",
         (int)get_kiv_client_title_from_service(kHost, "client_title", port, kProtocol, REQUEST,
                                                title));
  expect_record("client_title_info", block, &want, sizeof want, fields,
                sizeof fields / sizeof fields[0]);
  expect_text("client_title_info.title", want.title, "notice");
  expect_text("client_title_info.url", want.url, "http://www.example.com/n/27");
  expect_text("client_title_info.msg", want.msg, "maintenance");
  free(want.title);
  free(want.url);
  free(want.msg);
  free(block);
}

static void vpn_info(uint32_t port) {
  const struct field fields[] = {FIELD(vpn_connection_info, VPNIP),
                                 FIELD(vpn_connection_info, LocalOutIP),
                                 FIELD(vpn_connection_info, VPNPort)};
  unsigned char* block = canary_block(sizeof(vpn_connection_info));
  vpn_connection_info want;
  memset(&want, 0, sizeof want); /* cleared before it is filled */
  strcpy(want.VPNIP, "198.51.100.7");
  strcpy(want.LocalOutIP, "203.0.113.45");
  want.VPNPort = 1723;
  printf("get_vpn_info %d\n", (int)get_vpn_info(kHost, "vpn_info", port, kProtocol, REQUEST,
                                                (vpn_connection_info*)block));
  expect_record("vpn_connection_info", block, &want, sizeof want, fields,
                sizeof fields / sizeof fields[0]);
  free(block);
}

/* KIV_CALL: the C runtime calls main with the C convention, whatever this
 * program's default is. */
int KIV_CALL main(int argc, char** argv) {
  /* Each pointer type is the type of its export, convention included. */
  const kiv_break_report_fn break_fn = break_report;
  const kiv_bug_report_fn bug_fn = bug_report;
  const kiv_client_operate_report_fn operate_fn = client_operate_report;
  const kiv_disconnect_report_fn disconnect_fn = kiv_disconnect_report;
  const kiv_link_report_fn link_fn = link_report;
  const kiv_login_state_report_fn login_state_fn = login_state_report;
  const kiv_open_login_report_fn open_login_fn = open_login_report;
  struct seen_messages seen = {0, 0};
  uint32_t port;
  if (argc < 2) {
    fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  /* Unbuffered: what was seen survives a crash that a wrong layout causes. */
  setvbuf(stdout, NULL, _IONBF, 0);
  port = (uint32_t)strtoul(argv[1], NULL, 10);
  convention_is_pinned();
  kiv_set_message_handler(on_message, &seen);

  transports(port);
  list_readers();
  callback_queries(port);
  verification(port);
  ad_link(port);
  client_title(port);
  vpn_info(port);

  link_fn(1, 2, "192.0.2.1", "relay one", "abi", 3);
  bug_fn(3, 301, 0, "probe_abi", "through its pointer type");
  (void)break_fn;
  (void)operate_fn;
  (void)disconnect_fn;
  (void)login_state_fn;
  (void)open_login_fn;

  kiv_set_message_handler(NULL, NULL);
  printf("handler saw the transport: %s; start-up messages in the handler: %s\n",
         seen.transport_entered ? "yes" : "no", seen.start_up ? "yes" : "no");
  printf("%s\n", g_failures == 0 ? "every byte as expected" : "mismatches");
  return g_failures == 0 ? 0 : 1;
}
