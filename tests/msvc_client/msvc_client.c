/* A client as one built with Microsoft's tools is: compiled for the MSVC
 * target, linked by lld-link against the kiv_*.lib import libraries and the
 * system's import library, with neither a C run-time nor MinGW's. On 32-bit
 * Windows it is compiled with stdcall as its default convention, so every
 * call below goes through the headers' pinned cdecl, and its callbacks are
 * declared KIV_CALL as such a client's must be.
 *
 * It takes the address of every export (so that each must be in its .lib),
 * starts the stand-in (the kiv.exe its command line names), and calls one export of every
 * kind against it: the logger and its handler, the transport into a buffer
 * and into a file, a record, a text, a flag with a text, JSON texts and rows
 * through callbacks, a flag, the saved list read through callbacks, and a
 * report. It makes these calls four times, with the stack pointer 0, 4, 8
 * and 12 bytes off a 16-byte boundary: 32-bit code of Microsoft's compilers
 * keeps only 4-byte alignment, so a library function that assumes more
 * crashes in such a client although Wine's own callers never show it.
 * Exits with 0 when each call gave what it should, with the number of the
 * first failed check otherwise. */
#include <stdint.h>

#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"

#define KIV_WINAPI __stdcall
typedef struct startup_info {
  uint32_t cb;
  char *reserved, *desktop, *title;
  uint32_t x, y, x_size, y_size, x_chars, y_chars, fill, flags;
  uint16_t show_window, reserved2;
  void *reserved3, *input, *output, *error;
} startup_info;
typedef struct process_information {
  void *process, *thread;
  uint32_t process_id, thread_id;
} process_information;
__declspec(dllimport) void* KIV_WINAPI GetStdHandle(uint32_t which);
__declspec(dllimport) int KIV_WINAPI WriteFile(void* file, const void* data, uint32_t size,
                                               uint32_t* written, void* overlapped);
__declspec(dllimport) int KIV_WINAPI ReadFile(void* file, void* data, uint32_t size,
                                              uint32_t* read, void* overlapped);
__declspec(dllimport) void* KIV_WINAPI CreateFileA(const char* name, uint32_t access,
                                                   uint32_t share, void* security,
                                                   uint32_t disposition, uint32_t flags,
                                                   void* template_file);
__declspec(dllimport) int KIV_WINAPI CloseHandle(void* handle);
__declspec(dllimport) int KIV_WINAPI CreateProcessA(const char* application, char* command_line,
                                                    void* process_security, void* thread_security,
                                                    int inherit, uint32_t flags, void* environment,
                                                    const char* folder, startup_info* startup,
                                                    process_information* information);
__declspec(dllimport) int KIV_WINAPI TerminateProcess(void* process, uint32_t code);
__declspec(dllimport) uint32_t KIV_WINAPI WaitForSingleObject(void* handle, uint32_t ms);
__declspec(dllimport) void KIV_WINAPI Sleep(uint32_t ms);
__declspec(dllimport) void KIV_WINAPI ExitProcess(uint32_t code);
__declspec(dllimport) char* KIV_WINAPI GetCommandLineA(void);
__declspec(dllimport) int KIV_WINAPI DeleteFileA(const char* name);

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define INVALID_HANDLE ((void*)-1)

static void say(const char* text) {
  uint32_t size = 0, written = 0;
  while (text[size] != '\0') ++size;
  WriteFile(GetStdHandle((uint32_t)-11), text, size, &written, 0);
}

static uint32_t length(const char* text) {
  uint32_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

/* What the compiler may call to clear a record or copy an array's
 * initialiser: there is no C run-time to bring them. */
void* __cdecl memset(void* to, int value, unsigned size);
void* __cdecl memset(void* to, int value, unsigned size) {
  unsigned char* p = (unsigned char*)to;
  while (size-- > 0) *p++ = (unsigned char)value;
  return to;
}

void* __cdecl memcpy(void* to, const void* from, unsigned size);
void* __cdecl memcpy(void* to, const void* from, unsigned size) {
  unsigned char* p = (unsigned char*)to;
  const unsigned char* q = (const unsigned char*)from;
  while (size-- > 0) *p++ = *q++;
  return to;
}

/* Writes prefix, the number, suffix. */
static void say_number(const char* prefix, uint32_t n, const char* suffix) {
  char digits[12];
  int i = (int)sizeof digits - 1;
  digits[i] = '\0';
  do digits[--i] = (char)('0' + n % 10), n /= 10;
  while (n != 0);
  say(prefix);
  say(digits + i);
  say(suffix);
}

static int same(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

/* Every export, by address: the list is generated from the headers. */
static const void* const exports[] = {
#define KIV_EXPORT(name) (const void*)&name,
#include "msvc_client_exports.h"
#undef KIV_EXPORT
};

/* ---- the stand-in ------------------------------------------------------ */

static process_information standin;

static int write_file(const char* name, const char* text) {
  uint32_t written = 0;
  void* file = CreateFileA(name, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
  if (file == INVALID_HANDLE) return 0;
  WriteFile(file, text, length(text), &written, 0);
  CloseHandle(file);
  return written == length(text);
}

/* The number after `"key":` in text, or 0. */
static uint32_t number_after(const char* text, const char* key) {
  for (; *text != '\0'; ++text) {
    const char* k = key;
    const char* t = text;
    while (*k != '\0' && *t == *k) ++t, ++k;
    if (*k == '\0') {
      uint32_t n = 0;
      while (*t == ' ') ++t;
      while (*t >= '0' && *t <= '9') n = n * 10 + (uint32_t)(*t++ - '0');
      return n;
    }
  }
  return 0;
}

/* Appends text to to[*at], within size bytes (NUL included). */
static int append(char* to, uint32_t size, uint32_t* at, const char* text) {
  while (*text != '\0') {
    if (*at + 1 >= size) return 0;
    to[(*at)++] = *text++;
  }
  to[*at] = '\0';
  return 1;
}

/* Starts the kiv.exe named after this program on its command line, serving
 * on free ports, and waits for its ready file. */
static int start_standin(uint32_t* http_port, uint32_t* udp_port) {
  static char command[1024];
  const char* line = GetCommandLineA();
  uint32_t at = 0;
  startup_info startup;
  char text[512];
  int waited;
  /* Past this program's own name, quoted or not. */
  if (*line == '"') {
    ++line;
    while (*line != '\0' && *line != '"') ++line;
    if (*line == '"') ++line;
  } else {
    while (*line != '\0' && *line != ' ' && *line != '\t') ++line;
  }
  while (*line == ' ' || *line == '\t') ++line;
  if (*line == '\0') return 0;
  if (!append(command, sizeof command, &at, "\"") || !append(command, sizeof command, &at, line) ||
      !append(command, sizeof command, &at,
              "\" serve --http-port 0 --udp-port 0 --ready-file msvc_client_ready.json"))
    return 0;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  DeleteFileA("msvc_client_ready.json");
  if (!CreateProcessA(0, command, 0, 0, 0, 0, 0, 0, &startup, &standin)) return 0;
  /* The emulated machines that run this test start a program slowly. */
  for (waited = 0; waited < 1200; ++waited) {
    uint32_t got = 0;
    void* file = CreateFileA("msvc_client_ready.json", GENERIC_READ, 7, 0, OPEN_EXISTING, 0, 0);
    if (file != INVALID_HANDLE) {
      ReadFile(file, text, sizeof text - 1, &got, 0);
      CloseHandle(file);
      text[got] = '\0';
      *http_port = number_after(text, "\"http_port\":");
      *udp_port = number_after(text, "\"udp_port\":");
      if (*http_port != 0 && *udp_port != 0) return 1;
    }
    Sleep(100);
  }
  return 0;
}

static void stop_standin(void) {
  if (standin.process == 0) return;
  TerminateProcess(standin.process, 0);
  WaitForSingleObject(standin.process, 10000);
  CloseHandle(standin.process);
  CloseHandle(standin.thread);
}

/* ---- callbacks, declared KIV_CALL as a /Gz client must ----------------- */

struct seen {
  int messages;
  char last_message[64];
  int rows;
  int texts;
};

static void KIV_CALL on_message(const char* message, void* context) {
  struct seen* seen = (struct seen*)context;
  int i = 0;
  ++seen->messages;
  for (; message[i] != '\0' && i < (int)sizeof seen->last_message - 1; ++i)
    seen->last_message[i] = message[i];
  seen->last_message[i] = '\0';
}

static void KIV_CALL on_row(int32_t count, char** names, void** values, void* context) {
  if (count > 0 && names != 0 && values != 0) ++((struct seen*)context)->rows;
}

/* A server's addresses: the context is the address of the server's slot,
 * not the caller's context. This one points the slot at the count, which the
 * server's row must then carry as its "serverIp" (field 5). */
static uint32_t addresses;
static void KIV_CALL on_address(int32_t count, char** names, void** values, void* slot) {
  if (count > 0 && names != 0 && values != 0 && slot != 0) {
    ++addresses;
    *(void**)slot = &addresses;
  }
}

static void KIV_CALL on_server(int32_t count, char** names, void** values, void* context) {
  if (count > 5 && names != 0 && values != 0 && same(names[5], "serverIp") &&
      values[5] == (void*)&addresses)
    ++((struct seen*)context)->rows;
}

static void KIV_CALL on_text(const char* text, void* context) {
  if (text != 0 && text[0] != '\0') ++((struct seen*)context)->texts;
}

/* ---- one export of every kind ----------------------------------------- */

static uint32_t http_port;
/* ./loginurl.ini: the reports go to the stand-in's log server. */
static char settings[128];

/* Returns 0, or the number of the failed check (10 and up). */
static uint32_t every_kind(void) {
  static char buffer[1 << 16];
  static char text[1024];
  const char* host = "127.0.0.1";
  const char* request = "{\"user\":\"msvc_client\"}";
  const int32_t size = (int32_t)length(request);
  struct seen seen;
  int32_t err = -1;
  memset(&seen, 0, sizeof seen);

  kiv_set_message_handler(on_message, &seen);
  kiv_show_message("%s %d", "through the handler", 42);
  if (!same(seen.last_message, "through the handler 42")) return 10;

  {
    uint32_t capacity = sizeof buffer;
    if (http_access_protocol1(host, "servers", http_port, "HTTP", request, size, buffer,
                              &capacity) != KIV_OK || capacity == 0)
      return 11;
  }
  if (http_access_protocol2(host, "servers", http_port, "HTTP", request, size, "list.dat") !=
      KIV_OK)
    return 12;
  addresses = 0;
  if (get_data_from_file("list.dat", on_server, on_address, &seen, &err) != KIV_OK ||
      seen.rows == 0 || addresses == 0)
    return 13;
  seen.rows = 0;
  if (get_servertype_from_file("list.dat", &seen, on_row, &err) != KIV_OK || seen.rows == 0)
    return 14;
  {
    vpn_connection_info vpn;
    memset(&vpn, 0, sizeof vpn);
    if (get_vpn_info(host, "vpn_info", http_port, "HTTP", request, size, &vpn) != KIV_OK ||
        vpn.VPNIP[0] == '\0')
      return 15;
  }
  text[0] = '\0';
  if (get_local_ip_from_service(host, "local_ip", http_port, "HTTP", request, size, text) !=
      KIV_OK)
    return 16;
  err = -1;
  if (get_loginvpn_from_service(host, "loginvpn", http_port, "HTTP", request, size, &err,
                                text) != KIV_OK ||
      err == -1)
    return 17;
  if (get_gameroute_from_server(host, "gameroute", http_port, "HTTP", request, size, on_text,
                                &seen) != KIV_OK ||
      seen.texts == 0)
    return 18;
  seen.rows = 0;
  if (get_serverdelay_from_server(host, "serverdelay", http_port, "HTTP", request, size, on_row,
                                  &seen) != KIV_OK ||
      seen.rows == 0)
    return 19;
  err = -1;
  if (save_game_route_info(host, "save_game_route", http_port, "HTTP", request, size, &err) !=
          KIV_OK ||
      err == -1)
    return 20;
  {
    /* Nothing listens on port 1 of the loopback: the failure path, with its
     * failure report. */
    vpn_connection_info vpn;
    if (get_vpn_info(host, "vpn_info", 1, "HTTP", request, size, &vpn) != KIV_E_TRANSFER)
      return 21;
  }
  link_report(1, 2, "127.0.0.1", "msvc_client", "account", 3);
  bug_report(1, 2, 3, "client_main", "from a client linked by lld-link");
  {
    /* Without its settings file a report logs why and returns. */
    int before = seen.messages;
    DeleteFileA("loginurl.ini");
    open_login_report("msvc_client");
    if (seen.messages == before) return 22;
    if (!write_file("loginurl.ini", settings)) return 23;
  }
  kiv_set_message_handler(0, 0);
  return 0;
}

#if defined(_M_IX86)
/* Calls every_kind with the stack pointer `offset` bytes below a 16-byte
 * boundary at the call, whatever this function's own frame is. */
static uint32_t call_with_stack_off_by(uint32_t offset) {
  uintptr_t value = (uintptr_t)every_kind;
  __asm__ volatile(
      "movl %%esp, %%edi\n\t"
      "andl $-16, %%esp\n\t"
      "subl %%ecx, %%esp\n\t"
      "call *%%eax\n\t"
      "movl %%edi, %%esp\n\t"
      : "+a"(value), "+c"(offset)
      :
      : "edi", "edx", "memory", "cc");
  return (uint32_t)value;
}
static const uint32_t offsets[] = {0, 4, 8, 12};
#else
/* 64-bit Windows code keeps the stack 16-byte aligned at every call. */
static uint32_t call_with_stack_off_by(uint32_t offset) {
  (void)offset;
  return every_kind();
}
static const uint32_t offsets[] = {0};
#endif

void KIV_CALL client_main(void) {
  uint32_t failed = 0, udp_port = 0;
  unsigned i;
  for (i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
    if (exports[i] == 0 && failed == 0) failed = 1;
  }
  if (failed == 0 && !start_standin(&http_port, &udp_port)) failed = 2;
  if (failed == 0) {
    char digits[12];
    uint32_t n = 0, at = 0, port = udp_port;
    do digits[n++] = (char)('0' + port % 10), port /= 10;
    while (port != 0);
    append(settings, sizeof settings, &at, "[LOG_SERVERS]\r\nlog_servers_dns=127.0.0.1\r\n");
    append(settings, sizeof settings, &at, "log_servers_port=");
    while (n > 0) settings[at++] = digits[--n];
    append(settings, sizeof settings, &at, "\r\n");
    if (!write_file("loginurl.ini", settings)) failed = 3;
  }
  for (i = 0; failed == 0 && i < sizeof offsets / sizeof offsets[0]; ++i) {
    failed = call_with_stack_off_by(offsets[i]);
    if (failed != 0) say_number("msvc_client: with the stack ", offsets[i], " bytes off 16\r\n");
  }
  stop_standin();

  if (failed == 0) {
    say("msvc_client: every check passed\r\n");
  } else {
    say_number("msvc_client: check ", failed, " failed\r\n");
  }
  ExitProcess(failed);
}
