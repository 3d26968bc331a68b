// The programs' file reader, on top of either system's calls.
#include <algorithm>

#include "program.h"

namespace kiv::platform {

bool read_whole_file(const std::string& path, size_t limit, bool follow_link, std::string* bytes,
                     std::string* why) {
  File file(open_regular_for_reading(path.c_str(), follow_link));
  uint64_t size = 0;
  if (!file || !file_size(file.get(), &size)) {
    *why = file_error_line(last_error());
    return false;
  }
  if (size > limit) {
    *why = "larger (" + std::to_string(size) + " bytes) than the " + std::to_string(limit) +
           "-byte limit";
    return false;
  }
  // One byte more than the size: a file that grew since is found out.
  bytes->assign(static_cast<size_t>(size) + 1, '\0');
  size_t done = 0;
  for (;;) {
    if (done == bytes->size()) {
      if (done > limit) {
        *why = "it grew beyond the " + std::to_string(limit) + "-byte limit while it was read";
        return false;
      }
      bytes->resize(std::min(limit + 1, done * 2));
    }
    size_t got = 0;
    if (!read_file(file.get(), bytes->data() + done, bytes->size() - done, &got)) {
      *why = file_error_line(last_error());
      return false;
    }
    if (got == 0) break;
    done += got;
  }
  bytes->resize(done);
  return true;
}

}  // namespace kiv::platform
