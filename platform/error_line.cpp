#include "platform.h"

namespace kiv::platform {

std::string error_line(int error) {
  std::string text;
  if (!system_error_text(error, &text)) return "error " + std::to_string(error);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace kiv::platform
