// `kiv demo`: the client program's day, against the stand-in service run
// in-process. The runner and its steps (demo.cpp), the query and list steps
// (demo_queries.cpp), the report steps (demo_reports.cpp) and the checks of
// the values they give (demo_values.cpp).
#pragma once

#include <json-c/json.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "query.h"
#include "servers.h"
#include "standin.h"

namespace kiv::tool::demo {

inline constexpr std::chrono::milliseconds kDatagramWait{2000};
inline constexpr const char* kVersion = "1.5.2";
inline constexpr const char* kUser = "demo01";
inline constexpr const char* kSaveFile = "servers.dat";

// ---- the checks of values -------------------------------------------------------------

// Values compared the way the client sees them: numbers the readers narrow
// to float are compared as floats.
bool same(json_object* a, json_object* b);
// The first member that differs, as "name: expected X, got Y".
std::string difference(json_object* expected, json_object* got);
// A short readable account of a result's members.
std::string summary(json_object* output);
json_object* member(json_object* object, const char* name);
// An object of `members` taken from `answer`, each renamed as the pairs say.
json_object* pick(json_object* answer,
                  std::initializer_list<std::pair<const char*, const char*>> members);

// ---- the steps --------------------------------------------------------------------------

class Demo {
 public:
  explicit Demo(standin::Service& service);

  int failures() const { return failures_; }
  int steps() const { return steps_; }

  void run();

 private:
  void step(bool ok, const std::string& title, const std::string& detail);
  json_object* answer(const char* path);

  // demo_queries.cpp
  void query(const std::string& title, const char* name, const std::string& request, int32_t code,
             json_object* expected_output,
             const std::function<json_object*(json_object*)>& view = nullptr,
             const std::function<std::string()>& extra = nullptr);
  void query_at(const std::string& title, const char* name, const std::string& path,
                const std::string& request, int32_t code, json_object* expected_output,
                const std::function<json_object*(json_object*)>& view = nullptr,
                const std::function<std::string()>& extra = nullptr);
  std::string request_for(const char* what) const;
  void service_list();
  void check_list(const std::string& title, const char* name,
                  ListOutcome (*read)(const std::string&), json_object* list, json_object* rows);
  void account_queries();
  void game_queries();
  void transport();
  void with_fault(const char* path, const char* spec, const std::function<void()>& run);
  void faults();

  // demo_reports.cpp
  void report(const std::string& title, const char* name, const std::vector<std::string>& args);
  void reports();

  standin::Service& service_;
  RequestHead head_;
  std::map<std::string, Json> answers_;
  std::map<std::string, std::string> answer_texts_;
  int failures_ = 0;
  int steps_ = 0;
};

}  // namespace kiv::tool::demo
