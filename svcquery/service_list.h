// The cached service-list file: written whole by http_access_protocol2,
// read by get_data_from_file and get_servertype_from_file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::svcquery {

// Replaces `file_name` with the `size` bytes at `data`: they are written to
// a new file beside it, which then takes the old one's place in one step.
// A reader sees the old list or the new one, whole; after any failure the
// old file is as it was and the new one is gone.
// Returns 0, 1 (no memory for the new file's name), 5 (the new file could
// not be created or put in place), 10003 (`file_name` or `data` null, or
// `size` 0) or 210605 (writing it failed).
int32_t save_services_list_to_file(const char* file_name, const void* data,
                                   std::size_t size) noexcept;

}  // namespace kiv::svcquery
