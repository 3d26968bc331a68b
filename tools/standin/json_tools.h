// The one place the tool and the stand-in reach json-c through for what they
// all do: hold a value, read strict JSON, make a text value, write a value on
// one line.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct json_object;

namespace kiv::standin {

struct JsonPut {
  void operator()(json_object* value) const;
};
using JsonValue = std::unique_ptr<json_object, JsonPut>;

// One strict JSON value taking the whole text (white space around it aside),
// read by the same library the client reads answers with; null otherwise.
JsonValue parse_strict_json(std::string_view utf8);
inline bool is_strict_json(std::string_view utf8) {
  return parse_strict_json(utf8) != nullptr;
}

// A new string value holding `utf8` (which may hold NUL bytes).
json_object* json_text(std::string_view utf8);
// `value` as one line of JSON (UTF-8, slashes not escaped); the value is
// released.
std::string json_line(json_object* value);
// `text` as a JSON string, with its quotes.
std::string json_quoted(std::string_view text);
// The member `name` of an object: a string as it is, anything else as its
// JSON; empty when there is none.
std::string member_text(json_object* object, const char* name);

}  // namespace kiv::standin
