// Profile (INI) parsing with the rules of GetPrivateProfileStringA, over text
// already in memory. Reading the file is each system's own business.
#include <cstring>
#include <string_view>
#include <utility>

#include "bounded.h"
#include "platform.h"

namespace kiv::platform {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    if (lower(x) != lower(y)) return false;
  }
  return true;
}

std::string_view unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

uint32_t copy_out(std::string_view value, char* out, uint32_t size) {
  return static_cast<uint32_t>(copy_bounded(out, size, value));
}

// Finds the value of `key` in the first section named `section`.
bool find_value(std::string_view text, std::string_view section, std::string_view key,
                std::string_view* value) {
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  bool in_section = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      const std::string_view name =
          trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
      in_section = same_ignoring_case(name, section);
      continue;
    }
    if (!in_section) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (same_ignoring_case(trim(line.substr(0, equals)), key)) {
      *value = unquote(trim(line.substr(equals + 1)));
      return true;
    }
  }
  return false;
}

// Settings files are small; anything larger is not a settings file.
constexpr uint64_t kMaxProfileBytes = 1 << 20;

}  // namespace

ProfileText::ProfileText(const char* file_name) noexcept {
  const File file(open_for_reading(file_name));
  uint64_t bytes = 0;
  if (!file || !file_size(file.get(), &bytes) || bytes > kMaxProfileBytes) return;
  HeapPtr<char> text = heap_allocate(static_cast<size_t>(bytes) + 1);  // an empty file too
  size_t got = 0;
  if (!text || !read_file(file.get(), text.get(), static_cast<size_t>(bytes), &got)) return;
  text_ = std::move(text);
  length_ = got;
}

uint32_t ProfileText::get(const char* section, const char* key, const char* default_value,
                          char* out, uint32_t size) const noexcept {
  return profile_string_from_text(text_.get(), length_, section, key, default_value, out, size);
}

uint32_t profile_string_from_text(const char* text, size_t length, const char* section,
                                  const char* key, const char* default_value, char* out,
                                  uint32_t size) noexcept {
  std::string_view value;
  if (text != nullptr && section != nullptr && key != nullptr &&
      find_value(std::string_view(text, length), section, key, &value)) {
    return copy_out(value, out, size);
  }
  // The default loses only its trailing blanks, as GetPrivateProfileStringA's does.
  std::string_view fallback = default_value == nullptr ? "" : default_value;
  while (!fallback.empty() && is_blank(fallback.back())) fallback.remove_suffix(1);
  return copy_out(fallback, out, size);
}

}  // namespace kiv::platform
