/* Message logger (kiv_clientlog) shared by the accelerator's client
 * libraries: kiv_svcquery and kiv_logsend write every progress and error
 * line through kiv_show_message, and a client program may take those lines
 * with kiv_set_message_handler (an addition of these libraries, as is
 * kiv_message_handler: the logger the libraries were written against has
 * kiv_show_message alone).
 *
 * The start-up messages of kiv_svcquery ("Success: Load kiv_json.dll" and
 * the others) are written while the system loads that library, before the
 * client's own code runs: a client that links it at build time cannot have
 * set a handler yet, so they always go to the default sink. Only a client
 * that loads kiv_svcquery itself later (dlopen, LoadLibrary) after setting
 * a handler receives them in the handler. */
#ifndef KIV_CLIENTLOG_H
#define KIV_CLIENTLOG_H

#if defined(_WIN32)
#if defined(KIV_CLIENTLOG_BUILDING)
#define KIV_CLIENTLOG_API __declspec(dllexport)
#else
#define KIV_CLIENTLOG_API __declspec(dllimport)
#endif
#else
#define KIV_CLIENTLOG_API __attribute__((visibility("default")))
#endif

/* The calling convention of the exports and of the handler: see
 * kiv_version.h, which defines it identically (this header includes no
 * other header of ours). */
#if defined(_WIN32) && !defined(_WIN64)
#define KIV_CALL __cdecl
#else
#define KIV_CALL
#endif

#if defined(__GNUC__)
#define KIV_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define KIV_PRINTF_LIKE(f, a)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A caller's receiver of messages.
 *
 * message  one whole message: exactly the bytes its format produced (GBK
 *          where the format is GBK), NUL-terminated, with no line end added
 *          or removed. It is the logger's and valid only until the handler
 *          returns.
 * context  the context given to kiv_set_message_handler.
 *
 * Called synchronously on the thread that logs, possibly on several threads
 * at once, so it must be safe to call concurrently. A message that the
 * handler itself logs goes to the default sink, not back into the handler.
 * It must return normally. */
typedef void(KIV_CALL* kiv_message_handler)(const char* message, void* context);

/* Writes one complete message, formatted with printf conventions, to the
 * handler set with kiv_set_message_handler or, without one, to the default
 * sink: one line per message on standard error, with the local time and
 * the thread's id, GBK text shown as UTF-8 when the locale is UTF-8. The
 * environment variable KIV_LOG, read when the default sink is first used,
 * sends the lines to the file it names (appended; a file that cannot be
 * opened drops them) or, set to "off", drops them.
 *
 * format  printf format; null: nothing is written. A message of any length
 *         is kept whole; only when no memory is left is it cut to its first
 *         1023 bytes (never inside a GBK character).
 *
 * Returns nothing and never fails visibly: a message that cannot be written
 * is dropped. Leaves the caller's errno (GetLastError on Windows) as it
 * was. May be called from any thread, and from library constructors (or
 * DllMain) before any other call: it loads no library and waits for no other
 * thread, only for its own short lock around the default sink. Blocks for
 * as long as the handler, or the write to the sink, takes. */
KIV_CLIENTLOG_API void KIV_CALL kiv_show_message(const char* format, ...) KIV_PRINTF_LIKE(1, 2);

/* Hands every message from now on to `handler` with `context` instead of
 * the default sink; a null handler restores the default sink.
 *
 * Returns once no other thread is still running the previous handler, so
 * that the caller may then release what that handler used. Called from
 * inside a handler, it does not wait for the handler it is called from.
 * May be called from any thread. */
KIV_CLIENTLOG_API void KIV_CALL kiv_set_message_handler(kiv_message_handler handler, void* context);

#ifdef __cplusplus
}
#endif

#endif /* KIV_CLIENTLOG_H */
