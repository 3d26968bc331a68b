// Rows handed to a caller's row_callback, one per list element. A small
// table describes each field (the name delivered, the JSON member it comes
// from, how it is read, its value buffer, what an absent member leaves
// there); one RowSet per call holds the names and buffers and is refilled
// for every element, so absent members can carry values over.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "heap.h"
#include "json_access.h"
#include "kiv_svcquery.h"

namespace kiv::svcquery {

namespace json {

// Whether a value is an array or an object. json-c's array calls assert on
// any other type, so a list is walked only after this test.
inline bool is_array(const json_object* value) noexcept {
  if (value == nullptr) return false;
  const JsonApi& j = bindings().json;
  if (j.get_type != nullptr) return j.get_type(value) == json_type_array;
  return j.get_array != nullptr && j.get_array(value) != nullptr;
}

// Without the type query every non-array value passes; member lookups on a
// scalar then simply find nothing.
inline bool is_object(const json_object* value) noexcept {
  if (value == nullptr) return false;
  const JsonApi& j = bindings().json;
  if (j.get_type != nullptr) return j.get_type(value) == json_type_object;
  return !is_array(value);
}

// Calls `visit(element)` for each element of `list` that is an object, in
// array order. A list that is not an array has no elements; null elements
// and elements of other types are skipped.
template <typename Visit>
void for_each_object(const json_object* list, Visit&& visit) {
  if (!is_array(list)) return;
  const JsonApi& j = bindings().json;
  const std::size_t length = j.array_length(list);
  for (std::size_t index = 0; index < length; ++index) {
    const json_object* element = j.array_get_idx(list, index);
    if (is_object(element)) visit(element);
  }
}

}  // namespace json

namespace rows {

enum class Kind : uint8_t {
  kInt,    // json-c's integer reading, stored as int32_t
  kBool,   // json-c's boolean reading, stored as int32_t 0 or 1
  kFloat,  // json-c's double reading, narrowed to float
  kText,   // json-c's text (a number gives its JSON text), cut and terminated
  kSlot,   // no buffer: the walk sets the value pointer itself
};

enum class Absent : uint8_t {
  kKeep,   // the buffer keeps what the previous element left in it
  kClear,  // 0, or the empty text
};

struct Field {
  const char* name;    // delivered to the callback
  const char* member;  // read from the element
  Kind kind;
  uint16_t size;  // value buffer bytes; 0 gives the kind's own size (texts need one)
  Absent absent;
};

// The names, value pointers and value buffers of one call, allocated once
// in one zero-filled heap block and reused for every element.
class RowSet {
 public:
  static constexpr std::size_t kMaxFields = 16;

  RowSet() = default;
  RowSet(RowSet&&) noexcept = default;
  RowSet& operator=(RowSet&&) noexcept = default;
  RowSet(const RowSet&) = delete;
  RowSet& operator=(const RowSet&) = delete;

  // Allocates the set for `fields` (which must outlive it); each name buffer
  // holds `name_block` bytes, or the name and its terminator when 0. False
  // when the memory is not there or the table is unusable.
  bool allocate(std::span<const Field> fields, std::size_t name_block = 0) noexcept;
  explicit operator bool() const noexcept { return block_ != nullptr; }

  // Reads the element's members into the value buffers, by the table.
  void fill(const json_object* element) noexcept;
  // The value pointer delivered for field `index` (a slot field).
  void set_slot(std::size_t index, void* value) noexcept;
  // Writes the names and value pointers afresh (a callback may have
  // scribbled on them) and calls `callback` once.
  void deliver(row_callback callback, void* context) const;

 private:
  std::span<const Field> fields_;
  std::size_t name_block_ = 0;
  HeapPtr<unsigned char> block_;
  char** names_ = nullptr;
  void** values_ = nullptr;
  std::array<char*, kMaxFields> name_buffers_{};
  std::array<void*, kMaxFields> value_buffers_{};  // a slot field's value itself
};

}  // namespace rows
}  // namespace kiv::svcquery
