#include "record.h"

#include <charconv>
#include <cstring>

namespace kiv::logsend {
namespace {

bool is_gbk_lead(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}
bool is_gbk_trail(unsigned char c) {
  return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

// Calls `put(bytes, count)` for each piece of the escaped form of `text`.
template <typename Put>
void escape(std::string_view text, Put&& put) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t run = 0;  // bytes copied unchanged, not yet handed on
  const auto flush = [&](size_t end) {
    if (run > 0) put(text.data() + end - run, run);
    run = 0;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (is_gbk_lead(c) && i + 1 < text.size() &&
        is_gbk_trail(static_cast<unsigned char>(text[i + 1]))) {
      run += 2;
      ++i;
      continue;
    }
    char escaped[6] = {'\\', 0, 0, 0, 0, 0};
    size_t count = 2;
    switch (c) {
      case '"':
        escaped[1] = '"';
        break;
      case '\\':
        escaped[1] = '\\';
        break;
      case '\b':
        escaped[1] = 'b';
        break;
      case '\f':
        escaped[1] = 'f';
        break;
      case '\n':
        escaped[1] = 'n';
        break;
      case '\r':
        escaped[1] = 'r';
        break;
      case '\t':
        escaped[1] = 't';
        break;
      default:
        if (c >= 0x20) {
          ++run;
          continue;
        }
        std::memcpy(escaped + 1, "u00", 3);
        escaped[4] = kHex[c >> 4];
        escaped[5] = kHex[c & 0xF];
        count = 6;
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
