// The report exports as the tool sends them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::tool {

enum class ArgKind { kText, kNumber, kOptionalText };

struct ReportArg {
  std::string_view name;  // the record's member it fills
  ArgKind kind;
};

struct ArgValue {
  std::optional<std::string> text;  // client code page; nullopt: a null pointer
  int32_t number = 0;
};

struct ReportInfo {
  std::string_view name;  // the export's name
  std::string_view act;   // the record's "act"
  std::vector<ReportArg> args;
  void (*send)(const std::vector<ArgValue>&);
};

const std::vector<ReportInfo>& reports();
// By export name, or by that name without "_report".
const ReportInfo* find_report(std::string_view name);
// How a text argument becomes client text: argument_text for the command
// line's, client_text for UTF-8.
using ClientTextOf = std::string (*)(std::string_view text, std::string_view what);
// Checks and converts the arguments; UsageError when they don't fit.
std::vector<ArgValue> parse_report_args(const ReportInfo& report,
                                        const std::vector<std::string>& args,
                                        ClientTextOf client_text_of);
// "KIND ARG1 ARG2 [ARG3]" for messages.
std::string report_usage(const ReportInfo& report);

// For its lifetime, the current folder is a new temporary folder whose
// ./loginurl.ini names the given log server (the report library reads the
// settings from the current folder). The folder and all in it go at the end.
class LogServerSettings {
 public:
  LogServerSettings(const std::string& host, uint16_t port);
  ~LogServerSettings();
  LogServerSettings(const LogServerSettings&) = delete;
  LogServerSettings& operator=(const LogServerSettings&) = delete;
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  std::filesystem::path previous_;
};

// "HOST:PORT" of the option `what`; UsageError when it is not one.
std::pair<std::string, uint16_t> parse_host_port(std::string_view text,
                                                 std::string_view what = "--log-server");

}  // namespace kiv::tool
