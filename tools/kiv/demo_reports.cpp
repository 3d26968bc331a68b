// `kiv demo`'s report steps: every report sent, each checked against the
// one datagram it gives at the stand-in's log server.
#include <chrono>
#include <stdexcept>

#include "demo.h"
#include "report.h"

namespace kiv::tool::demo {

// Sends a report and checks the one datagram it gives.
void Demo::report(const std::string& title, const char* name, const std::vector<std::string>& args,
                  const std::string& expected_utf8, bool exact) {
  const ReportInfo* info = find_report(name);
  try {
    const auto values = parse_report_args(*info, args, &client_text);
    LibraryOutput divert;
    info->send(values);
  } catch (const std::runtime_error& e) {
    step(false, title, e.what());
    return;
  }
  const auto datagrams = service_.wait_for_datagrams(1, kDatagramWait);
  if (datagrams.empty()) {
    step(false, title, std::string(name) + ": no datagram arrived");
    return;
  }
  const standin::Datagram& d = datagrams[0];
  const std::string expected = client_text(expected_utf8, "record");
  bool ok = d.record.has_value();
  if (ok && exact) {
    ok = *d.record == expected;
  } else if (ok) {  // `expected` is the record's head; a non-empty text and "}} follow
    ok = d.record->starts_with(expected) && d.record->ends_with("\"}}") &&
         d.record->size() > expected.size() + 3;
  }
  step(ok, title,
       std::string(name) + " -> " + d.line() +
           (ok ? "" : "; expected " + expected_utf8 + (exact ? "" : "...\"}}")));
}

void Demo::reports() {
  const std::string v = kVersion, u = kUser;
  report("the login window opens", "open_login_report", {v},
         "{\"act\":\"OpenLoginService\",\"param\":{\"kiv_version\":\"" + v + "\"}}");
  report("the login succeeds", "login_state_report", {v, u, "1"},
         "{\"act\":\"LoginService\",\"param\":{\"kiv_version\":\"" + v + "\",\"user_name\":\"" + u +
             "\",\"login_state\":1}}");
  report("the link comes up", "link_report", {"1", "2", "198.51.100.21", "上海电信一区", u, "2"},
         "{\"act\":\"LinkService\",\"param\":{\"link_mode\":1,\"link_state\":2,"
         "\"link_service_ip\":\"198.51.100.21\",\"userType_Id\":2,"
         "\"link_service_name\":\"上海电信一区\",\"link_account\":\"" +
             u + "\"}}");
  report("the client records an operation", "client_operate_report",
         {"{\"op\":\"open_settings\",\"page\":\"route\"}"},
         "{\"act\":\"ClientOperate\",\"param\":{\"op\":\"open_settings\",\"page\":\"route\"}}");
  report(
      "the user disconnects", "kiv_disconnect_report", {v, u, "198.51.100.21", "上海电信一区", "1"},
      "{\"act\":\"DisconnServer\",\"param\":{\"kiv_version\":\"" + v + "\",\"user_name\":\"" + u +
          "\",\"dial_module\":1,\"server_ip\":\"198.51.100.21\","
          "\"server_name\":\"上海电信一区\"}}");
  report("the line drops", "break_report", {v, u, "198.51.100.21", "1", "3"},
         "{\"act\":\"OutLineState\",\"param\":{\"kiv_version\":\"" + v + "\",\"user_name\":\"" + u +
             "\", \"server_ip\":\"198.51.100.21\",\"dial_mode\":1,\"disconnect_type\":3}}");
  report("a failure with its own text", "bug_report",
         {"3", "304", "2", "OpenFile", "服务列表文件丢失"},
         "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":304,\"error_number\":2,"
         "\"error_func_name\":\"OpenFile\",\"error_specify\":\"服务列表文件丢失\"}}");
  report("a failure with the system's text", "bug_report", {"3", "304", "2", "OpenFile"},
         "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":304,\"error_number\":2,"
         "\"error_func_name\":\"OpenFile\",\"error_specify\":\"",
         false);
  const auto stray = service_.wait_for_datagrams(1, std::chrono::milliseconds(200));
  step(stray.empty(), "no other datagram arrives",
       stray.empty() ? "the log server saw exactly the reports above" : stray[0].line());
}

}  // namespace kiv::tool::demo
