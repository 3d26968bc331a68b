#include "report_recorder.h"

#include <sstream>
#include <stdexcept>

#include "platform.h"
#include "test_system.h"

namespace kiv::test {

std::vector<RecordedReport> ReportRecorder::take() {
  using TakeFn = size_t (*)(char*, size_t);
  bool loaded = false;
  auto take_fn = reinterpret_cast<TakeFn>(platform::loaded_library_symbol(
      platform::kReportLibraryFile, "kiv_test_take_reports", &loaded));
  if (!loaded) throw std::runtime_error("the report library is not loaded");
  if (take_fn == nullptr) {
    throw std::runtime_error(
        "not the recording report library: register the test with REPORT_RECORDER");
  }
  std::string text;
  for (;;) {
    text.resize(take_fn(nullptr, 0));
    if (take_fn(text.data(), text.size()) <= text.size()) break;
  }
  text.resize(text.find('\0'));
  return parse(text);
}

std::vector<RecordedReport> ReportRecorder::parse(const std::string& lines) {
  std::vector<RecordedReport> reports;
  std::istringstream in(lines);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
      const size_t bar = line.find('|', start);
      if (bar == std::string::npos) break;
      fields.push_back(line.substr(start, bar - start));
      start = bar + 1;
    }
    if (fields.size() != 4) continue;
    RecordedReport report;
    report.module_id = std::stoi(fields[0]);
    report.func_id = std::stoi(fields[1]);
    report.error_number = std::stoi(fields[2]);
    report.error_func_name = fields[3];
    const std::string specify = line.substr(start);
    if (specify != "(null)") report.error_specify = specify;
    reports.push_back(std::move(report));
  }
  return reports;
}

}  // namespace kiv::test
