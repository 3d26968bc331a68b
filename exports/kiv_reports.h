// The export table's report rows as data, for the code that reads them at
// run time: the tool, its demo, the stand-in's journal and the tests.
#pragma once

#include <string_view>
#include <vector>

namespace kiv {

struct ReportRecord {
  std::string_view name;  // the export's
  std::string_view act;   // the record's "act"
  // The members of its "param", in the record's order; none: "param" is the
  // JSON the caller gives.
  std::vector<std::string_view> members;
};

inline const std::vector<ReportRecord>& report_records() {
  static const std::vector<ReportRecord> rows = {
#define KIV_REPORT(name, act, ...) {#name, act, {__VA_ARGS__}},
#include "kiv_reports.inc"
  };
  return rows;
}

// The row of the export `name`; null when it is no report.
inline const ReportRecord* report_record(std::string_view name) {
  for (const ReportRecord& row : report_records()) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

}  // namespace kiv
