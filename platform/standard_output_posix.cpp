#include <unistd.h>

#include "standard_output.h"

namespace kiv::platform {

std::FILE* scratch_output_file() {
  return std::tmpfile();
}

int divert_standard_output(std::FILE* into) noexcept {
  const int out = ::fileno(stdout);
  const int saved = ::dup(out);
  if (saved < 0) return -1;
  if (::dup2(::fileno(into), out) < 0) {
    ::close(saved);
    return -1;
  }
  return saved;
}

void restore_standard_output(int saved) noexcept {
  ::dup2(saved, ::fileno(stdout));
  ::close(saved);
}

}  // namespace kiv::platform
