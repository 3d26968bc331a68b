/* Event-report library: each export formats one JSON record and sends it,
 * zlib-compressed, as one UDP datagram to the log server named in
 * ./loginurl.ini. Reports are fire-and-forget: nothing is returned. */
#ifndef KIV_LOGSEND_H
#define KIV_LOGSEND_H

#include <stdint.h>

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

KIV_LOGSEND_API void break_report(const char* kiv_version, const char* user_name,
                                  const char* server_ip, int32_t dial_mode,
                                  int32_t disconnect_type);

/* The failure hook of the service-query library. A null error_specify sends
 * the system's text for error_number. */
KIV_LOGSEND_API void bug_report(int32_t module_id, int32_t func_id, int32_t error_number,
                                const char* error_func_name, const char* error_specify);

/* `param` is a JSON text, written unquoted as the record's "param". */
KIV_LOGSEND_API void client_operate_report(const char* param);

KIV_LOGSEND_API void kiv_disconnect_report(const char* kiv_version, const char* user_name,
                                           const char* server_ip, const char* server_name,
                                           int32_t dial_module);
KIV_LOGSEND_API void link_report(int32_t link_mode, int32_t link_state, const char* link_service_ip,
                                 const char* link_service_name, const char* link_account,
                                 int32_t userType_Id);
KIV_LOGSEND_API void login_state_report(const char* kiv_version, const char* user_name,
                                        int32_t login_state);
KIV_LOGSEND_API void open_login_report(const char* kiv_version);

/* Pointer types for binding the reports at run time. */
typedef void (*kiv_bug_report_fn)(int32_t module_id, int32_t func_id, int32_t error_number,
                                  const char* error_func_name, const char* error_specify);
typedef void (*kiv_link_report_fn)(int32_t link_mode, int32_t link_state,
                                   const char* link_service_ip, const char* link_service_name,
                                   const char* link_account, int32_t userType_Id);
typedef void (*kiv_login_state_report_fn)(const char* kiv_version, const char* user_name,
                                          int32_t login_state);

#ifdef __cplusplus
}
#endif

#endif /* KIV_LOGSEND_H */
