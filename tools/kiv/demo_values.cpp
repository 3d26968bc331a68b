// `kiv demo`'s checks: the values a step gave against those expected.
#include <cctype>
#include <string_view>

#include "demo.h"

namespace kiv::tool::demo {

bool same(json_object* a, json_object* b) {
  const json_type ta = json_object_get_type(a);
  const json_type tb = json_object_get_type(b);
  const bool na = ta == json_type_int || ta == json_type_double;
  const bool nb = tb == json_type_int || tb == json_type_double;
  if (na && nb) {
    if (ta == json_type_int && tb == json_type_int) {
      return json_object_get_int64(a) == json_object_get_int64(b);
    }
    return static_cast<float>(json_object_get_double(a)) ==
           static_cast<float>(json_object_get_double(b));
  }
  if (ta != tb) return false;
  switch (ta) {
    case json_type_null:
      return true;
    case json_type_boolean:
      return json_object_get_boolean(a) == json_object_get_boolean(b);
    case json_type_string:
      return std::string_view(json_object_get_string(a)) == json_object_get_string(b);
    case json_type_array: {
      const size_t n = json_object_array_length(a);
      if (n != json_object_array_length(b)) return false;
      for (size_t i = 0; i < n; ++i) {
        if (!same(json_object_array_get_idx(a, i), json_object_array_get_idx(b, i))) return false;
      }
      return true;
    }
    case json_type_object: {
      if (json_object_object_length(a) != json_object_object_length(b)) return false;
      json_object_object_foreach(a, key, value) {
        json_object* other = nullptr;
        if (!json_object_object_get_ex(b, key, &other) || !same(value, other)) return false;
      }
      return true;
    }
    default:
      return false;
  }
}

namespace {

std::string plain(json_object* value) {
  return value == nullptr ? "null"
                          : json_object_to_json_string_ext(
                                value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

}  // namespace

std::string difference(json_object* expected, json_object* got) {
  if (json_object_is_type(expected, json_type_object) &&
      json_object_is_type(got, json_type_object)) {
    json_object_object_foreach(expected, key, value) {
      json_object* other = nullptr;
      if (!json_object_object_get_ex(got, key, &other)) return std::string(key) + " missing";
      if (!same(value, other)) return std::string(key) + ": " + difference(value, other);
    }
    json_object_object_foreach(got, extra, unused) {
      (void)unused;
      if (!json_object_object_get_ex(expected, extra, nullptr))
        return std::string(extra) + " not expected";
    }
  }
  if (json_object_is_type(expected, json_type_array) && json_object_is_type(got, json_type_array) &&
      json_object_array_length(expected) == json_object_array_length(got)) {
    for (size_t i = 0; i < json_object_array_length(expected); ++i) {
      json_object* a = json_object_array_get_idx(expected, i);
      json_object* b = json_object_array_get_idx(got, i);
      if (!same(a, b)) return "[" + std::to_string(i) + "] " + difference(a, b);
    }
  }
  std::string e = plain(expected), g = plain(got);
  if (e.size() > 160) e = e.substr(0, 157) + "...";
  if (g.size() > 160) g = g.substr(0, 157) + "...";
  return "expected " + e + ", got " + g;
}

std::string summary(json_object* output) {
  if (output == nullptr) return "";
  std::string text;
  json_object_object_foreach(output, key, value) {
    if (!text.empty()) text += ", ";
    text += key;
    text += ' ';
    if (json_object_is_type(value, json_type_array)) {
      text += std::to_string(json_object_array_length(value)) + " rows";
      continue;
    }
    // One line: each run of white space that breaks the line becomes a blank.
    const std::string shown = readable(value);
    for (size_t i = 0; i < shown.size(); ++i) {
      if (shown[i] != '\n' && shown[i] != '\r') {
        text += shown[i];
        continue;
      }
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
      while (i + 1 < shown.size() && std::isspace(static_cast<unsigned char>(shown[i + 1]))) ++i;
      if (i + 1 < shown.size()) text += ' ';
    }
  }
  // Keep the line short: cut at a character boundary.
  constexpr size_t kMax = 96;
  if (text.size() > kMax) {
    size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut) + " ...";
  }
  return text;
}

json_object* member(json_object* object, const char* name) {
  json_object* value = nullptr;
  json_object_object_get_ex(object, name, &value);
  return value;
}

json_object* pick(json_object* answer,
                  std::initializer_list<std::pair<const char*, const char*>> members) {
  json_object* out = json_object_new_object();
  for (const auto& [name, from] : members)
    json_add(out, name, json_object_get(member(answer, from)));
  return out;
}

}  // namespace kiv::tool::demo
