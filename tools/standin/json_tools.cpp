#include "json_tools.h"

#include <json-c/json.h>

#include <cstddef>

namespace kiv::standin {

void JsonPut::operator()(json_object* value) const {
  json_object_put(value);
}

JsonValue parse_strict_json(std::string_view utf8) {
  struct TokenerFree {
    void operator()(json_tokener* t) const { json_tokener_free(t); }
  };
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!utf8.empty() && space(utf8.back())) utf8.remove_suffix(1);
  if (utf8.empty() || utf8.size() > (std::size_t{1} << 30)) return nullptr;
  std::unique_ptr<json_tokener, TokenerFree> tokener(json_tokener_new());
  if (!tokener) return nullptr;
  json_tokener_set_flags(tokener.get(), JSON_TOKENER_STRICT);
  JsonValue value(json_tokener_parse_ex(tokener.get(), utf8.data(), static_cast<int>(utf8.size())));
  if (json_tokener_get_error(tokener.get()) != json_tokener_success ||
      json_tokener_get_parse_end(tokener.get()) != utf8.size()) {
    return nullptr;
  }
  return value;
}

json_object* json_text(std::string_view utf8) {
  return json_object_new_string_len(utf8.data(), static_cast<int>(utf8.size()));
}

std::string json_line(json_object* value) {
  std::string line = json_object_to_json_string_ext(
      value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  json_object_put(value);
  return line;
}

std::string json_quoted(std::string_view text) {
  return json_line(json_text(text));
}

std::string member_text(json_object* object, const char* name) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(object, name, &value) || value == nullptr) return "";
  if (json_object_is_type(value, json_type_string)) {
    return std::string(json_object_get_string(value),
                       static_cast<std::size_t>(json_object_get_string_len(value)));
  }
  return json_object_to_json_string_ext(value,
                                        JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

}  // namespace kiv::standin
