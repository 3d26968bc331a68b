/* Event-report library (kiv_logsend): each export formats one JSON record
 * ({"act":..., "param":{...}}) and sends it, zlib-compressed, as one UDP
 * datagram to the accelerator's log server.
 *
 * What every report does, on the calling thread:
 *
 * - Returns nothing and tells its caller nothing: reports are
 *   fire-and-forget. A report that cannot be sent (a required text null,
 *   no memory, no settings, a failed name lookup, no zlib, no socket) is
 *   dropped, with a line to the message logger (kiv_clientlog.h); nothing
 *   is retried or queued, and no answer is awaited.
 * - Reads the settings file "./loginurl.ini" in the process's current
 *   directory anew for every record: section "LOG_SERVERS", keys
 *   log_servers_dns (host name or dotted IPv4 address; only its first 63
 *   characters are read) and log_servers_port (decimal UDP port; its first
 *   7 characters are read, and the number is taken modulo 65536). Without
 *   the file, when it is not a regular file (a folder, a FIFO, a device:
 *   it is never waited on), or with either key missing or empty, the
 *   record is not sent.
 * - Resolves log_servers_dns to its first IPv4 address for every record,
 *   from a cache of recent lookups kept by name: an address is reused for
 *   5 minutes, a failed lookup is remembered for 30 seconds, and threads
 *   asking for a name that is being looked up wait for that one lookup.
 *   If the lookup fails, the address last resolved is used when it was
 *   resolved from the same name; otherwise the record is not sent.
 * - Loads zlib (libz.so.1, or zlib1.dll on Windows) for the record, opens a
 *   UDP socket, sends one datagram of exactly one zlib stream of the record
 *   (without its NUL, the bytes compress() gives) and releases all of it
 *   again, except the memory of zlib's compression state (about 270 KB),
 *   which the library keeps for the next record: one block for each report
 *   compressing at the same moment, at most 16. Sockets of the caller stay
 *   as they were.
 * - Text arguments are NUL-terminated bytes in the client's ANSI code page,
 *   only read, and never kept after the call. They are written into the
 *   record as JSON string bodies, with quotes, backslashes and control
 *   characters escaped (GBK double-byte characters stay whole);
 *   client_operate_report's argument alone goes in as it is. Numbers are
 *   written in signed decimal and not checked. Records grow to fit their
 *   values; one too long to compress into record length + 13 bytes, or to
 *   go in one datagram, is lost.
 * - Writes to the process's standard output: "send_data = " followed by the
 *   record (login_state_report, kiv_disconnect_report and
 *   client_operate_report only, before the settings are read), and, in
 *   the send step, a line (GBK text) with the record's length before it is
 *   compressed and one with its compressed length after.
 * - May be called from any thread, and reports on several threads go out
 *   side by side: they share only the last resolved address (read or
 *   updated in an instant) and the lookup cache, so a report waits for
 *   another thread only while that one looks up the same name. No report
 *   starts a thread. The process may exit while reports run: nothing they
 *   use is released at exit.
 * - Blocks for the settings read, the name lookup (as long as the system's
 *   resolver takes for log_servers_dns when the cache has nothing recent
 *   for it; a dotted address resolves at once) and the send, plus any wait
 *   for another thread's lookup of the same name. Sending does not wait for
 *   the network. */
#ifndef KIV_LOGSEND_H
#define KIV_LOGSEND_H

#include <stdint.h>

#include "kiv_version.h"

#if defined(_WIN32)
#if defined(KIV_LOGSEND_BUILDING)
#define KIV_LOGSEND_API __declspec(dllexport)
#else
#define KIV_LOGSEND_API __declspec(dllimport)
#endif
#else
#define KIV_LOGSEND_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Going offline: an "OutLineState" record with kiv_version, user_name,
 * server_ip, dial_mode and disconnect_type. The three texts are required
 * (a null one: nothing is sent). */
KIV_LOGSEND_API void KIV_CALL break_report(const char* kiv_version, const char* user_name,
                                           const char* server_ip, int32_t dial_mode,
                                           int32_t disconnect_type);

/* An internal failure: a "BugService" record with module_id, func_id,
 * error_number, error_func_name and error_specify. The query library
 * (kiv_svcquery) calls it for its own failures, with module_id 3 and the
 * numbers that kiv_svcquery.h lists.
 *
 * error_func_name  name of the call that failed. Required (null: nothing is
 *                  sent).
 * error_specify    free text; may be empty. Null: the system's text for
 *                  error_number (strerror on Linux, FormatMessage on
 *                  Windows), its first line without the line end, is sent
 *                  instead; when the system has no text for the number,
 *                  nothing is sent. */
KIV_LOGSEND_API void KIV_CALL bug_report(int32_t module_id, int32_t func_id, int32_t error_number,
                                         const char* error_func_name, const char* error_specify);

/* A client operation: a "ClientOperate" record whose "param" is `param`
 * itself, written as it is, unquoted and unchecked. Pass a JSON text
 * (normally an object), or the record is not JSON. Required (null: nothing
 * is sent). */
KIV_LOGSEND_API void KIV_CALL client_operate_report(const char* param);

/* Disconnection from a server: a "DisconnServer" record with kiv_version,
 * user_name, dial_module, server_ip and server_name, in that order (the
 * fifth argument stands third). The four texts are required. */
KIV_LOGSEND_API void KIV_CALL kiv_disconnect_report(const char* kiv_version, const char* user_name,
                                                    const char* server_ip, const char* server_name,
                                                    int32_t dial_module);

/* The state of a link to a server: a "LinkService" record with link_mode,
 * link_state, link_service_ip, userType_Id, link_service_name and
 * link_account, in that order (the sixth argument stands fourth). The three
 * texts are required. */
KIV_LOGSEND_API void KIV_CALL link_report(int32_t link_mode, int32_t link_state,
                                          const char* link_service_ip,
                                          const char* link_service_name, const char* link_account,
                                          int32_t userType_Id);

/* A login state: a "LoginService" record with kiv_version, user_name and
 * login_state. The two texts are required. */
KIV_LOGSEND_API void KIV_CALL login_state_report(const char* kiv_version, const char* user_name,
                                                 int32_t login_state);

/* The opening of the login window: an "OpenLoginService" record with
 * kiv_version. Required. Unlike the other reports, it writes a failure to
 * read the settings to standard output instead of the message logger. */
KIV_LOGSEND_API void KIV_CALL open_login_report(const char* kiv_version);

/* Pointer types of the seven reports, for a client that binds them at run
 * time (dlsym, GetProcAddress), with the exports' own calling convention.
 * An addition of these libraries. */
typedef void(KIV_CALL* kiv_break_report_fn)(const char* kiv_version, const char* user_name,
                                            const char* server_ip, int32_t dial_mode,
                                            int32_t disconnect_type);
typedef void(KIV_CALL* kiv_bug_report_fn)(int32_t module_id, int32_t func_id, int32_t error_number,
                                          const char* error_func_name, const char* error_specify);
typedef void(KIV_CALL* kiv_client_operate_report_fn)(const char* param);
typedef void(KIV_CALL* kiv_disconnect_report_fn)(const char* kiv_version, const char* user_name,
                                                 const char* server_ip, const char* server_name,
                                                 int32_t dial_module);
typedef void(KIV_CALL* kiv_link_report_fn)(int32_t link_mode, int32_t link_state,
                                           const char* link_service_ip,
                                           const char* link_service_name, const char* link_account,
                                           int32_t userType_Id);
typedef void(KIV_CALL* kiv_login_state_report_fn)(const char* kiv_version, const char* user_name,
                                                  int32_t login_state);
typedef void(KIV_CALL* kiv_open_login_report_fn)(const char* kiv_version);

#ifdef __cplusplus
}
#endif

#endif /* KIV_LOGSEND_H */
