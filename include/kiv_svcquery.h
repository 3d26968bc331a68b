/* Service-query library (kiv_svcquery): asks the accelerator's web service
 * questions over HTTP and reads the service list that the client saved.
 *
 * Conventions for every export below:
 *
 * - Every export returns a result code (KIV_OK, or one of the KIV_E_* codes
 *   below), the only account it gives the caller: errno (GetLastError on
 *   Windows) means nothing afterwards. What went wrong is also written to
 *   the message logger (kiv_clientlog.h) and, for most failures, sent as a
 *   failure report through kiv_logsend's bug_report.
 * - Text is NUL-terminated bytes in the client's ANSI code page and is never
 *   converted. The library's own messages are GBK.
 * - Everything the caller passes (texts, records, buffers, callbacks,
 *   context) stays the caller's. It is read or written only during the call
 *   and never kept afterwards.
 * - Buffers that the library hands to a callback are the library's and are
 *   valid only until the callback returns: copy what you keep. Callbacks run
 *   on the calling thread, before the export returns, and must return
 *   normally; their results, if any, are not looked at.
 * - Every export may be called from any thread, also concurrently: each
 *   call has its own buffers, and the only state that calls share (the
 *   run-time libraries bound when this library was loaded, libcurl's global
 *   set-up) is never changed by them. No export starts a thread of its
 *   own, but libcurl may: where it resolves names on a thread (Debian's
 *   libcurl and the Windows build's copy do), a transfer to a host name (a
 *   dotted address needs no lookup) starts one for the lookup and waits
 *   for it, for at most the transfer's time-out; a lookup that outlasts the
 *   transfer ends on its own.
 * - Process exit and unloading: the process may end (exit, or a return
 *   from main) while other threads are inside any export or a message
 *   handler. At exit the library releases nothing those calls use: the
 *   bound libraries stay loaded and the system takes them back with the
 *   process. An explicit unload (dlclose, FreeLibrary) releases the JSON
 *   library, zlib and kiv_logsend, in that order; it must not be made while
 *   a call of this library runs (a call that begins after it returns
 *   KIV_E_NO_MEMORY at once).
 * - The request head. Every query and both transport exports begin with the
 *   same six arguments, passed unchanged to the HTTP transport:
 *     host          web service's host name or dotted IPv4 address. Required.
 *     url           path (with any query part) after the "/" that follows
 *                   the port, without a leading "/"; may be empty. Required.
 *     port          TCP port; not checked.
 *     protocol      a label that is only logged. Required.
 *     request_data  the request text. Required by the queries; the
 *                   transport exports accept null with a request_size of 0
 *                   (an empty request).
 *     request_size  number of bytes of request_data that are compressed and
 *                   sent. Negative: KIV_E_MISSING_ARGUMENT.
 *   The request text is also written to the message logger, in full, on
 *   every call ("request_data: ..." in the transport's line), credentials
 *   and all: a program that keeps its log keeps them too. So request_data
 *   should end in a NUL, as a text: the line shows the bytes up to the
 *   first NUL, but never more than request_size, and nothing past the
 *   request_size bytes is ever read, NUL or not.
 *   The request goes as one zlib stream to "http://" host ":" port "/" url,
 *   as an HTTP POST with "Content-Type: text/xml"; redirects are followed.
 *   Only an answer with status 200 is used, and its body may hold at most
 *   1 MiB: one zlib stream, which http_access_protocol1 and the queries
 *   inflate (http_access_protocol2 stores it as it is).
 * - Blocking: an export that asks the web service blocks until the
 *   exchange ends, for at most about 2 seconds (the whole transfer's
 *   time-out, name lookup and connection included), plus the time that its
 *   callbacks and the message logger's handler take. The readers of the
 *   saved list make no HTTP request and block only for reading the file
 *   and for their callbacks. A failure that is reported also runs
 *   bug_report on the calling thread, with its settings read and name
 *   lookup (see kiv_logsend.h).
 * - Behaviour when the library's run-time libraries are missing: without
 *   zlib the transports return KIV_E_COMPRESS and the list readers
 *   KIV_E_UNCOMPRESS; without the JSON library each query returns its
 *   "not JSON" code before anything is sent (save_game_route_info:
 *   KIV_E_SAVE_ROUTE_FAILED), and the readers return KIV_E_NOT_JSON_114.
 * - Result codes, beyond what each code's own comment says:
 *   KIV_E_NO_MEMORY (1) is also what an export returns when it stopped a
 *   C++ exception from reaching the caller: one thrown inside the library,
 *   or on Linux by a caller's callback, is logged and gives 1. (On Windows
 *   each DLL has its own unwinder, so a callback must not throw at all, as
 *   the callbacks' rule says.) KIV_E_TRANSFER (114) also covers
 *   memory that the transfer needed and did not get (libcurl's handle, the
 *   URL, the header list, room for the answer). The names of the codes are
 *   an addition of these libraries; the values are the libraries' own.
 * - What the caller's storage holds after a failure is said export by
 *   export below. No failure leaves a record, or an output argument,
 *   partly written: each is either untouched or, for get_vpn_info once the
 *   service has answered, cleared whole.
 * - Failure reports: every bug_report that this library sends carries
 *   module_id 3 and the number of the reporting export as func_id:
 *     301 http_access_protocol1     302 http_access_protocol2
 *     303 get_verification_from_service
 *     304 get_data_from_file (and the reading of the list file, for both
 *         readers)                  305 get_local_ip_from_service
 *     306 get_loginvpn_from_service 307 check_hangup_from_service
 *     308 get_kiv_client_title_from_service
 *     309 get_kiv_adLink_from_service
 *     311 get_servertype_from_file  312 get_vpn_info
 *     314 save_game_route_info
 *     315 the five game queries (get_gameroute_from_server,
 *         get_usertypelist_from_server, get_gameprocess_from_server,
 *         get_serverdelay_from_server, get_areadelay_from_server)
 *   error_func_name names the call that failed ("malloc", "OpenFile",
 *   "GetFileSize", "ReadFile", "CreateFileA", "WriteFile",
 *   "FlushFileBuffers", "MoveFileExA", "realloc", "compress",
 *   "uncompress") with the system's error number (errno on Linux,
 *   GetLastError on Windows; sent only when it is not 0, "realloc" always),
 *   or zlib's code + 11000 for zlib, and error_specify null. A missing
 *   argument is reported with error_number 10003, error_specify
 *   "kiv sdk -- " followed by six Chinese characters in GBK ("the call's
 *   arguments are wrong"; bytes B5 F7 D3 C3 B2 CE CA FD B3 F6 B4 ED), and
 *   the export's own name as error_func_name ("get_check_ischeck_info" for
 *   save_game_route_info; "save_services_list_to_file" for a null saveFile
 *   or an empty answer of http_access_protocol2); the five game queries and
 *   the transports' request head are never reported as missing. Nothing
 *   else is reported: not an HTTP status, a failed transfer, an answer that
 *   is not JSON, nor the service's refusal.
 * - Start-up: when the system loads this library it binds the JSON
 *   library, zlib and kiv_logsend and writes one message for each of the
 *   first two ("Success: Load kiv_json.dll", "Success: Load zlib1.dll", or
 *   the failure's line) and one more if kiv_logsend could not be bound.
 *   These are written before the client's own code runs, so a client that
 *   links this library at build time never sees them in its message
 *   handler: they go to the logger's default sink (see kiv_clientlog.h).
 * - libcurl (Linux: the shared libcurl the process has; Windows: a copy
 *   inside kiv_svcquery.dll that no other code shares): its global state
 *   is set up once, by the first transfer, with
 *   curl_global_init(CURL_GLOBAL_ALL), and is never cleaned up by this
 *   library. A client that uses the same libcurl itself may call
 *   curl_global_init as it likes, but every curl_global_cleanup it calls
 *   must pair with a curl_global_init of its own, and it must not call
 *   either while a call of this library may run on another thread: an
 *   unpaired clean-up would tear down what transfers use.
 * - Calling convention and records: every export and every callback type
 *   has the C calling convention (KIV_CALL, see kiv_version.h), and the
 *   records have fixed layouts whatever the client's packing (see
 *   "Records" below). */
#ifndef KIV_SVCQUERY_H
#define KIV_SVCQUERY_H

#include <stddef.h>
#include <stdint.h>

#include "kiv_version.h"

#if defined(_WIN32)
#if defined(KIV_SVCQUERY_BUILDING)
#define KIV_SVCQUERY_API __declspec(dllexport)
#else
#define KIV_SVCQUERY_API __declspec(dllimport)
#endif
#else
#define KIV_SVCQUERY_API __attribute__((visibility("default")))
#endif

/* Result codes.
 *
 * Each expands to a plain integer literal of type int (the negative one in
 * parentheses), within the range of int32_t, the type every export returns,
 * so it may be used in #if, as a case label and in C++ without a cast. Some
 * values stand for more than one condition, depending on the export; each
 * such value has one name per condition, all equal, so that the caller's
 * code can say which it means. A switch can hold
 * only one of them: it uses the value's primary name, the first defined
 * (KIV_E_NO_MEMORY, KIV_E_COMPRESS, KIV_E_HTTP_STATUS, KIV_E_TRANSFER and
 * KIV_E_MISSING_ARGUMENT), which kiv_result_name below gives. An export that
 * calls the HTTP transport returns the transport's codes unchanged
 * (save_game_route_info excepted), so the transport's codes are among the
 * results of every query. Each export below lists the names it can return. */

/* Success. get_kiv_adLink_from_service and get_kiv_client_title_from_service
 * also return the service's own nonzero "err" value on success. */
#define KIV_OK 0
/* A working buffer (the answer buffer, the compressed request, a list
 * file's buffers, or a text the JSON library had to make) was not
 * allocated. */
#define KIV_E_NO_MEMORY 1
/* get_gameroute_from_server and get_gameprocess_from_server: the service's
 * "err" was 0 (it refused the question). Equal to KIV_E_NO_MEMORY, the
 * primary name. */
#define KIV_E_SERVICE_REFUSED 1
/* The saved list file could not be opened. */
#define KIV_E_FILE_OPEN 4
/* http_access_protocol2: the new answer file could not be created beside
 * the old one, or could not be put in its place. */
#define KIV_E_FILE_CREATE 5
/* The saved list file could not be read whole, or is larger than any list
 * http_access_protocol2 saves (1 MiB): such a file is not read at all. */
#define KIV_E_FILE_READ 7
/* The saved list file's size could not be taken. */
#define KIV_E_FILE_SIZE 8
/* Compressing the request failed (or zlib is not bound). */
#define KIV_E_COMPRESS 101
/* The service's answer is not JSON, as most queries report it (those that
 * use KIV_E_NOT_JSON_114 say so). Equal to KIV_E_COMPRESS, the
 * primary name. */
#define KIV_E_NOT_JSON_101 101
/* Inflating failed: the answer or the saved list is not one zlib stream,
 * is damaged, or inflates to more than its buffer holds. */
#define KIV_E_UNCOMPRESS 102
/* The service answered with an HTTP status other than 200 (its body is
 * dropped). */
#define KIV_E_HTTP_STATUS 113
/* save_game_route_info: the exchange failed in any way, or the answer was
 * empty. Equal to KIV_E_HTTP_STATUS, the primary name. */
#define KIV_E_SAVE_ROUTE_FAILED 113
/* The HTTP transfer was not set up or did not complete: no connection, a
 * failed name lookup, the 2-second time-out, a redirect that failed, or an
 * answer body longer than 1 MiB. */
#define KIV_E_TRANSFER 114
/* The answer of get_verification_from_service or get_vpn_info, or the
 * saved list, is not JSON. Equal to KIV_E_TRANSFER, the primary name. */
#define KIV_E_NOT_JSON_114 114
/* The saved list's "err" member is 0 or absent. */
#define KIV_E_LIST_REFUSED 115
/* The saved list lacks its list member ("server" or "serverType"). */
#define KIV_E_NO_LIST 116
/* A required argument is null (or a size is negative, or an answer to save
 * is empty). */
#define KIV_E_MISSING_ARGUMENT 10003
/* A list reader or delay query could not allocate the small buffers of the
 * rows it hands over. Equal to KIV_E_MISSING_ARGUMENT, the primary name. */
#define KIV_E_NO_ROW_MEMORY 10003
/* http_access_protocol2: writing the new answer file, or flushing it to
 * disk, failed. */
#define KIV_E_FILE_WRITE 210605
/* libcurl refused an option of the transfer (for example a URL longer than
 * it accepts). The value is the bit pattern 0xE0FF00FF as a signed 32-bit
 * integer. */
#define KIV_E_OPTION_REFUSED (-520158977) /* 0xE0FF00FF */

/* The primary name of a result code as text ("KIV_OK", "KIV_E_TRANSFER",
 * ...; for a shared value the name listed above first), or null for a
 * value that is not one of the codes above (such as the service's own "err"
 * that get_kiv_adLink_from_service returns). Defined here, in every program
 * that includes this header: it is not an export of the library. Inline
 * where the language has it; a C89 compiler gets the spelling of inline it
 * accepts, or a plain static function. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define KIV_RESULT_NAME_STATIC_ static inline
#elif defined(__GNUC__)
#define KIV_RESULT_NAME_STATIC_ static __inline__
#elif defined(_MSC_VER)
#define KIV_RESULT_NAME_STATIC_ static __inline
#else
#define KIV_RESULT_NAME_STATIC_ static
#endif
KIV_RESULT_NAME_STATIC_ const char* kiv_result_name(int32_t code) {
  switch (code) {
    case KIV_OK:
      return "KIV_OK";
    case KIV_E_NO_MEMORY:
      return "KIV_E_NO_MEMORY";
    case KIV_E_FILE_OPEN:
      return "KIV_E_FILE_OPEN";
    case KIV_E_FILE_CREATE:
      return "KIV_E_FILE_CREATE";
    case KIV_E_FILE_READ:
      return "KIV_E_FILE_READ";
    case KIV_E_FILE_SIZE:
      return "KIV_E_FILE_SIZE";
    case KIV_E_COMPRESS:
      return "KIV_E_COMPRESS";
    case KIV_E_UNCOMPRESS:
      return "KIV_E_UNCOMPRESS";
    case KIV_E_HTTP_STATUS:
      return "KIV_E_HTTP_STATUS";
    case KIV_E_TRANSFER:
      return "KIV_E_TRANSFER";
    case KIV_E_LIST_REFUSED:
      return "KIV_E_LIST_REFUSED";
    case KIV_E_NO_LIST:
      return "KIV_E_NO_LIST";
    case KIV_E_MISSING_ARGUMENT:
      return "KIV_E_MISSING_ARGUMENT";
    case KIV_E_FILE_WRITE:
      return "KIV_E_FILE_WRITE";
    case KIV_E_OPTION_REFUSED:
      return "KIV_E_OPTION_REFUSED";
    default:
      return NULL;
  }
}
#undef KIV_RESULT_NAME_STATIC_

#ifdef __cplusplus
extern "C" {
#endif

/* One list element, handed to the caller: `count` field names and `count`
 * value pointers that correspond by position. What each value points to (an
 * int32_t, a float, or a NUL-terminated char array) is given by the export
 * that calls it. `names`, `values` and everything they point to belong to
 * the library and are valid only while the callback runs; the same buffers
 * are rewritten for the next element. `context` is the export's context
 * argument (see get_data_from_file for the one exception). */
typedef void(KIV_CALL* row_callback)(int32_t count, char** names, void** values, void* context);

/* The JSON text of one answer member, NUL-terminated, valid only while the
 * callback runs. `context` is the export's context argument. */
typedef void(KIV_CALL* json_text_callback)(const char* text, void* context);

/* ---- Records -----------------------------------------------------------
 *
 * The records have fixed layouts: natural alignment, whatever packing the
 * client has in force where it includes this header (#pragma pack, /Zp),
 * since they are declared under the default packing of their own. Their
 * sizes and the offsets of their fields, in bytes, are given below for the
 * 32-bit (i686) and 64-bit (x86_64) builds and checked when this header is
 * compiled. */
#pragma pack(push, 8)

/* Filled by get_verification_from_service. Each of the four text fields
 * must point to a caller buffer of at least 1024 bytes (they are not tested
 * for null).
 *
 *   field         i686  x86_64
 *   err              0       0
 *   haveTime         4       4
 *   expired          8       8
 *   usepay          12      12
 *   ut              16      16
 *   msg             20      24
 *   bindUnvalide    24      32
 *   ed              28      40
 *   endBind         32      48
 *   (size)          36      56 */
typedef struct verification_info {
  int32_t err; /* the answer's "err": nonzero, the account was accepted */
  int32_t haveTime;
  int32_t expired;
  int32_t usepay;
  char* ut;
  char* msg;
  int32_t bindUnvalide;
  char* ed;
  char* endBind;
} verification_info;

/* Filled by get_kiv_adLink_from_service. Each field must point to a
 * caller buffer of at least 1024 bytes (they are not tested for null).
 *
 *   field   i686  x86_64
 *   key        0       0
 *   ref        4       8
 *   url        8      16
 *   ref1      12      24
 *   (size)    16      32 */
typedef struct ad_link_info {
  char* key;
  char* ref;
  char* url;
  char* ref1;
} ad_link_info;

/* Filled by get_kiv_client_title_from_service. Each of the three text
 * fields must point to a caller buffer of at least 1024 bytes (they are not
 * tested for null).
 *
 *   field     i686  x86_64
 *   id           0       0
 *   title        4       8
 *   url          8      16
 *   usertype    12      24
 *   msg         16      32
 *   isopen      20      40
 *   isbind      24      44
 *   (size)      28      48 */
typedef struct client_title_info {
  int32_t id;
  char* title;
  char* url;
  int32_t usertype;
  char* msg;
  int32_t isopen;
  int32_t isbind;
} client_title_info;

/* Filled by get_vpn_info; the texts are held in the record. The same
 * layout on both builds:
 *
 *   field        i686  x86_64
 *   VPNIP           0       0
 *   LocalOutIP     17      17
 *   VPNPort        36      36   (after 2 bytes of padding)
 *   (size)         40      40 */
typedef struct vpn_connection_info {
  char VPNIP[17];      /* at most 16 characters and the NUL */
  char LocalOutIP[17]; /* at most 16 characters and the NUL */
  int32_t VPNPort;
} vpn_connection_info;

#pragma pack(pop)

/* The layouts above, checked at compile time: a C11 or C++11 compiler says
 * which check failed; an older one rejects an array of negative size. */
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSC_VER) && _MSC_VER >= 1600))
#define KIV_LAYOUT_CHECK_(name, holds) static_assert(holds, "kiv_svcquery.h: layout of " #name)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KIV_LAYOUT_CHECK_(name, holds) _Static_assert(holds, "kiv_svcquery.h: layout of " #name)
#else
#define KIV_LAYOUT_CHECK_(name, holds) typedef char kiv_layout_check_##name[(holds) ? 1 : -1]
#endif
/* The value for 4-byte pointers (i686), or for 8-byte ones (x86_64). */
#define KIV_LAYOUT_AT_(i686, x86_64) (sizeof(void*) == 4 ? (i686) : (x86_64))
#define KIV_LAYOUT_FIELD_(record, field, i686, x86_64) \
  KIV_LAYOUT_CHECK_(record##_##field, offsetof(record, field) == KIV_LAYOUT_AT_(i686, x86_64))
#define KIV_LAYOUT_SIZE_(record, i686, x86_64) \
  KIV_LAYOUT_CHECK_(record##_size, sizeof(record) == KIV_LAYOUT_AT_(i686, x86_64))

KIV_LAYOUT_FIELD_(verification_info, err, 0, 0);
KIV_LAYOUT_FIELD_(verification_info, haveTime, 4, 4);
KIV_LAYOUT_FIELD_(verification_info, expired, 8, 8);
KIV_LAYOUT_FIELD_(verification_info, usepay, 12, 12);
KIV_LAYOUT_FIELD_(verification_info, ut, 16, 16);
KIV_LAYOUT_FIELD_(verification_info, msg, 20, 24);
KIV_LAYOUT_FIELD_(verification_info, bindUnvalide, 24, 32);
KIV_LAYOUT_FIELD_(verification_info, ed, 28, 40);
KIV_LAYOUT_FIELD_(verification_info, endBind, 32, 48);
KIV_LAYOUT_SIZE_(verification_info, 36, 56);

KIV_LAYOUT_FIELD_(ad_link_info, key, 0, 0);
KIV_LAYOUT_FIELD_(ad_link_info, ref, 4, 8);
KIV_LAYOUT_FIELD_(ad_link_info, url, 8, 16);
KIV_LAYOUT_FIELD_(ad_link_info, ref1, 12, 24);
KIV_LAYOUT_SIZE_(ad_link_info, 16, 32);

KIV_LAYOUT_FIELD_(client_title_info, id, 0, 0);
KIV_LAYOUT_FIELD_(client_title_info, title, 4, 8);
KIV_LAYOUT_FIELD_(client_title_info, url, 8, 16);
KIV_LAYOUT_FIELD_(client_title_info, usertype, 12, 24);
KIV_LAYOUT_FIELD_(client_title_info, msg, 16, 32);
KIV_LAYOUT_FIELD_(client_title_info, isopen, 20, 40);
KIV_LAYOUT_FIELD_(client_title_info, isbind, 24, 44);
KIV_LAYOUT_SIZE_(client_title_info, 28, 48);

KIV_LAYOUT_FIELD_(vpn_connection_info, VPNIP, 0, 0);
KIV_LAYOUT_FIELD_(vpn_connection_info, LocalOutIP, 17, 17);
KIV_LAYOUT_FIELD_(vpn_connection_info, VPNPort, 36, 36);
KIV_LAYOUT_SIZE_(vpn_connection_info, 40, 40);

#undef KIV_LAYOUT_SIZE_
#undef KIV_LAYOUT_FIELD_
#undef KIV_LAYOUT_AT_
#undef KIV_LAYOUT_CHECK_

/* ---- HTTP transport ---------------------------------------------------- */

/* Posts the request (see the request head above) and inflates the answer
 * into the caller's buffer.
 *
 * respond_data  the caller's buffer for the inflated answer. Required. No
 *               NUL is appended: to read the answer as text, use the length
 *               in *respond_size, or zero a buffer one byte larger than the
 *               capacity given.
 * respond_size  in: the capacity of respond_data in bytes; a capacity of 0
 *               takes only an answer that inflates to nothing. Out, on
 *               KIV_OK only: the answer's inflated length. Required.
 *
 * Returns KIV_OK; KIV_E_MISSING_ARGUMENT (host, url, protocol,
 * respond_data or respond_size null, request_data null with a size above
 * 0, or request_size negative; nothing is sent); KIV_E_NO_MEMORY;
 * KIV_E_COMPRESS; KIV_E_TRANSFER; KIV_E_OPTION_REFUSED; KIV_E_HTTP_STATUS;
 * KIV_E_UNCOMPRESS (also when the answer does not fit the capacity). On any
 * failure *respond_size is left as it was; respond_data is untouched,
 * except after KIV_E_UNCOMPRESS, when it may hold part of the answer.
 * Blocks for up to the transfer's 2-second time-out. */
KIV_SVCQUERY_API int32_t KIV_CALL http_access_protocol1(const char* host, const char* url,
                                                        uint32_t port, const char* protocol,
                                                        const char* request_data,
                                                        int32_t request_size, char* respond_data,
                                                        uint32_t* respond_size);

/* Posts the request (see the request head above) and replaces the file
 * `saveFile` with the answer body as received (still compressed): the
 * service list that get_data_from_file and get_servertype_from_file read.
 *
 * saveFile  path of the file to replace. Required.
 *
 * Returns KIV_OK; KIV_E_MISSING_ARGUMENT (host, url, protocol or saveFile
 * null, request_data null with a size above 0, request_size negative, or an
 * empty answer); KIV_E_NO_MEMORY; KIV_E_COMPRESS; KIV_E_TRANSFER;
 * KIV_E_OPTION_REFUSED; KIV_E_HTTP_STATUS; KIV_E_FILE_CREATE;
 * KIV_E_FILE_WRITE. A null saveFile is found only after the exchange. The
 * answer is written to a new file in the same folder, flushed to disk, then
 * put in the old file's place in one step, so that a reader, also on
 * another thread, finds the old list or the new one whole; on any failure
 * the old file stays as it was and the new one is removed. The process
 * needs write access to the folder. On Windows a file that other readers
 * keep open without pause cannot be replaced: the replacement is retried
 * for about a second, then KIV_E_FILE_CREATE. Blocks for up to the
 * transfer's 2-second time-out, then for writing and flushing the file. */
KIV_SVCQUERY_API int32_t KIV_CALL http_access_protocol2(const char* host, const char* url,
                                                        uint32_t port, const char* protocol,
                                                        const char* request_data,
                                                        int32_t request_size, const char* saveFile);

/* ---- Saved service list ------------------------------------------------ */

/* Reads the service list that http_access_protocol2 saved in `file_name`
 * (one zlib stream inflating to at most 30720 bytes of JSON) and hands each
 * relay server and each of its addresses to the caller. Makes no HTTP
 * request.
 *
 * file_name           path of the saved list. Required.
 * server_callback     called once per element of "server" (elements that
 *                     are not objects are skipped), in array order, with
 *                     the 14 fields of the table below and `context`.
 *                     Required.
 * server_ip_callback  called once per object of the server's "serverip"
 *                     array, before that server's server_callback, with
 *                     the 4 fields of the table below. Its context
 *                     argument is not `context` but
 *                     the address of a void* slot, null before the
 *                     server's first address, that the callback may set
 *                     (say, to a list it builds); the slot's final value is
 *                     the "serverIp" field of the server's row. The library
 *                     never reads through it or frees it. Required.
 * context             passed to server_callback unchanged. Required
 *                     (non-null), though never read through.
 * err_value           receives the list's "err" once its text has parsed
 *                     (0 included, and then the result is
 *                     KIV_E_LIST_REFUSED); untouched before that. Required.
 *
 * The fields, in the order delivered, each with the JSON member of the
 * element it is read from (the names differ for "serverId" and
 * "serverIp") and how:
 *
 *   index field          member         read as       value
 *   server_callback, element of "server":
 *    0    "payId"        "payId"        integer       int32_t
 *    1    "product"      "product"      integer       int32_t
 *    2    "serverId"     "id"           integer       int32_t
 *    3    "area"         "area"         integer       int32_t
 *    4    "charge"       "charge"       boolean       int32_t, 0 or 1
 *    5    "serverIp"     "serverip"     address list  the slot's pointer
 *    6    "userbw"       "userbw"       text          char[64]
 *    7    "paramValue2"  "paramValue2"  integer       int32_t
 *    8    "maxOnline"    "maxOnline"    integer       int32_t
 *    9    "serverName"   "serverName"   text          char[64]
 *   10    "serverType"   "serverType"   text          char[17]
 *   11    "paramValue1"  "paramValue1"  number        float
 *   12    "userablePer"  "userablePer"  number        float
 *   13    "msg"          "msg"          text          char[128]
 *   server_ip_callback, element of the server's "serverip":
 *    0    "ip"           "ip"           text          char[17]
 *    1    "net"          "net"          integer       int32_t
 *    2    "IPv6"         "IPv6"         integer       int32_t
 *    3    "id"           "id"           integer       int32_t
 *
 * The readings are the JSON library's (json-c) own: "integer" takes a
 * number's integer part (a numeric string's too; true is 1), "boolean"
 * gives 1 for true, a nonzero number or a non-empty string and 0 for
 * anything else, "number" is the value as a double narrowed to float, and
 * "text" is a string's own bytes or, for any other value, its JSON text
 * (the number 42 gives "42"). Texts longer than their buffer are cut to
 * its size less one. A member that is absent or JSON null: a text field
 * gets the empty text, the address "id" 0, and every other number keeps
 * the value that the previous element of the same call left (0 before the
 * first); the address buffers are shared by all servers of the call.
 *
 * Returns KIV_OK; KIV_E_MISSING_ARGUMENT (an argument null);
 * KIV_E_NO_ROW_MEMORY; KIV_E_NO_MEMORY; KIV_E_FILE_OPEN; KIV_E_FILE_SIZE;
 * KIV_E_FILE_READ; KIV_E_UNCOMPRESS; KIV_E_NOT_JSON_114;
 * KIV_E_LIST_REFUSED; KIV_E_NO_LIST. A file_name that is not a regular
 * file (a folder, a FIFO, a device) is never waited on or read: it gives
 * KIV_E_FILE_SIZE (on Windows a folder gives KIV_E_FILE_OPEN). Except for a
 * KIV_E_NO_MEMORY during the walk (the JSON library had no memory for a
 * text; the rows delivered before were whole), a failure means that no
 * callback was called. After a failure *err_value is untouched if the list
 * had not parsed (KIV_E_UNCOMPRESS and every failure before it,
 * KIV_E_NOT_JSON_114) and holds the list's "err" otherwise. */
KIV_SVCQUERY_API int32_t KIV_CALL get_data_from_file(const char* file_name,
                                                     row_callback server_callback,
                                                     row_callback server_ip_callback, void* context,
                                                     int32_t* err_value);

/* Reads the saved service list as get_data_from_file does and hands each
 * element of "serverType" (non-objects skipped) to server_type_callback, in
 * array order, with 4 fields read from the members of the same names, and
 * `context`: "id" (text, char[10]; the number 12 gives "12"), "name" (text,
 * char[32]), "pid" (text, char[64]) and "level" (integer, int32_t; an
 * absent "level" keeps the previous element's value), with the readings of
 * get_data_from_file. Note the argument order.
 *
 * file_name, context, server_type_callback and err_value are required, as
 * for get_data_from_file.
 *
 * Returns the codes of get_data_from_file, with the same meanings. */
KIV_SVCQUERY_API int32_t KIV_CALL get_servertype_from_file(const char* file_name, void* context,
                                                           row_callback server_type_callback,
                                                           int32_t* err_value);

/* ---- Account and connection queries ------------------------------------
 *
 * Each query below takes the request head (see above), inflates the answer
 * into an answer buffer of its own (1024 bytes unless it says otherwise),
 * parses it and copies members into the caller's storage. A text member is
 * copied with its NUL, cut to the answer buffer's size less one (only a
 * member that is not a string can be that long); an absent member gives the
 * empty text, an absent number 0. Every member's text is made before the
 * first one is written, so unless an entry says otherwise every failure
 * leaves the caller's storage untouched, KIV_E_NO_MEMORY included (also
 * when the JSON library had no memory for a member's text), and so does an
 * answer whose "err" is 0 (absent counts as 0).
 *
 * Every one returns KIV_E_MISSING_ARGUMENT (host, url, protocol,
 * request_data or an output pointer null; nothing is sent), KIV_E_NO_MEMORY
 * and the transport's codes (KIV_E_COMPRESS, KIV_E_TRANSFER,
 * KIV_E_OPTION_REFUSED, KIV_E_HTTP_STATUS, KIV_E_UNCOMPRESS, also for an
 * answer larger than the answer buffer) besides those it lists. */

/* The login check of an account.
 *
 * info  the record to fill. Required; its four text pointers must point
 *       to buffers of at least 1024 bytes.
 *
 * Once the answer parses, info->err receives "err". If it is nonzero, the
 * other eight fields are filled too; if it is 0, they are left untouched.
 * After any failure the record and its buffers are untouched, err included.
 * Returns KIV_OK whatever "err" said, or KIV_E_NOT_JSON_114. */
KIV_SVCQUERY_API int32_t KIV_CALL get_verification_from_service(const char* host, const char* url,
                                                                uint32_t port, const char* protocol,
                                                                const char* request_data,
                                                                int32_t request_size,
                                                                verification_info* info);

/* The client's outside address as the service sees it. Answer buffer: 128
 * bytes.
 *
 * ip  a caller buffer of at least 128 bytes. Required. Receives "ip" when
 *     "err" is nonzero; untouched when it is 0 and after any failure.
 *
 * Returns KIV_OK whatever "err" said, or KIV_E_NOT_JSON_101. */
KIV_SVCQUERY_API int32_t KIV_CALL get_local_ip_from_service(const char* host, const char* url,
                                                            uint32_t port, const char* protocol,
                                                            const char* request_data,
                                                            int32_t request_size, char* ip);

/* The advertisement link.
 *
 * link  the record to fill. Required; its four pointers must point to
 *       buffers of at least 1024 bytes. Filled from "key", "ref", "url"
 *       and "ref1" when "err" is nonzero.
 *
 * Returns the answer's "err" when it is nonzero (1 for "err": 1, not
 * KIV_OK), KIV_OK when it is 0 (no link; record untouched), or a failure
 * code: KIV_E_NOT_JSON_101, or any of those listed above. After any
 * failure the record's buffers are untouched.
 *
 * The service's "err" can take any nonzero value, so it can equal a
 * failure code (KIV_E_NO_MEMORY, KIV_E_COMPRESS, KIV_E_UNCOMPRESS,
 * KIV_E_HTTP_STATUS, KIV_E_TRANSFER, KIV_E_MISSING_ARGUMENT,
 * KIV_E_OPTION_REFUSED): a nonzero result that is none of these is always
 * the service's "err"; one that is, is told apart by the record. Fill the
 * whole 1024 bytes of link->key's buffer with nonzero bytes before the
 * call: the record was written, and the result is the service's "err",
 * exactly when that buffer holds a NUL afterwards (a written text always
 * ends in one within the 1024 bytes). */
KIV_SVCQUERY_API int32_t KIV_CALL get_kiv_adLink_from_service(const char* host, const char* url,
                                                              uint32_t port, const char* protocol,
                                                              const char* request_data,
                                                              int32_t request_size,
                                                              ad_link_info* link);

/* The notice that the client may pop up.
 *
 * title  the record to fill. Required; its three text pointers must point
 *        to buffers of at least 1024 bytes. Filled when "err" is nonzero.
 *
 * Returns the answer's "err" when it is nonzero, KIV_OK when it is 0 (no
 * notice; record untouched), or a failure code (KIV_E_NOT_JSON_101, or any
 * of those listed above); after any failure the record and its buffers are
 * untouched. As with get_kiv_adLink_from_service, a result equal to a
 * failure code is told apart by the record: fill title->title's whole
 * buffer with nonzero bytes before the call; it holds a NUL afterwards
 * exactly when the record was written and the result is the service's
 * "err". */
KIV_SVCQUERY_API int32_t KIV_CALL get_kiv_client_title_from_service(
    const char* host, const char* url, uint32_t port, const char* protocol,
    const char* request_data, int32_t request_size, client_title_info* title);

/* The check after a VPN dial-up.
 *
 * err_value  receives "err" once the answer parses, whatever its value.
 *            Required.
 * message    a caller buffer of at least 1024 bytes; receives "msg" once
 *            the answer parses, whatever "err" is. Required.
 *
 * After any failure both are untouched.
 *
 * Returns KIV_OK whatever "err" said, or KIV_E_NOT_JSON_101. */
KIV_SVCQUERY_API int32_t KIV_CALL get_loginvpn_from_service(const char* host, const char* url,
                                                            uint32_t port, const char* protocol,
                                                            const char* request_data,
                                                            int32_t request_size,
                                                            int32_t* err_value, char* message);

/* The check around hanging up: as get_loginvpn_from_service, but `message`
 * (at least 1024 bytes) receives the answer's "usermsg". */
KIV_SVCQUERY_API int32_t KIV_CALL check_hangup_from_service(const char* host, const char* url,
                                                            uint32_t port, const char* protocol,
                                                            const char* request_data,
                                                            int32_t request_size,
                                                            int32_t* err_value, char* message);

/* The VPN connection data. Answer buffer: 128 bytes. "err" is not read.
 *
 * vpn  the record to fill. Required. Once the service has answered, the
 *      record is cleared (empty texts, port 0), so an answer that is not
 *      JSON leaves no stale data in it; then "VPNIP" and "LocalOutIP" are copied,
 *      cut to 16 characters, and "VPNPort" is stored, each only when
 *      present. A failure before the service has answered (a missing
 *      argument, no memory for the answer buffer, any transport failure)
 *      leaves it untouched; one after (KIV_E_NOT_JSON_114, or
 *      KIV_E_NO_MEMORY while the answer is read) leaves it cleared whole.
 *
 * Returns KIV_OK or KIV_E_NOT_JSON_114. */
KIV_SVCQUERY_API int32_t KIV_CALL get_vpn_info(const char* host, const char* url, uint32_t port,
                                               const char* protocol, const char* request_data,
                                               int32_t request_size, vpn_connection_info* vpn);

/* ---- Game route and delay queries --------------------------------------
 *
 * As the account queries: the request head, an answer buffer of the size
 * each gives, KIV_E_MISSING_ARGUMENT (here also for a null callback or a
 * null context: pass any non-null context if you need none), KIV_E_NO_MEMORY
 * and the transport's codes. Callbacks are called only for a parsed answer
 * whose "err" is nonzero. A failure means that no callback was called (but
 * on Linux a callback's own exception ends the calls with KIV_E_NO_MEMORY);
 * save_game_route_info leaves *err_value untouched on every failure. */

/* The game routes. Answer buffer: 1 MiB.
 *
 * callback  called once with the JSON text of the answer's "gameroute"
 *           (a string member's own text, the JSON text of an array or
 *           object) and `context`, when "err" is nonzero and the member is
 *           present. Required.
 * context   passed to the callback unchanged. Required (non-null).
 *
 * Returns KIV_OK (also when "gameroute" is absent: no call),
 * KIV_E_SERVICE_REFUSED ("err" 0: no call) or KIV_E_NOT_JSON_101. Writes
 * progress lines (GBK text) to standard output: one before the callback,
 * one before a parse failure, and one naming the export when "err" is 0. */
KIV_SVCQUERY_API int32_t KIV_CALL get_gameroute_from_server(
    const char* host, const char* url, uint32_t port, const char* protocol,
    const char* request_data, int32_t request_size, json_text_callback callback, void* context);

/* The user types: as get_gameroute_from_server with the member
 * "usertypelist", an answer buffer of 2048 bytes and no standard output;
 * "err" 0 gives KIV_OK (no call). Returns KIV_OK or KIV_E_NOT_JSON_101. */
KIV_SVCQUERY_API int32_t KIV_CALL get_usertypelist_from_server(
    const char* host, const char* url, uint32_t port, const char* protocol,
    const char* request_data, int32_t request_size, json_text_callback callback, void* context);

/* The game processes: as get_gameroute_from_server, with the member
 * "gameprocess" (answer buffer 1 MiB, the same standard-output lines).
 * Returns KIV_OK, KIV_E_SERVICE_REFUSED or KIV_E_NOT_JSON_101. */
KIV_SVCQUERY_API int32_t KIV_CALL get_gameprocess_from_server(
    const char* host, const char* url, uint32_t port, const char* protocol,
    const char* request_data, int32_t request_size, json_text_callback callback, void* context);

/* Delays per game and server. Answer buffer: 4096 bytes.
 *
 * callback  called once per object of the answer's "gamedelay" array (other
 *           elements skipped), in array order, with 3 fields: "gameid",
 *           "serverid" and "delay", read from the element's members of the
 *           same names with the integer reading of get_data_from_file,
 *           each value an int32_t (0 for an absent member) at the start of
 *           a 32-byte block, and `context`. Required.
 * context   passed to the callback unchanged. Required (non-null).
 *
 * Returns KIV_OK ("err" 0 or no "gamedelay": no call), KIV_E_NO_ROW_MEMORY
 * or KIV_E_NOT_JSON_101. */
KIV_SVCQUERY_API int32_t KIV_CALL get_serverdelay_from_server(const char* host, const char* url,
                                                              uint32_t port, const char* protocol,
                                                              const char* request_data,
                                                              int32_t request_size,
                                                              row_callback callback, void* context);

/* Delays per node and area: as get_serverdelay_from_server, with the fields
 * "nodeId", "areaId" and "delay", read from the answer's "gamedelay" too. */
KIV_SVCQUERY_API int32_t KIV_CALL get_areadelay_from_server(const char* host, const char* url,
                                                            uint32_t port, const char* protocol,
                                                            const char* request_data,
                                                            int32_t request_size,
                                                            row_callback callback, void* context);

/* Sends the client's game-route data (in request_data) and reads back one
 * flag. Answer buffer: 256 bytes.
 *
 * err_value  receives the answer's "err" when the answer parses and has
 *            one; untouched otherwise, and after any failure. Required.
 *
 * Returns KIV_OK (also for an answer that is not JSON, or has no "err"),
 * KIV_E_MISSING_ARGUMENT, KIV_E_NO_MEMORY, or KIV_E_SAVE_ROUTE_FAILED in
 * place of every transport code and for an empty answer. A negative
 * request_size, which the transport refuses before anything is sent, is
 * one of those transport failures: KIV_E_SAVE_ROUTE_FAILED, not
 * KIV_E_MISSING_ARGUMENT. */
KIV_SVCQUERY_API int32_t KIV_CALL save_game_route_info(const char* host, const char* url,
                                                       uint32_t port, const char* protocol,
                                                       const char* request_data,
                                                       int32_t request_size, int32_t* err_value);

#ifdef __cplusplus
}
#endif

#endif /* KIV_SVCQUERY_H */
