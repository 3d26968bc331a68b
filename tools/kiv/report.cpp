#include "report.h"

#include <kiv_logsend.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <stdexcept>

#include "commands.h"
#include "common.h"
#include "kiv_reports.h"

namespace kiv::tool {
namespace {

const char* text_of(const ArgValue& value) {
  return value.text ? value.text->c_str() : nullptr;
}

void send_break(const std::vector<ArgValue>& v) {
  KIV_LOGSEND_EXPORT(break_report)
  (text_of(v[0]), text_of(v[1]), text_of(v[2]), v[3].number, v[4].number);
}
void send_bug(const std::vector<ArgValue>& v) {
  KIV_LOGSEND_EXPORT(bug_report)
  (v[0].number, v[1].number, v[2].number, text_of(v[3]), text_of(v[4]));
}
void send_client_operate(const std::vector<ArgValue>& v) {
  KIV_LOGSEND_EXPORT(client_operate_report)(text_of(v[0]));
}
void send_disconnect(const std::vector<ArgValue>& v) {
  KIV_LOGSEND_EXPORT(kiv_disconnect_report)
  (text_of(v[0]), text_of(v[1]), text_of(v[2]), text_of(v[3]), v[4].number);
}
void send_link(const std::vector<ArgValue>& v) {
  KIV_LOGSEND_EXPORT(link_report)
  (v[0].number, v[1].number, text_of(v[2]), text_of(v[3]), text_of(v[4]), v[5].number);
}
void send_login_state(const std::vector<ArgValue>& v) {
  KIV_LOGSEND_EXPORT(login_state_report)(text_of(v[0]), text_of(v[1]), v[2].number);
}
void send_open_login(const std::vector<ArgValue>& v) {
  KIV_LOGSEND_EXPORT(open_login_report)(text_of(v[0]));
}

// An export's parameter: the member of its record's row in the export table
// that it fills (by its place in the row), and its kind.
struct Param {
  size_t member;
  ArgKind kind;
};

// The export's parameters in its own order, named by the export table; a row
// without members takes the caller's JSON as its one parameter, "param".
ReportInfo report_info(std::string_view name, std::initializer_list<Param> params,
                       void (*send)(const std::vector<ArgValue>&)) {
  const ReportRecord* row = report_record(name);
  if (row == nullptr) throw std::logic_error(std::string(name) + " is no report of the table");
  ReportInfo info{row->name, row->act, {}, send};
  // Each member filled once.
  bool fits = params.size() == row->members.size();
  std::vector<bool> used(row->members.size());
  for (const Param& p : params) {
    fits = fits && p.member < used.size() && !used[p.member];
    if (!fits) break;
    used[p.member] = true;
    info.args.push_back({row->members[p.member], p.kind});
  }
  if (!fits) throw std::logic_error(std::string(name) + ": its parameters differ from its row");
  if (row->members.empty()) info.args.push_back({"param", ArgKind::kText});
  return info;
}

bool host_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

}  // namespace

const std::vector<ReportInfo>& reports() {
  using enum ArgKind;
  static const std::vector<ReportInfo> table = {
      report_info("break_report", {{0, kText}, {1, kText}, {2, kText}, {3, kNumber}, {4, kNumber}},
                  &send_break),
      report_info("bug_report",
                  {{0, kNumber}, {1, kNumber}, {2, kNumber}, {3, kText}, {4, kOptionalText}},
                  &send_bug),
      report_info("client_operate_report", {}, &send_client_operate),
      // The export takes dial_module last.
      report_info("kiv_disconnect_report",
                  {{0, kText}, {1, kText}, {3, kText}, {4, kText}, {2, kNumber}}, &send_disconnect),
      // The export takes userType_Id last.
      report_info("link_report",
                  {{0, kNumber}, {1, kNumber}, {2, kText}, {4, kText}, {5, kText}, {3, kNumber}},
                  &send_link),
      report_info("login_state_report", {{0, kText}, {1, kText}, {2, kNumber}}, &send_login_state),
      report_info("open_login_report", {{0, kText}}, &send_open_login),
  };
  return table;
}

const ReportInfo* find_report(std::string_view name) {
  for (const auto& report : reports()) {
    const std::string_view full = report.name;
    if (name == full || name == full.substr(0, full.size() - std::strlen("_report")))
      return &report;
  }
  return nullptr;
}

std::string report_usage(const ReportInfo& report) {
  std::string usage(report.name);
  for (const auto& arg : report.args) {
    const std::string name(arg.name);
    usage += arg.kind == ArgKind::kOptionalText ? " [" + name + "]" : " " + name;
  }
  return usage;
}

std::vector<ArgValue> parse_report_args(const ReportInfo& report,
                                        const std::vector<std::string>& args,
                                        ClientTextOf client_text_of) {
  size_t required = 0;
  for (const auto& arg : report.args) required += arg.kind == ArgKind::kOptionalText ? 0 : 1;
  if (args.size() < required || args.size() > report.args.size()) {
    throw UsageError(
        std::string(report.name) + " takes " +
        (required == report.args.size()
             ? std::to_string(required)
             : std::to_string(required) + " or " + std::to_string(report.args.size())) +
        " arguments, not " + std::to_string(args.size()) + ": kiv report " + report_usage(report));
  }
  std::vector<ArgValue> values(report.args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    if (report.args[i].kind == ArgKind::kNumber) {
      values[i].number = parse_int32(args[i], report.args[i].name);
    } else {
      values[i].text = client_text_of(args[i], report.args[i].name);
    }
  }
  return values;
}

std::pair<std::string, uint16_t> parse_host_port(std::string_view text, std::string_view what) {
  const std::string name(what);
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    throw UsageError(name + " must be HOST:PORT, not \"" + std::string(text) + "\"");
  }
  const std::string host(text.substr(0, colon));
  // The library keeps at most 63 characters of the name.
  if (host.size() > 63) throw UsageError(name + " host is longer than 63 characters");
  for (const char c : host) {
    if (!host_character(c)) throw UsageError(name + " host \"" + host + "\" is not a host name");
  }
  return {host, parse_port(text.substr(colon + 1), name + " port")};
}

namespace {

// A new folder of the user's own in the temporary folder.
std::filesystem::path make_temporary_folder() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) throw ToolFailure("cannot find the temporary folder: " + ec.message());
  std::random_device random;
  std::uniform_int_distribution<int> digit(0, 35);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = "kiv-";
    for (int i = 0; i < 6; ++i) name += "0123456789abcdefghijklmnopqrstuvwxyz"[digit(random)];
    const fs::path folder = base / name;
    // An existing folder of that name is someone else's: only a new one is taken.
    if (fs::create_directory(folder, ec)) {
      fs::permissions(folder, fs::perms::owner_all, ec);
      return folder;
    }
    if (ec && ec != std::errc::file_exists) break;
  }
  throw ToolFailure("cannot make a temporary folder: " +
                    (ec ? ec.message() : std::string("every name tried is taken")));
}

}  // namespace

LogServerSettings::LogServerSettings(const std::string& host, uint16_t port) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path folder = make_temporary_folder();
  folder_ = folder.string();
  {
    std::ofstream ini(folder / "loginurl.ini", std::ios::binary);
    ini << "[LOG_SERVERS]\r\nlog_servers_dns=" << host << "\r\nlog_servers_port=" << port << "\r\n";
    if (!ini) {
      fs::remove_all(folder, ec);
      throw ToolFailure("cannot write " + (folder / "loginurl.ini").string());
    }
  }
  previous_ = fs::current_path(ec);
  if (!ec) fs::current_path(folder, ec);
  if (ec) {
    fs::remove_all(folder, ec);
    throw ToolFailure("cannot enter the temporary folder " + folder_ + ": " + ec.message());
  }
}

LogServerSettings::~LogServerSettings() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::current_path(previous_, ec);
  if (ec) {
    // The folder we came from is gone; stay somewhere that exists.
    fs::current_path("/", ec);
  }
  fs::remove_all(folder_, ec);
}

Command add_report_command(CLI::App& app) {
  struct Arguments {
    std::string kind;
    std::vector<std::string> values;
    std::string log_server;
  };
  auto args = std::make_shared<Arguments>();
  std::string kinds;
  for (const auto& report : reports()) kinds += "\n  kiv report " + report_usage(report);
  CLI::App* sub = app.add_subcommand("report", "Send one report to the log server");
  sub->add_option("KIND", args->kind, "The report export (its name, with or without _report)")
      ->required();
  sub->add_option("ARGS", args->values, "The report's arguments, in the export's order");
  sub->add_option("--log-server", args->log_server,
                  "HOST:PORT of the log server, instead of ./loginurl.ini");
  sub->footer("Reports:" + kinds +
              "\nNumbers are decimal; put \"--\" before arguments that begin with \"-\"."
              "\nExit status: 0 when the library raised no problem, 1 when it logged one, 2 for "
              "bad input.");

  Command command;
  command.app = sub;
  command.run = [args]() {
    const ReportInfo* report = find_report(args->kind);
    if (report == nullptr) {
      std::string all;
      for (const auto& r : reports()) {
        if (!all.empty()) all += ", ";
        all += r.name;
      }
      throw UsageError("unknown report \"" + args->kind + "\"; the reports are: " + all);
    }
    const std::vector<ArgValue> values = parse_report_args(*report, args->values, &argument_text);
    std::optional<std::pair<std::string, uint16_t>> server;
    if (!args->log_server.empty()) server = parse_host_port(args->log_server);

    logsend_library();  // a library that cannot be loaded is reported before anything is sent
    const int messages_before = library_message_count();
    {
      std::optional<LogServerSettings> settings;
      if (server) settings.emplace(server->first, server->second);
      LibraryOutput divert;
      report->send(values);
    }
    const int messages = library_message_count() - messages_before;
    std::printf("%.*s: handed to the report library (log server %s)\n",
                static_cast<int>(report->name.size()), report->name.data(),
                server ? (server->first + ":" + std::to_string(server->second)).c_str()
                       : "from ./loginurl.ini");
    if (messages > 0) {
      std::fprintf(stderr, "kiv: the report library logged %d message%s%s\n", messages,
                   messages == 1 ? "" : "s",
                   global_options().verbose ? " (above)" : "; run with -v to see them");
      return kExitFailed;
    }
    return kExitOk;
  };
  return command;
}

}  // namespace kiv::tool
