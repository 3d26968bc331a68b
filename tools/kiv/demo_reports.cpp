// `kiv demo`'s report steps: every report sent, each checked against the
// one datagram it gives at the stand-in's log server.
#include <chrono>
#include <stdexcept>

#include "demo.h"
#include "kiv_reports.h"
#include "report.h"

namespace kiv::tool::demo {
namespace {

// The record (UTF-8) that `values` of the report's arguments make: the
// export table's act and members in the row's order, texts quoted. When an
// optional text is left out, only the record's head up to that text's
// opening quote.
std::string expected_record(const ReportInfo& info, const std::vector<std::string>& values) {
  const ReportRecord& row = *report_record(info.name);
  std::string record = "{\"act\":\"" + std::string(row.act) + "\",\"param\":";
  if (row.members.empty()) return record + values.at(0) + "}";
  record += "{";
  for (size_t m = 0; m < row.members.size(); ++m) {
    // The going-offline record has a space before its third member.
    if (m > 0) record += row.name == "break_report" && m == 2 ? ", " : ",";
    size_t i = 0;
    while (info.args.at(i).name != row.members[m]) ++i;
    record += "\"" + std::string(row.members[m]) + "\":";
    if (i >= values.size()) return record + "\"";
    record += info.args[i].kind == ArgKind::kNumber ? values[i] : "\"" + values[i] + "\"";
  }
  return record + "}}";
}

}  // namespace

// Sends a report and checks the one datagram it gives.
void Demo::report(const std::string& title, const char* name,
                  const std::vector<std::string>& args) {
  const ReportInfo* info = find_report(name);
  const std::string expected_utf8 = expected_record(*info, args);
  const bool exact = args.size() == info->args.size();
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
  report("the login window opens", "open_login_report", {v});
  report("the login succeeds", "login_state_report", {v, u, "1"});
  report("the link comes up", "link_report", {"1", "2", "198.51.100.21", "上海电信一区", u, "2"});
  report("the client records an operation", "client_operate_report",
         {"{\"op\":\"open_settings\",\"page\":\"route\"}"});
  report("the user disconnects", "kiv_disconnect_report",
         {v, u, "198.51.100.21", "上海电信一区", "1"});
  report("the line drops", "break_report", {v, u, "198.51.100.21", "1", "3"});
  report("a failure with its own text", "bug_report",
         {"3", "304", "2", "OpenFile", "服务列表文件丢失"});
  report("a failure with the system's text", "bug_report", {"3", "304", "2", "OpenFile"});
  const auto stray = service_.wait_for_datagrams(1, std::chrono::milliseconds(200));
  step(stray.empty(), "no other datagram arrives",
       stray.empty() ? "the log server saw exactly the reports above" : stray[0].line());
}

}  // namespace kiv::tool::demo
