// Stand-in for the report library: records every bug_report call instead of
// sending it. Tests fetch the records through kiv_test_take_reports; with
// KIV_TEST_REPORT_STDOUT set, each call is also printed to standard output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#if defined(_WIN32)
#define EXPORT extern "C" __declspec(dllexport)
#else
#define EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::mutex g_lock;
std::string g_records;  // one record per line: module|func|error|name|specify or (null)

}  // namespace

EXPORT void bug_report(int32_t module_id, int32_t func_id, int32_t error_number,
                       const char* error_func_name, const char* error_specify) {
  std::string line = std::to_string(module_id) + "|" + std::to_string(func_id) + "|" +
                     std::to_string(error_number) + "|" +
                     (error_func_name ? error_func_name : "(null)") + "|" +
                     (error_specify ? error_specify : "(null)") + "\n";
  if (std::getenv("KIV_TEST_REPORT_STDOUT") != nullptr) {
    std::fputs(("bug_report: " + line).c_str(), stdout);
    std::fflush(stdout);
  }
  std::lock_guard guard(g_lock);
  g_records += line;
}

// Copies and clears the records; returns the number of bytes they need.
EXPORT size_t kiv_test_take_reports(char* out, size_t size) {
  std::lock_guard guard(g_lock);
  const size_t needed = g_records.size() + 1;
  if (out != nullptr && size >= needed) {
    std::copy(g_records.begin(), g_records.end(), out);
    out[g_records.size()] = '\0';
    g_records.clear();
  }
  return needed;
}

EXPORT void link_report(int32_t, int32_t, const char*, const char*, const char*, int32_t) {}

#ifndef KIV_STUB_WITHOUT_LOGIN_STATE
EXPORT void login_state_report(const char*, const char*, int32_t) {}
#endif
