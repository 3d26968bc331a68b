#include "record.h"

#include <charconv>
#include <cstring>

#include "gbk_bytes.h"

namespace kiv::logsend {
namespace {

bool needs_escape(unsigned char c) {
  return c == '"' || c == '\\' || c < 0x20;
}

// Writes "\u00XX" for byte `c`; returns its length.
size_t unicode_escape(unsigned char c, char (&out)[6]) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::memcpy(out, "\\u00", 4);
  out[4] = kHex[c >> 4];
  out[5] = kHex[c & 0xF];
  return 6;
}

// Writes the escape sequence of byte `c`; returns its length, 0 when the byte
// is copied as it is.
size_t escape_sequence(unsigned char c, char (&out)[6]) {
  char short_form = 0;
  switch (c) {
    case '"':
      short_form = '"';
      break;
    case '\\':
      short_form = '\\';
      break;
    case '\b':
      short_form = 'b';
      break;
    case '\f':
      short_form = 'f';
      break;
    case '\n':
      short_form = 'n';
      break;
    case '\r':
      short_form = 'r';
      break;
    case '\t':
      short_form = 't';
      break;
    default:
      if (c >= 0x20) return 0;
      return unicode_escape(c, out);
  }
  out[0] = '\\';
  out[1] = short_form;
  return 2;
}

// Calls `put(bytes, count)` for each piece of the escaped form of `text`.
template <typename Put>
void escape(std::string_view text, Put&& put) {
  size_t run = 0;  // bytes copied unchanged, not yet handed on
  const auto flush = [&](size_t end) {
    if (run > 0) put(text.data() + end - run, run);
    run = 0;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool has_next = i + 1 < text.size();
    const auto next = has_next ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (gbk::is_lead(c) && has_next && gbk::is_trail(next)) {
      run += 2;
      ++i;
      continue;
    }
    // A lone lead byte right before an escape would pair with its backslash
    // in a GBK reader, which would then take an escaped quote for the end of
    // the string: such a lead byte is escaped itself.
    char escaped[6];
    const size_t count = gbk::is_lead(c) && has_next && needs_escape(next)
                             ? unicode_escape(c, escaped)
                             : escape_sequence(c, escaped);
    if (count == 0) {
      ++run;
      continue;
    }
    flush(i);
    put(escaped, count);
  }
  flush(text.size());
}

// Walks `format`, handing each literal piece and each value to `sink`.
template <typename Sink>
void render(std::string_view format, std::span<const Value> values, Sink& sink) {
  size_t next = 0;
  size_t start = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) continue;
    const char directive = format[i + 1];
    if (directive != 'd' && directive != 's' && directive != '%') continue;
    sink.literal(format.substr(start, i - start));
    start = i + 2;
    ++i;
    if (directive == '%') {
      sink.literal("%");
    } else if (next < values.size()) {
      sink.value(values[next++]);
    }
  }
  sink.literal(format.substr(start));
}

template <typename Put>
void put_value(const Value& value, Put&& put) {
  switch (value.kind) {
    case Value::Kind::kNumber: {
      char digits[16];
      const auto end = std::to_chars(digits, digits + sizeof digits, value.number).ptr;
      put(digits, static_cast<size_t>(end - digits));
      break;
    }
    case Value::Kind::kText:
      escape(value.text, put);
      break;
    case Value::Kind::kRaw:
      put(value.text.data(), value.text.size());
      break;
  }
}

struct Measure {
  size_t length = 0;
  void literal(std::string_view piece) { length += piece.size(); }
  void value(const Value& v) {
    put_value(v, [this](const char*, size_t count) { length += count; });
  }
};

struct Write {
  char* out;
  void literal(std::string_view piece) { put(piece.data(), piece.size()); }
  void value(const Value& v) {
    put_value(v, [this](const char* bytes, size_t count) { put(bytes, count); });
  }
  void put(const char* bytes, size_t count) {
    if (count > 0) std::memcpy(out, bytes, count);
    out += count;
  }
};

}  // namespace

Record format_record(std::string_view format, std::span<const Value> values,
                     size_t minimum) noexcept {
  Measure measure;
  render(format, values, measure);
  const size_t capacity = measure.length + 1 > minimum ? measure.length + 1 : minimum;
  Record record{heap_allocate(capacity), measure.length};
  if (!record) return Record{};
  Write write{record.text.get()};
  render(format, values, write);
  *write.out = '\0';
  return record;
}

std::string_view first_line(std::string_view system_text) noexcept {
  std::string_view line = system_text.substr(0, system_text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace kiv::logsend
