// Account and connection queries: each is its table of values plus the lines
// that copy the answer into the caller's storage.
#include "json_access.h"
#include "kiv_svcquery.h"
#include "query_messages.h"
#include "query_procedure.h"
#include "report_numbers.h"

namespace kiv::svcquery {
namespace {

using json::int_member;
using query::Arg;
using query::TextCopier;

constexpr query::Table kVerification{
    .name = "get_verification_from_service",
    .func_id = func_id::get_verification_from_service,
    .report_name = "get_verification_from_service",
    .answer_size = 1024,
    .parse_failure = not_json::get_verification_from_service,
    .lines = {
        .param = {"ERROR: PARAM, in get_verification_from_service()"},
        .alloc = {"ERROR: Failed to alloc memory, in get_verification_from_service()"},
        .transport = {"Error:  Failed to call http_access_protocol(), in "
                      "get_verification_from_service()"},
        .parse = {"ERROR : Failed to call json_tokener_parser, in "
                  "get_verification_from_service()"},
        .refusal = {msg::kUserVerifyFailed},
    }};

constexpr query::Table kLocalIp{
    .name = "get_local_ip_from_service",
    .func_id = func_id::get_local_ip_from_service,
    .report_name = "get_local_ip_from_service",
    .answer_size = 128,
    .parse_failure = not_json::get_local_ip_from_service,
    .lines = {
        .param = {"ERROR: PARAM, in get_local_ip_from_service()"},
        .alloc = {"ERROR: Failed to alloc memory ,in get_local_ip_from_service()"},
        .transport = {"ERROR:  Failed call http_access_protocol1(),in get_local_ip_from_service()"},
        .parse = {"ERROR : Failed to call json_tokener_parser(), in get_local_ip_from_service()"},
        .refusal = {msg::kUserVerifyFailed},
    }};

constexpr query::Table kAdLink{
    .name = "get_kiv_adLink_from_service",
    .func_id = func_id::get_kiv_adLink_from_service,
    .report_name = "get_kiv_adLink_from_service",
    .answer_size = 1024,
    .parse_failure = not_json::get_kiv_adLink_from_service,
    .lines = {
        .param = {"ERROR: PARAM, in get_kiv_ad_click_from_service()"},
        .alloc = {"ERROR: Failed to alloc memory ,in get_kiv_ad_click_from_service()"},
        .transport = {"ERROR:  Failed go call http_access_protocol1(),in "
                      "get_kiv_ad_click_from_service()"},
        .parse = {"ERROR : Failed to call json_tokener_parser(), in "
                  "get_kiv_ad_click_from_service()"},
        .refusal = {msg::kAdLinkRefused},
    }};

constexpr query::Table kClientTitle{
    .name = "get_kiv_client_title_from_service",
    .func_id = func_id::get_kiv_client_title_from_service,
    .report_name = "get_kiv_client_title_from_service",
    .answer_size = 1024,
    .parse_failure = not_json::get_kiv_client_title_from_service,
    .lines = {
        .param = {"ERROR: PARAM, in get_kiv_client_title_from_service()"},
        .alloc = {"ERROR: Failed to alloc memory ,in get_kiv_client_title_from_service()"},
        .transport = {"ERROR:  Failed go call http_access_protocol1(),in "
                      "get_kiv_client_title_from_service()"},
        .parse = {"ERROR : Failed to call json_tokener_parser in "
                  "get_kiv_client_title_from_service()"},
        .refusal = {msg::kNoPopup, Arg::kErr},
    }};

constexpr query::Table kLoginVpn{.name = "get_loginvpn_from_service",
                                 .func_id = func_id::get_loginvpn_from_service,
                                 .report_name = "get_loginvpn_from_service",
                                 .answer_size = 1024,
                                 .parse_failure = not_json::get_loginvpn_from_service,
                                 .lines = {
                                     .param = {"ERROR: PARAM, in get_loginvpn_from_service()"},
                                     .alloc = {msg::kAllocFailedNamed, Arg::kName},
                                     .transport = {msg::kLoginVpnTransport, Arg::kPosition, 2057},
                                     .parse = {msg::kLoginVpnParse, Arg::kPosition, 2066},
                                     .refusal = {msg::kDialCheckFailed},
                                     .entry = {"Entry %s", Arg::kName},
                                     .exit = {"Exit %s", Arg::kName},
                                 }};

constexpr query::Table kCheckHangup{
    .name = "check_hangup_from_service",
    .func_id = func_id::check_hangup_from_service,
    .report_name = "check_hangup_from_service",
    .answer_size = 1024,
    .parse_failure = not_json::check_hangup_from_service,
    .lines = {
        .param = {"ERROR: PARAM, in check_hangup_from_service()"},
        .alloc = {"ERROR: Failed to alloc memory ,in check_hangup_from_service()"},
        .transport = {"ERROR:  Failed call http_access_protocol1(),in %s()", Arg::kName},
        .parse = {"ERROR : Failed to call json_tokener_parser, in check_hangup_from_service()"},
        .refusal = {msg::kDialCheckFailed},
    }};

constexpr query::Table kVpnInfo{
    .name = "get_vpn_info",
    .func_id = func_id::get_vpn_info,
    .report_name = "get_vpn_info",
    .answer_size = 128,
    .parse_failure = not_json::get_vpn_info,
    .lines =
        {
            .param = {"ERROR: PARAM, in %s()", Arg::kName},
            .alloc = {"ERROR: Failed to alloc memory ,in %s()", Arg::kName},
            .transport = {"Error:  Failed to call http_access_protocol(), in get_vpn_info()"},
            .parse = {"ERROR : Failed to call json_tokener_parser, in get_vpn_info()"},
        },
    .reads_err = false};

// The dial-up and hang-up checks differ only in the member of their message.
int32_t flag_and_message(const query::Table& table, const query::Head& head, const char* member,
                         int32_t* err_value, char* message) noexcept {
  return query::run(table, head, err_value != nullptr && message != nullptr,
                    [&](json_object* root, int32_t err) {
                      TextCopier copy(table, root);
                      copy(message, member);
                      return copy.commit(KIV_OK, [&] { *err_value = err; });
                    });
}

}  // namespace
}  // namespace kiv::svcquery

using namespace kiv::svcquery;

int32_t get_verification_from_service(const char* host, const char* url, uint32_t port,
                                      const char* protocol, const char* request_data,
                                      int32_t request_size, verification_info* info) {
  return query::run(kVerification, {host, url, port, protocol, request_data, request_size},
                    info != nullptr, [info](json_object* root, int32_t err) {
                      if (err == 0) {
                        info->err = err;
                        return KIV_OK;
                      }
                      TextCopier copy(kVerification, root);
                      copy(info->ut, "ut");
                      copy(info->msg, "msg");
                      copy(info->ed, "ed");
                      copy(info->endBind, "endBind");
                      return copy.commit(KIV_OK, [&] {
                        info->err = err;
                        info->haveTime = int_member(root, "haveTime");
                        info->expired = int_member(root, "expired");
                        info->usepay = int_member(root, "usepay");
                        info->bindUnvalide = int_member(root, "bindUnvalide");
                      });
                    });
}

int32_t get_local_ip_from_service(const char* host, const char* url, uint32_t port,
                                  const char* protocol, const char* request_data,
                                  int32_t request_size, char* ip) {
  return query::run(kLocalIp, {host, url, port, protocol, request_data, request_size},
                    ip != nullptr, [ip](json_object* root, int32_t err) {
                      if (err == 0) return KIV_OK;
                      TextCopier copy(kLocalIp, root);
                      copy(ip, "ip");
                      return copy.commit(KIV_OK);
                    });
}

int32_t get_kiv_adLink_from_service(const char* host, const char* url, uint32_t port,
                                    const char* protocol, const char* request_data,
                                    int32_t request_size, ad_link_info* link) {
  return query::run(kAdLink, {host, url, port, protocol, request_data, request_size},
                    link != nullptr, [link](json_object* root, int32_t err) {
                      if (err == 0) return KIV_OK;
                      TextCopier copy(kAdLink, root);
                      copy(link->key, "key");
                      copy(link->ref, "ref");
                      copy(link->url, "url");
                      copy(link->ref1, "ref1");
                      return copy.commit(err);  // the caller reads the service's own value
                    });
}

int32_t get_kiv_client_title_from_service(const char* host, const char* url, uint32_t port,
                                          const char* protocol, const char* request_data,
                                          int32_t request_size, client_title_info* title) {
  return query::run(kClientTitle, {host, url, port, protocol, request_data, request_size},
                    title != nullptr, [title](json_object* root, int32_t err) {
                      if (err == 0) return KIV_OK;
                      TextCopier copy(kClientTitle, root);
                      copy(title->title, "title");
                      copy(title->url, "url");
                      copy(title->msg, "msg");
                      // The caller reads the service's own value.
                      return copy.commit(err, [&] {
                        title->id = int_member(root, "id");
                        title->usertype = int_member(root, "usertype");
                        title->isopen = int_member(root, "isopen");
                        title->isbind = int_member(root, "isbind");
                      });
                    });
}

int32_t get_loginvpn_from_service(const char* host, const char* url, uint32_t port,
                                  const char* protocol, const char* request_data,
                                  int32_t request_size, int32_t* err_value, char* message) {
  return flag_and_message(kLoginVpn, {host, url, port, protocol, request_data, request_size}, "msg",
                          err_value, message);
}

int32_t check_hangup_from_service(const char* host, const char* url, uint32_t port,
                                  const char* protocol, const char* request_data,
                                  int32_t request_size, int32_t* err_value, char* message) {
  return flag_and_message(kCheckHangup, {host, url, port, protocol, request_data, request_size},
                          "usermsg", err_value, message);
}

int32_t get_vpn_info(const char* host, const char* url, uint32_t port, const char* protocol,
                     const char* request_data, int32_t request_size, vpn_connection_info* vpn) {
  // Cleared once the service has answered, so that an unreadable answer
  // leaves no stale connection data behind.
  const auto clear = [vpn] { *vpn = vpn_connection_info{}; };
  // Addresses longer than their fields are cut to fit; an absent one keeps
  // the cleared field.
  const auto fill = [vpn](json_object* root, int32_t) {
    query::TextCopier copy(kVpnInfo, root);
    copy(vpn->VPNIP, "VPNIP", sizeof vpn->VPNIP);
    copy(vpn->LocalOutIP, "LocalOutIP", sizeof vpn->LocalOutIP);
    return copy.commit(KIV_OK, [&] {
      if (json::member(root, "VPNPort") != nullptr) vpn->VPNPort = int_member(root, "VPNPort");
    });
  };
  return query::run(kVpnInfo, {host, url, port, protocol, request_data, request_size},
                    vpn != nullptr, fill, clear);
}
