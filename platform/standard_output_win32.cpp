#include <io.h>

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "standard_output.h"

namespace kiv::platform {

// The file goes when it is closed ("D"); "T" keeps it in memory while the
// cache can.
std::FILE* scratch_output_file() {
  std::error_code ec;
  const auto folder = std::filesystem::temp_directory_path(ec);
  if (ec) return nullptr;
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const auto path = folder / ("kiv-stdout-" + std::to_string(random()) + ".tmp");
    if (std::FILE* file = std::fopen(path.string().c_str(), "w+bTD")) return file;
  }
  return nullptr;
}

int divert_standard_output(std::FILE* into) noexcept {
  const int out = ::_fileno(stdout);
  const int saved = ::_dup(out);
  if (saved < 0) return -1;
  if (::_dup2(::_fileno(into), out) < 0) {
    ::_close(saved);
    return -1;
  }
  return saved;
}

void restore_standard_output(int saved) noexcept {
  ::_dup2(saved, ::_fileno(stdout));
  ::_close(saved);
}

}  // namespace kiv::platform
