#include "gbk_text.h"

#include <cstdint>

#include "gbk_bytes.h"
#include "gbk_table.inc"

namespace kiv::text {
namespace {

using gbk::is_lead;
using gbk::is_trail;

uint16_t gbk_code_point(unsigned char lead, unsigned char trail) {
  return kGbkTable[(lead - 0x81) * 191 + (trail - 0x40)];
}

void append_utf8(uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void append_escaped_byte(unsigned char c, std::string& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 0x0F];
}

// Appends the text; when `one_line` is set control characters are escaped.
void append_converted(std::string_view text, bool utf8, bool one_line, std::string& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      if (!one_line || c == '\t') {
        out += static_cast<char>(c);
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else {
        append_escaped_byte(c, out);
      }
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (!utf8) {
      out += static_cast<char>(c);
    } else if (i + 1 < text.size() && is_lead(c) &&
               is_trail(static_cast<unsigned char>(text[i + 1]))) {
      const uint16_t code = gbk_code_point(c, static_cast<unsigned char>(text[i + 1]));
      if (code != 0) {
        append_utf8(code, out);
        ++i;
      } else {
        append_escaped_byte(c, out);
      }
    } else {
      append_escaped_byte(c, out);
    }
  }
}

}  // namespace

void append_display_line(std::string_view message, bool utf8, std::string& out) {
  if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  append_converted(message, utf8, true, out);
  out += '\n';
}

std::string gbk_to_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  append_converted(text, true, false, out);
  return out;
}

char16_t gbk_character(unsigned char lead, unsigned char trail) noexcept {
  return is_lead(lead) && is_trail(trail) ? gbk_code_point(lead, trail) : 0;
}

std::size_t gbk_clean_prefix(std::string_view text, std::size_t limit) noexcept {
  if (text.size() <= limit) return text.size();
  size_t i = 0;
  while (i < limit) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t width =
        is_lead(c) && i + 1 < text.size() && is_trail(static_cast<unsigned char>(text[i + 1])) ? 2
                                                                                               : 1;
    if (i + width > limit) break;
    i += width;
  }
  return i;
}

}  // namespace kiv::text
