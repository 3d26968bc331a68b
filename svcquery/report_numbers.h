// Numbering of the query library's failure reports: the module number and
// the reporting functions' numbers that bug_report carries. The exports'
// result codes are public: kiv_svcquery.h.
#pragma once

#include <cstdint>

#include "kiv_svcquery.h"

namespace kiv::svcquery {

// The numbers are the export table's.
namespace module_id {
#define KIV_LIBRARY(library, header, macro, module) inline constexpr int32_t library = module;
#include "kiv_exports.inc"
}  // namespace module_id
inline constexpr int32_t kModuleId = module_id::kiv_svcquery;

// By export: func_id::http_access_protocol1 and so on (0 for the exports of
// the other libraries, which send no failure reports of their own).
namespace func_id {
#define KIV_EXPORT(name, library, function, kind, path, summary) \
  inline constexpr int32_t name = function;
#include "kiv_exports.inc"

// The numbers that the transport and the list readers report under.
inline constexpr int32_t kHttpAccessProtocol1 = http_access_protocol1;  // also the write callback
inline constexpr int32_t kHttpAccessProtocol2 =
    http_access_protocol2;                                    // also the answer-file writer
inline constexpr int32_t kDataFromFile = get_data_from_file;  // also the local-file reader
inline constexpr int32_t kServerTypeFromFile = get_servertype_from_file;
}  // namespace func_id

// By query: what it returns when its answer is not JSON.
namespace not_json {
#define KIV_NOT_JSON(name, code) inline constexpr int32_t name = code;
#include "kiv_exports.inc"
}  // namespace not_json

// zlib's code + this offset is the error number of a zlib failure report.
inline constexpr int32_t kZlibErrorOffset = 11000;

}  // namespace kiv::svcquery
