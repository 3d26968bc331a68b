// Access to parsed JSON through the run-time bound json-c entry points.
// Callers check json_bound() before parsing; a Document owns one parsed text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "binding.h"

namespace kiv::svcquery::json {

// Owns the root of one parsed document and releases it with json_object_put.
class Document {
 public:
  Document() = default;
  // Parses a NUL-terminated text; empty when it is not JSON.
  static Document parse(const char* text) noexcept {
    return Document(bindings().json.tokener_parse(text));
  }
  ~Document() { reset(); }
  Document(Document&& other) noexcept : root_(std::exchange(other.root_, nullptr)) {}
  Document& operator=(Document&& other) noexcept {
    if (this != &other) {
      reset();
      root_ = std::exchange(other.root_, nullptr);
    }
    return *this;
  }
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  explicit operator bool() const noexcept { return root_ != nullptr; }
  json_object* root() const noexcept { return root_; }
  void reset() noexcept {
    if (root_ != nullptr) bindings().json.put(std::exchange(root_, nullptr));
  }

 private:
  explicit Document(json_object* root) noexcept : root_(root) {}
  json_object* root_ = nullptr;
};

// The member `name` of `object`, or null when absent, JSON null, or when
// `object` is not an object (a non-object has no members).
inline json_object* member(const json_object* object, const char* name) noexcept {
  if (object == nullptr) return nullptr;
  return bindings().json.object_get(object, name);
}

// json-c's integer reading of a member; 0 when absent.
inline int32_t int_member(const json_object* object, const char* name) noexcept {
  json_object* value = member(object, name);
  return value == nullptr ? 0 : bindings().json.get_int(value);
}

// The member's text as json-c gives it (a non-string member yields its JSON
// text); null when absent.
inline const char* text_member(const json_object* object, const char* name) noexcept {
  json_object* value = member(object, name);
  return value == nullptr ? nullptr : bindings().json.get_string(value);
}

// Copies `text` (null gives the empty text) into a buffer of `size` bytes,
// cut to size - 1 characters and always terminated.
inline void copy_bounded(char* out, std::size_t size, const char* text) noexcept {
  if (size == 0) return;
  std::size_t length = text == nullptr ? 0 : std::strlen(text);
  if (length > size - 1) length = size - 1;
  if (length > 0) std::memcpy(out, text, length);
  out[length] = '\0';
}

}  // namespace kiv::svcquery::json
