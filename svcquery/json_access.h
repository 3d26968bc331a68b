// Access to parsed JSON through the run-time bound json-c entry points.
// Callers check json_bound() before parsing; a Document owns one parsed text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "binding.h"
#include "bounded.h"
#include "handle.h"

namespace kiv::svcquery::json {

struct DocumentTraits {
  using Value = json_object*;
  static constexpr Value kInvalid = nullptr;
  static void close(Value root) noexcept { bindings().json.put(root); }
};

// Owns the root of one parsed document and releases it with json_object_put.
class Document : public platform::Handle<DocumentTraits> {
 public:
  Document() = default;
  // Parses a NUL-terminated text; empty when it is not JSON.
  static Document parse(const char* text) noexcept {
    Document document;
    document.reset(bindings().json.tokener_parse(text));
    return document;
  }
  json_object* root() const noexcept { return get(); }
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

// The value's text as json-c gives it: a string's own text, the JSON text of
// any other value. Null when json-c had no memory to make it. json-c writes
// the text of an array or object piece by piece and, short of memory, may
// leave a piece out without saying so; such a text is made again until two
// makings agree in length (the second one reuses the first one's memory).
inline const char* text_of(json_object* value) noexcept {
  const JsonApi& j = bindings().json;
  const char* text = j.get_string(value);
  if (text == nullptr) return nullptr;
  if (j.get_type != nullptr) {
    const json_type type = j.get_type(value);
    if (type != json_type_array && type != json_type_object) return text;
  }
  constexpr int kMakings = 4;
  std::size_t length = std::strlen(text);
  for (int making = 1; making < kMakings; ++making) {
    text = j.get_string(value);
    if (text == nullptr) return nullptr;
    const std::size_t again = std::strlen(text);
    if (again == length) return text;
    length = again;
  }
  return nullptr;
}

// The member's text (see text_of) into *text, null when the member is
// absent. False when the member is there but its text could not be made.
inline bool member_text(const json_object* object, const char* name, const char** text) noexcept {
  json_object* value = member(object, name);
  *text = value == nullptr ? nullptr : text_of(value);
  return value == nullptr || *text != nullptr;
}

using kiv::copy_bounded;

}  // namespace kiv::svcquery::json
