// The cached service-list readers as the tool runs them.
#pragma once

#include <cstdint>
#include <string>

#include "common.h"

namespace kiv::tool {

struct ListOutcome {
  int32_t code = 0;
  std::string meaning;
  Json err;   // the "err" the export stored, or null when it stored none
  Json rows;  // array of rows named after the delivered fields; null on failure
};

// get_data_from_file: servers, each with "serverIp" as an array of its
// address rows.
ListOutcome read_servers(const std::string& file);
// get_servertype_from_file: server types.
ListOutcome read_server_types(const std::string& file);

}  // namespace kiv::tool
