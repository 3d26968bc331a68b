// What the tool's tests that read its --json output share: the document
// parsed, its members looked up, and a query run against the stand-in.
#pragma once

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "tool_support.h"

namespace kiv::test {

struct JsonPut {
  void operator()(json_object* o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

inline Json parse(const std::string& text) {
  return Json(json_tokener_parse(text.c_str()));
}

// The default answer the stand-in serves for `path`, as it ships.
inline Json answer(const std::string& path) {
  return parse(read_file(std::string(KIV_TEST_SOURCE_DIR) + "/tools/answers/" + path + ".json"));
}

inline json_object* at(json_object* object, const char* name) {
  json_object* value = nullptr;
  json_object_object_get_ex(object, name, &value);
  return value;
}

inline std::string text_at(json_object* object, const char* name) {
  json_object* value = at(object, name);
  return value == nullptr ? "<absent>" : json_object_get_string(value);
}

inline int int_at(json_object* object, const char* name) {
  return json_object_get_int(at(object, name));
}

// Runs `kiv query NAME --json` against the stand-in and parses its output.
inline Json query_json(const Serve& serve, const std::string& name, std::vector<std::string> more,
                       int expected_exit) {
  std::vector<std::string> args = {
      "query", name, "--port", serve.port_text(), "--request", "{\"user\":\"demo01\"}", "--json"};
  args.insert(args.end(), more.begin(), more.end());
  const ChildResult r = kiv(args);
  EXPECT_EQ(r.exit_code, expected_exit) << name << "\n" << r.out << r.err;
  EXPECT_EQ(r.err, "") << name;
  Json doc = parse(r.out);
  EXPECT_NE(doc, nullptr) << "not one JSON document:\n" << r.out;
  return doc;
}

// `kiv query NAME --json` against the service on `port`, whatever its exit status.
inline Json query_on(int port, const std::string& name, const std::string& path = "") {
  std::vector<std::string> args = {
      "query", name, "--port", std::to_string(port), "--request", "{\"user\":\"demo01\"}",
      "--json"};
  if (!path.empty()) args.insert(args.end(), {"--path", path});
  const ChildResult r = kiv(args);
  Json doc = parse(r.out);
  EXPECT_NE(doc, nullptr) << name << ": " << r.out << r.err;
  return doc;
}

// The result code and what the export wrote; the transport's answer text as
// the JSON it holds, since a recorded answer is laid out afresh.
inline std::string outcome(json_object* doc) {
  if (doc == nullptr) return "<none>";
  json_object* out = at(doc, "output");
  if (json_object* data = at(out, "respond_data")) {
    Json answer = parse(json_object_get_string(data));
    return std::to_string(int_at(doc, "result")) + " " + json_object_to_json_string(answer.get());
  }
  return std::to_string(int_at(doc, "result")) + " " + json_object_to_json_string(out);
}

// The names of the files in `folder`, sorted.
inline std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kiv::test
