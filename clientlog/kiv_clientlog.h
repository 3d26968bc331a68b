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
 * at once, so it must be safe to call concurrently. It must return normally.
 *
 * No lock of the three libraries is held while a handler runs, so a handler
 * may call any export of kiv_svcquery, kiv_logsend and this logger, and a
 * report made from it is sent. One rule keeps that from going round for
 * ever: a message logged on a thread while that thread is running the
 * handler (by the handler itself, or by a query or report it calls) is not
 * handed to the handler again but written to the default sink (see
 * kiv_show_message), in the order logged. A handler therefore runs at most
 * once per message and never inside itself, and every message reaches
 * either the handler or the default sink. The rule is per thread: a handler
 * that hands such calls to another thread and waits for them gets their
 * messages on that thread, and may wait there in turn.
 *
 * The loader lock: a handler that receives the start-up messages of
 * kiv_svcquery (see the top of this header) runs while the system's loader
 * lock is held on that thread; kiv_svcquery logs nothing while it is
 * unloaded. While such a message is handled the handler must not load or
 * free a library, must not wait for another thread (join it, or take a
 * lock that a thread loading a library may hold), and must not call the
 * exports of kiv_svcquery or kiv_logsend (a report loads zlib and starts
 * the socket layer). Recording the message is safe. A program that cannot
 * promise that sets its handler after loading kiv_svcquery. */
typedef void(KIV_CALL* kiv_message_handler)(const char* message, void* context);

/* Writes one complete message, formatted with printf conventions, to the
 * handler set with kiv_set_message_handler or, without one, to the default
 * sink: one line per message on standard error, with the local time and
 * the thread's id, GBK text shown as UTF-8 when the locale is UTF-8. The
 * environment variable KIV_LOG, read when the default sink is first used,
 * sends the lines to the file it names (appended; a file that cannot be
 * opened drops them) or, set to "off", drops them. It may name a file or a
 * character device (a terminal, /dev/null, NUL); anything else (a FIFO, a
 * socket, a pipe, a folder) is refused with one line on standard error,
 * where the lines then go. Opening it never waits.
 *
 * format  printf format; null: nothing is written. A message of any length
 *         is kept whole; only when no memory is left is it cut to its first
 *         1023 bytes (never inside a GBK character).
 *
 * Returns nothing and never fails visibly: a message that cannot be written
 * is dropped. Leaves the caller's errno (GetLastError on Windows) as it
 * was. May be called from any thread, and from library constructors (or
 * DllMain) before any other call: it loads no library and waits for no other
 * thread, except one writing its own line to the default sink (lines are
 * written one at a time, so they never interleave); a handler never waits
 * for the sink. Blocks for as long as the handler, or the write to the
 * sink, takes. */
KIV_CLIENTLOG_API void KIV_CALL kiv_show_message(const char* format, ...) KIV_PRINTF_LIKE(1, 2);

/* Hands every message from now on to `handler` with `context` instead of
 * the default sink; a null handler restores the default sink. May be called
 * from any thread, at any time, also while other threads log.
 *
 * What a caller can rely on once it returns: no message logged from then on
 * goes to a previous handler, and, called from outside a handler, no other
 * thread is still running any previous handler, so the caller may release
 * what those handlers used. It waits only for calls that began before the
 * change, however busy the new handler is; so it must not be called while
 * holding anything a running handler waits for, and a handler must not wait
 * for a thread that is changing the handler. Called from inside a handler
 * it waits for nothing and returns at once: handlers already running on
 * other threads (and the one it is called from) may still be running. */
KIV_CLIENTLOG_API void KIV_CALL kiv_set_message_handler(kiv_message_handler handler, void* context);

#ifdef __cplusplus
}
#endif

#endif /* KIV_CLIENTLOG_H */
