// Failure reports through the bound bug_report hook, by kind of failure.
// Each does nothing while the hook is unbound; the site logs its own line first.
#pragma once

#include <cstdint>

namespace kiv::svcquery::report {

// A system call or the allocator failed: reported with the thread's last
// error, and only when that error is not 0.
void system_call_failed(int32_t func_id, const char* call_name) noexcept;

// The transport's write callback could not grow its buffer: reported with
// the last error even when it is 0.
void realloc_failed(int32_t func_id) noexcept;

// compress or uncompress failed with `zlib_code`.
void zlib_failed(int32_t func_id, const char* call_name, int zlib_code) noexcept;

// A required argument was missing; `reporter_name` names the reporting function.
void missing_argument(int32_t func_id, const char* reporter_name) noexcept;

}  // namespace kiv::svcquery::report
