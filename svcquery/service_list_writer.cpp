// The writer of the cached service list: http_access_protocol2 saves the
// answer here, still compressed, for the readers in service_list.cpp.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "failure_report.h"
#include "heap.h"
#include "kiv_clientlog.h"
#include "kiv_svcquery.h"
#include "platform.h"
#include "report_numbers.h"
#include "service_list.h"

namespace kiv::svcquery {
namespace {

// Ends a failed save: the new file is closed and removed, the step's line
// logged and its failure reported with the error of the call that failed.
int32_t save_failed(platform::File& file, const char* temp_name, const char* message,
                    const char* call, int32_t code) noexcept {
  const int error = platform::last_error();
  file.reset();
  if (temp_name != nullptr) platform::delete_file(temp_name);
  kiv_show_message("%s", message);
  platform::set_last_error(error);
  report::system_call_failed(func_id::kHttpAccessProtocol2, call);
  return code;
}

constexpr char kCreateFailedLine[] =
    "Error: Failed to call CreateFileA(), in save_services_list_to_file()";

}  // namespace

int32_t save_services_list_to_file(const char* file_name, const void* data,
                                   std::size_t size) noexcept {
  if (file_name == nullptr || data == nullptr || size == 0) {
    kiv_show_message("Error: PARAM, in save_services_list_to_file()");
    report::missing_argument(func_id::kHttpAccessProtocol2, "save_services_list_to_file");
    return KIV_E_MISSING_ARGUMENT;
  }

  // The new list goes to a file of its own in the same folder, named by this
  // thread and a count, so that concurrent saves never share one; only when
  // it is whole on disk does it take the old file's place.
  static std::atomic<uint32_t> saves{0};
  const std::size_t name_size = std::strlen(file_name) + 40;
  HeapPtr<char> temp_name = heap_allocate(name_size);
  if (!temp_name) {
    kiv_show_message("Error: Failed to call malloc, in save_services_list_to_file()");
    return KIV_E_NO_MEMORY;
  }
  platform::File file;
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::snprintf(temp_name.get(), name_size, "%s.%llx-%x.tmp", file_name,
                  static_cast<unsigned long long>(platform::current_thread_id()),
                  static_cast<unsigned>(saves.fetch_add(1)));
    file = platform::File(platform::create_new(temp_name.get()));
    if (file) break;
    // A name left by an earlier process is passed over; any other failure
    // is the folder's.
    const int error = platform::last_error();
    const bool taken = platform::path_exists(temp_name.get());
    platform::set_last_error(error);
    if (!taken) break;
  }
  if (!file) {
    return save_failed(file, nullptr, kCreateFailedLine, "CreateFileA", KIV_E_FILE_CREATE);
  }
  std::size_t written = 0;
  platform::set_last_error(0);  // a write that stops short may leave none
  if (!platform::write_file(file.get(), data, size, &written) || written != size) {
    return save_failed(file, temp_name.get(),
                       "Error: Failed to call WriteFile, in save_services_list_to_file()",
                       "WriteFile", KIV_E_FILE_WRITE);
  }
  if (!platform::flush_file(file.get())) {
    return save_failed(file, temp_name.get(),
                       "Error: Failed to call FlushFileBuffers, in save_services_list_to_file()",
                       "FlushFileBuffers", KIV_E_FILE_WRITE);
  }
  file.reset();  // Windows renames no file that is open without shared deletion
  if (!platform::replace_file(temp_name.get(), file_name)) {
    return save_failed(file, temp_name.get(),
                       "Error: Failed to call MoveFileExA(), in save_services_list_to_file()",
                       "MoveFileExA", KIV_E_FILE_CREATE);
  }
  return KIV_OK;
}

}  // namespace kiv::svcquery
