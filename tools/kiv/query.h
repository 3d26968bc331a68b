// The query exports as the tool runs them: one call, and what it filled or
// handed over as a JSON value named after the caller's storage.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "common.h"

namespace kiv::tool {

// The six leading arguments of every query and transport export.
struct RequestHead {
  std::string host = "127.0.0.1";
  uint32_t port = 0;
  std::string path;
  std::string protocol = "http";
  std::string request;  // bytes as sent (client code page)
};

struct QueryOptions {
  std::string save_file;         // http_access_protocol2
  uint32_t capacity = 1u << 20;  // http_access_protocol1's answer buffer
};

struct QueryOutcome {
  std::string name;
  int32_t code = 0;  // the export's result (for the link and the notice, the service's "err")
  const char* code_name = nullptr;  // the result code's primary name; null for an "err" value
  std::string meaning;
  Json output;  // an object named after the caller's storage; null when nothing was written
};

struct QueryInfo {
  const char* name;          // the export's name
  const char* default_path;  // the stand-in's answer path for it
  const char* summary;
  QueryOutcome (*run)(const RequestHead&, const QueryOptions&);
};

// The thirteen queries and the two transports.
const std::vector<QueryInfo>& queries();
const QueryInfo* find_query(std::string_view name);
QueryOutcome run_query(const QueryInfo& query, const RequestHead& head,
                       const QueryOptions& options);

// What a result code means for this export.
std::string code_meaning(std::string_view name, int32_t code);

Command add_query_command(CLI::App& app);

}  // namespace kiv::tool
