/* Service-query library: asks the accelerator's web service over HTTP and
 * reads the cached service list. Every export returns a result code, 0 on
 * success; every record, buffer and callback belongs to the caller. */
#ifndef KIV_SVCQUERY_H
#define KIV_SVCQUERY_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KIV_SVCQUERY_BUILDING)
#define KIV_SVCQUERY_API __declspec(dllexport)
#else
#define KIV_SVCQUERY_API __declspec(dllimport)
#endif
#else
#define KIV_SVCQUERY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One list element: `count` names and value pointers that correspond by
 * position. Names, values and the buffers behind them belong to the library
 * and are valid only while the callback runs. */
typedef void (*row_callback)(int32_t count, char** names, void** values, void* context);

/* The JSON text of one answer member, valid only while the callback runs. */
typedef void (*json_text_callback)(const char* text, void* context);

/* Text fields are pointers to caller buffers large enough for the value. */
typedef struct verification_info {
  int32_t err;
  int32_t haveTime;
  int32_t expired;
  int32_t usepay;
  char* ut;
  char* msg;
  int32_t bindUnvalide;
  char* ed;
  char* endBind;
} verification_info;

typedef struct ad_link_info {
  char* key;
  char* ref;
  char* url;
  char* ref1;
} ad_link_info;

typedef struct client_title_info {
  int32_t id;
  char* title;
  char* url;
  int32_t usertype;
  char* msg;
  int32_t isopen;
  int32_t isbind;
} client_title_info;

typedef struct vpn_connection_info {
  char VPNIP[17];
  char LocalOutIP[17];
  int32_t VPNPort;
} vpn_connection_info;

/* HTTP transport. Both post the zlib-compressed first `request_size` bytes of
 * `request_data` to "http://" host ":" port "/" url. http_access_protocol1
 * inflates the answer into `respond_data`, whose capacity `*respond_size`
 * gives on entry; on success `*respond_size` holds the answer's length and is
 * otherwise left as it was. Both `respond_data` and `respond_size` are
 * required (10003 without them, before anything is sent); a capacity of 0
 * takes only an answer that inflates to nothing. http_access_protocol2
 * replaces the file `saveFile` with the answer body as received. */
KIV_SVCQUERY_API int32_t http_access_protocol1(const char* host, const char* url, uint32_t port,
                                               const char* protocol, const char* request_data,
                                               int32_t request_size, char* respond_data,
                                               uint32_t* respond_size);
KIV_SVCQUERY_API int32_t http_access_protocol2(const char* host, const char* url, uint32_t port,
                                               const char* protocol, const char* request_data,
                                               int32_t request_size, const char* saveFile);

/* Cached service-list readers. */
KIV_SVCQUERY_API int32_t get_data_from_file(const char* file_name, row_callback server_callback,
                                            row_callback server_ip_callback, void* context,
                                            int32_t* err_value);
KIV_SVCQUERY_API int32_t get_servertype_from_file(const char* file_name, void* context,
                                                  row_callback server_type_callback,
                                                  int32_t* err_value);

/* Account and connection queries. */
KIV_SVCQUERY_API int32_t get_verification_from_service(const char* host, const char* url,
                                                       uint32_t port, const char* protocol,
                                                       const char* request_data,
                                                       int32_t request_size,
                                                       verification_info* info);
KIV_SVCQUERY_API int32_t get_local_ip_from_service(const char* host, const char* url, uint32_t port,
                                                   const char* protocol, const char* request_data,
                                                   int32_t request_size, char* ip);
KIV_SVCQUERY_API int32_t get_kiv_adLink_from_service(const char* host, const char* url,
                                                     uint32_t port, const char* protocol,
                                                     const char* request_data, int32_t request_size,
                                                     ad_link_info* link);
KIV_SVCQUERY_API int32_t get_kiv_client_title_from_service(const char* host, const char* url,
                                                           uint32_t port, const char* protocol,
                                                           const char* request_data,
                                                           int32_t request_size,
                                                           client_title_info* title);
KIV_SVCQUERY_API int32_t get_loginvpn_from_service(const char* host, const char* url, uint32_t port,
                                                   const char* protocol, const char* request_data,
                                                   int32_t request_size, int32_t* err_value,
                                                   char* message);
KIV_SVCQUERY_API int32_t check_hangup_from_service(const char* host, const char* url, uint32_t port,
                                                   const char* protocol, const char* request_data,
                                                   int32_t request_size, int32_t* err_value,
                                                   char* message);
KIV_SVCQUERY_API int32_t get_vpn_info(const char* host, const char* url, uint32_t port,
                                      const char* protocol, const char* request_data,
                                      int32_t request_size, vpn_connection_info* vpn);

/* Game route and delay queries. */
KIV_SVCQUERY_API int32_t get_gameroute_from_server(const char* host, const char* url, uint32_t port,
                                                   const char* protocol, const char* request_data,
                                                   int32_t request_size,
                                                   json_text_callback callback, void* context);
KIV_SVCQUERY_API int32_t get_usertypelist_from_server(const char* host, const char* url,
                                                      uint32_t port, const char* protocol,
                                                      const char* request_data,
                                                      int32_t request_size,
                                                      json_text_callback callback, void* context);
KIV_SVCQUERY_API int32_t get_gameprocess_from_server(const char* host, const char* url,
                                                     uint32_t port, const char* protocol,
                                                     const char* request_data, int32_t request_size,
                                                     json_text_callback callback, void* context);
KIV_SVCQUERY_API int32_t get_serverdelay_from_server(const char* host, const char* url,
                                                     uint32_t port, const char* protocol,
                                                     const char* request_data, int32_t request_size,
                                                     row_callback callback, void* context);
KIV_SVCQUERY_API int32_t get_areadelay_from_server(const char* host, const char* url, uint32_t port,
                                                   const char* protocol, const char* request_data,
                                                   int32_t request_size, row_callback callback,
                                                   void* context);
KIV_SVCQUERY_API int32_t save_game_route_info(const char* host, const char* url, uint32_t port,
                                              const char* protocol, const char* request_data,
                                              int32_t request_size, int32_t* err_value);

#ifdef __cplusplus
}
#endif

#endif /* KIV_SVCQUERY_H */
