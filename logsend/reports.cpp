// The seven report exports: each checks its arguments, formats its record
// and hands it to the channel. The caller learns nothing; problems go to the
// message logger.
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "channel.h"
#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "platform.h"
#include "record.h"
#include "report_guard.h"

namespace {

using kiv::logsend::Channel;
using kiv::logsend::number;
using kiv::logsend::raw;
using kiv::logsend::Record;
using kiv::logsend::text;
using kiv::logsend::Value;

constexpr char kBreakFormat[] =
    "{\"act\":\"OutLineState\",\"param\":{\"kiv_version\":\"%s\",\"user_name\":\"%s\", "
    "\"server_ip\":\"%s\",\"dial_mode\":%d,\"disconnect_type\":%d}}";
constexpr char kBugHeadFormat[] =
    "{\"act\":\"BugService\",\"param\":{\"module_id\":%d,\"func_id\":%d,\"error_number\":%d,"
    "\"error_func_name\":\"%s\",\"error_specify\":";
constexpr char kBugFormat[] = "%s\"%s\"}}";
constexpr char kLoginStateFormat[] =
    "{\"act\":\"LoginService\",\"param\":{\"kiv_version\":\"%s\",\"user_name\":\"%s\","
    "\"login_state\":%d}}";
constexpr char kDisconnectFormat[] =
    "{\"act\":\"DisconnServer\",\"param\":{\"kiv_version\":\"%s\",\"user_name\":\"%s\","
    "\"dial_module\":%d,\"server_ip\":\"%s\",\"server_name\":\"%s\"}}";
constexpr char kOpenLoginFormat[] =
    "{\"act\":\"OpenLoginService\",\"param\":{\"kiv_version\":\"%s\"}}";
constexpr char kLinkFormat[] =
    "{\"act\":\"LinkService\",\"param\":{\"link_mode\":%d,\"link_state\":%d,"
    "\"link_service_ip\":\"%s\",\"userType_Id\":%d,\"link_service_name\":\"%s\","
    "\"link_account\":\"%s\"}}";
constexpr char kClientOperateFormat[] = "{\"act\":\"ClientOperate\",\"param\":%s}";

// Each format names the act of its report's row in the export table and its
// members, in that order: the build fails when the two disagree.
constexpr bool names_in_order(std::string_view format, std::string_view act,
                              std::initializer_list<std::string_view> members) {
  constexpr std::string_view kHead = "{\"act\":\"";
  if (!format.starts_with(kHead) || !format.substr(kHead.size()).starts_with(act) ||
      format.substr(kHead.size() + act.size(), 1) != "\"") {
    return false;
  }
  size_t at = 0;
  for (const std::string_view member : members) {
    for (at = format.find(member, at); at != std::string_view::npos;
         at = format.find(member, at + 1)) {
      if (format[at - 1] == '"' && format.substr(at + member.size(), 2) == "\":") break;
    }
    if (at == std::string_view::npos) return false;
  }
  return true;
}
constexpr std::string_view format_of(std::string_view report) {
  return report == "break_report"            ? kBreakFormat
         : report == "bug_report"            ? kBugHeadFormat
         : report == "client_operate_report" ? kClientOperateFormat
         : report == "kiv_disconnect_report" ? kDisconnectFormat
         : report == "link_report"           ? kLinkFormat
         : report == "login_state_report"    ? kLoginStateFormat
         : report == "open_login_report"     ? kOpenLoginFormat
                                             : "";
}
#define KIV_REPORT(name, act, ...)                                    \
  static_assert(names_in_order(format_of(#name), act, {__VA_ARGS__}), \
                #name ": its record differs from the export table's row");
#include "kiv_reports.inc"

constexpr char kAllocFailed[] = "Error: Failed to alloc the memory!\n";
constexpr char kNoServices[] = "Error: Failed to get services information\n";

enum class Trace { kNone, kSendData };
// Where a failed settings step is reported.
enum class SettingsFailure { kLogger, kStandardOutput };

void param_error() {
  kiv_show_message("Error: Param\n");
}

void deliver(const Record& record, SettingsFailure where) {
  const Channel::Outcome outcome =
      kiv::logsend::module_channel().report(record.text.get(), record.length);
  if (outcome != Channel::Outcome::kNoServer) return;
  if (where == SettingsFailure::kStandardOutput) {
    std::fputs(kNoServices, stdout);
    std::fflush(stdout);
  } else {
    kiv_show_message(kNoServices);
  }
}

// The course of every report but the failure report.
template <size_t N>
void send_single(const char* format, const Value (&values)[N], Trace trace,
                 SettingsFailure where = SettingsFailure::kLogger) {
  const Record record = kiv::logsend::format_record(format, values, kiv::logsend::kRecordBuffer);
  if (!record) {
    kiv_show_message(kAllocFailed);
    return;
  }
  if (trace == Trace::kSendData) {
    std::printf("send_data = %s\n", record.text.get());
    std::fflush(stdout);
  }
  deliver(record, where);
}

// The system's text for `error`; false (and logged) when there is none.
bool system_text(int32_t error, std::string& out) {
  bool found = false;
  try {
    found = kiv::platform::system_error_text(error, &out);
  } catch (...) {
    kiv_show_message(kAllocFailed);
    return false;
  }
  if (!found) kiv_show_message("Error: Failed to get the format information\n");
  return found;
}

// The exports' steps, each run inside the boundary below.
void break_report_steps(const char* kiv_version, const char* user_name, const char* server_ip,
                        int32_t dial_mode, int32_t disconnect_type) {
  if (kiv_version == nullptr || user_name == nullptr || server_ip == nullptr) return param_error();
  const Value values[] = {text(kiv_version), text(user_name), text(server_ip), number(dial_mode),
                          number(disconnect_type)};
  send_single(kBreakFormat, values, Trace::kNone);
}

void bug_report_steps(int32_t module_id, int32_t func_id, int32_t error_number,
                      const char* error_func_name, const char* error_specify) {
  if (error_func_name == nullptr) {
    kiv_show_message("Error: Params are wrong!\n");
    return;
  }
  const Value head_values[] = {number(module_id), number(func_id), number(error_number),
                               text(error_func_name)};
  const Record head =
      kiv::logsend::format_record(kBugHeadFormat, head_values, kiv::logsend::kRecordBuffer);
  if (!head) {
    kiv_show_message(kAllocFailed);
    return;
  }
  std::string system_error;
  std::string_view specify;
  if (error_specify != nullptr) {
    specify = error_specify;
  } else {
    if (!system_text(error_number, system_error)) return;
    specify = kiv::logsend::first_line(system_error);
  }
  // Sized to fit: the free text has no limit of its own.
  const Value values[] = {raw({head.text.get(), head.length}), text(specify)};
  const Record record = kiv::logsend::format_record(kBugFormat, values, 0);
  if (!record) {
    kiv_show_message(kAllocFailed);
    return;
  }
  deliver(record, SettingsFailure::kLogger);
}

void client_operate_report_steps(const char* param) {
  if (param == nullptr) return param_error();
  // The caller's JSON goes in unquoted and unchecked.
  const Value values[] = {raw(param)};
  send_single(kClientOperateFormat, values, Trace::kSendData);
}

void kiv_disconnect_report_steps(const char* kiv_version, const char* user_name,
                                 const char* server_ip, const char* server_name,
                                 int32_t dial_module) {
  if (kiv_version == nullptr || user_name == nullptr || server_ip == nullptr ||
      server_name == nullptr) {
    return param_error();
  }
  const Value values[] = {text(kiv_version), text(user_name), number(dial_module), text(server_ip),
                          text(server_name)};
  send_single(kDisconnectFormat, values, Trace::kSendData);
}

void link_report_steps(int32_t link_mode, int32_t link_state, const char* link_service_ip,
                       const char* link_service_name, const char* link_account,
                       int32_t userType_Id) {
  if (link_service_ip == nullptr || link_service_name == nullptr || link_account == nullptr) {
    return param_error();
  }
  const Value values[] = {number(link_mode),   number(link_state),      text(link_service_ip),
                          number(userType_Id), text(link_service_name), text(link_account)};
  send_single(kLinkFormat, values, Trace::kNone);
}

void login_state_report_steps(const char* kiv_version, const char* user_name, int32_t login_state) {
  if (kiv_version == nullptr || user_name == nullptr) return param_error();
  const Value values[] = {text(kiv_version), text(user_name), number(login_state)};
  send_single(kLoginStateFormat, values, Trace::kSendData);
}

void open_login_report_steps(const char* kiv_version) {
  if (kiv_version == nullptr) return param_error();
  const Value values[] = {text(kiv_version)};
  send_single(kOpenLoginFormat, values, Trace::kNone, SettingsFailure::kStandardOutput);
}

}  // namespace

extern "C" {

KIV_LOGSEND_API void break_report(const char* kiv_version, const char* user_name,
                                  const char* server_ip, int32_t dial_mode,
                                  int32_t disconnect_type) {
  kiv::logsend::guarded("break_report", [&] {
    break_report_steps(kiv_version, user_name, server_ip, dial_mode, disconnect_type);
  });
}

KIV_LOGSEND_API void bug_report(int32_t module_id, int32_t func_id, int32_t error_number,
                                const char* error_func_name, const char* error_specify) {
  kiv::logsend::guarded("bug_report", [&] {
    bug_report_steps(module_id, func_id, error_number, error_func_name, error_specify);
  });
}

KIV_LOGSEND_API void client_operate_report(const char* param) {
  kiv::logsend::guarded("client_operate_report", [&] { client_operate_report_steps(param); });
}

KIV_LOGSEND_API void kiv_disconnect_report(const char* kiv_version, const char* user_name,
                                           const char* server_ip, const char* server_name,
                                           int32_t dial_module) {
  kiv::logsend::guarded("kiv_disconnect_report", [&] {
    kiv_disconnect_report_steps(kiv_version, user_name, server_ip, server_name, dial_module);
  });
}

KIV_LOGSEND_API void link_report(int32_t link_mode, int32_t link_state, const char* link_service_ip,
                                 const char* link_service_name, const char* link_account,
                                 int32_t userType_Id) {
  kiv::logsend::guarded("link_report", [&] {
    link_report_steps(link_mode, link_state, link_service_ip, link_service_name, link_account,
                      userType_Id);
  });
}

KIV_LOGSEND_API void login_state_report(const char* kiv_version, const char* user_name,
                                        int32_t login_state) {
  kiv::logsend::guarded("login_state_report",
                        [&] { login_state_report_steps(kiv_version, user_name, login_state); });
}

KIV_LOGSEND_API void open_login_report(const char* kiv_version) {
  kiv::logsend::guarded("open_login_report", [&] { open_login_report_steps(kiv_version); });
}

}  // extern "C"
