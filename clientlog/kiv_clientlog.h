/* The message logger shared by the accelerator's client libraries. */
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

#if defined(__GNUC__)
#define KIV_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define KIV_PRINTF_LIKE(f, a)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Receives each message as the exact bytes the format produced. */
typedef void (*kiv_message_handler)(const char* message, void* context);

/* Writes one complete message (printf conventions). Never fails visibly: a
 * message that cannot be written is dropped. Safe on any thread and from
 * library constructors. */
KIV_CLIENTLOG_API void kiv_show_message(const char* format, ...) KIV_PRINTF_LIKE(1, 2);

/* From now on hand every message to `handler` instead of the default sink; a
 * null handler restores the default sink. Returns once no call of the
 * previous handler is still running on another thread. */
KIV_CLIENTLOG_API void kiv_set_message_handler(kiv_message_handler handler, void* context);

#ifdef __cplusplus
}
#endif

#endif /* KIV_CLIENTLOG_H */
