#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

struct RecordedReport {
  int32_t module_id = 0;
  int32_t func_id = 0;
  int32_t error_number = 0;
  std::string error_func_name;
  std::optional<std::string> error_specify;  // empty when the hook got null

  bool operator==(const RecordedReport&) const = default;
};

// The bug_report calls seen by the stand-in report library (tests registered
// with REPORT_RECORDER run with it in place of the real one).
class ReportRecorder {
 public:
  // Returns and forgets the calls recorded so far.
  static std::vector<RecordedReport> take();
  // Parses the recorder's line format "module|func|error|name|specify".
  static std::vector<RecordedReport> parse(const std::string& lines);
};

}  // namespace kiv::test
