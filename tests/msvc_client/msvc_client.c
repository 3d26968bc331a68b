/* A client as one built with Microsoft's tools is: compiled for the MSVC
 * target, linked by lld-link against the kiv_*.lib import libraries and the
 * system's import library, with neither a C run-time nor MinGW's. On 32-bit
 * Windows it is compiled with stdcall as its default convention, so every
 * call below goes through the headers' pinned cdecl.
 *
 * It takes the address of every export (so that each must be in its .lib),
 * then calls a few that need no server, and exits with 0 when each gave what
 * it should, with the number of the first failed check otherwise. */
#include <stdint.h>

#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"

#define KIV_WINAPI __stdcall
__declspec(dllimport) void* KIV_WINAPI GetStdHandle(uint32_t which);
__declspec(dllimport) int KIV_WINAPI WriteFile(void* file, const void* data, uint32_t size,
                                               uint32_t* written, void* overlapped);
__declspec(dllimport) void KIV_WINAPI ExitProcess(uint32_t code);

static void say(const char* text) {
  uint32_t size = 0, written = 0;
  while (text[size] != '\0') ++size;
  WriteFile(GetStdHandle((uint32_t)-11), text, size, &written, 0);
}

/* Every export, by address: the list is generated from the headers. */
static const void* const exports[] = {
#define KIV_EXPORT(name) (const void*)&name,
#include "msvc_client_exports.h"
#undef KIV_EXPORT
};

static int messages_seen;
static char last_message[64];

static void KIV_CALL on_message(const char* message, void* context) {
  int i = 0;
  ++*(int*)context;
  for (; message[i] != '\0' && i < (int)sizeof last_message - 1; ++i) last_message[i] = message[i];
  last_message[i] = '\0';
}

static int rows_seen;
static void KIV_CALL on_row(int32_t count, char** names, void** values, void* context) {
  (void)count, (void)names, (void)values, (void)context;
  ++rows_seen;
}

static int same(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

void KIV_CALL client_main(void) {
  uint32_t failed = 0;
  unsigned i;
  for (i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
    if (exports[i] == 0 && failed == 0) failed = 1;
  }

  kiv_set_message_handler(on_message, &messages_seen);
  kiv_show_message("%s %d", "through the handler", 42);
  if (failed == 0 && !same(last_message, "through the handler 42")) failed = 2;

  /* No such file: the reader fails before any row. */
  {
    int32_t err = -1;
    if (failed == 0 && get_data_from_file("Z:\\no\\such\\folder\\list.dat", on_row, on_row,
                                          &rows_seen, &err) != KIV_E_FILE_OPEN)
      failed = 3;
  }
  if (failed == 0 && rows_seen != 0) failed = 4;

  /* Nothing listens on port 1 of the loopback: the transfer fails. */
  {
    vpn_connection_info vpn;
    int32_t result = get_vpn_info("127.0.0.1", "vpn_info", 1, "HTTP", "{}", 2, &vpn);
    if (failed == 0 && result != KIV_E_TRANSFER) failed = 5;
  }

  /* A report without its settings file logs why and returns. */
  {
    int before = messages_seen;
    bug_report(1, 2, 3, "client_main", "from a client linked by lld-link");
    if (failed == 0 && messages_seen == before) failed = 6;
  }
  kiv_set_message_handler(0, 0);

  if (failed == 0) {
    say("msvc_client: every check passed\r\n");
  } else {
    char number[] = "msvc_client: check ? failed\r\n";
    number[19] = (char)('0' + failed);
    say(number);
  }
  ExitProcess(failed);
}
