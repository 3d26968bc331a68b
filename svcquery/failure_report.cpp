#include "failure_report.h"

#include "binding.h"
#include "kiv_svcquery.h"
#include "platform.h"
#include "query_messages.h"
#include "report_numbers.h"

namespace kiv::svcquery::report {
namespace {

void send(int32_t func_id, int32_t error_number, const char* call_name, const char* text) noexcept {
  const kiv_bug_report_fn hook = bindings().report.bug_report;
  if (hook != nullptr) hook(kModuleId, func_id, error_number, call_name, text);
}

}  // namespace

void system_call_failed(int32_t func_id, const char* call_name) noexcept {
  const int error = platform::last_error();
  if (error != 0) send(func_id, error, call_name, nullptr);
}

void realloc_failed(int32_t func_id) noexcept {
  send(func_id, platform::last_error(), "realloc", nullptr);
}

void zlib_failed(int32_t func_id, const char* call_name, int zlib_code) noexcept {
  send(func_id, zlib_code + kZlibErrorOffset, call_name, nullptr);
}

void missing_argument(int32_t func_id, const char* reporter_name) noexcept {
  send(func_id, KIV_E_MISSING_ARGUMENT, reporter_name, msg::kParamErrorText);
}

}  // namespace kiv::svcquery::report
