// Event records: the report formats filled with the caller's values, string
// values escaped for JSON. Pure text work, no system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "heap.h"

namespace kiv::logsend {

// Every record is formatted into a buffer of this size, or a larger one when
// the caller's values do not fit.
inline constexpr size_t kRecordBuffer = 2048;

// One value of a record, in the order of its format's directives. The value
// decides how its directive is written: a number in signed decimal, a text
// escaped for a JSON string body, a raw text copied as it is.
struct Value {
  enum class Kind { kNumber, kText, kRaw };
  Kind kind = Kind::kNumber;
  int32_t number = 0;
  std::string_view text;
};

constexpr Value number(int32_t value) {
  return Value{Value::Kind::kNumber, value, {}};
}
constexpr Value text(std::string_view value) {
  return Value{Value::Kind::kText, 0, value};
}
constexpr Value raw(std::string_view value) {
  return Value{Value::Kind::kRaw, 0, value};
}

struct Record {
  HeapPtr<char> text;  // NUL-terminated
  size_t length = 0;   // without the NUL
  explicit operator bool() const noexcept { return text != nullptr; }
};

// Replaces each "%d" or "%s" of `format` with the next value ("%%" is a
// percent sign). Texts are escaped for JSON, keeping GBK double-byte
// characters whole: a trail byte may be '\\' and belongs to its lead byte. The buffer holds at
// least `minimum` bytes and grows to fit the record. An empty Record when the buffer cannot be
// allocated.
Record format_record(std::string_view format, std::span<const Value> values,
                     size_t minimum) noexcept;

// The part of a system error text that a failure report carries: its first
// line, without the carriage return that ends it.
std::string_view first_line(std::string_view system_text) noexcept;

}  // namespace kiv::logsend
