// Result codes of the query library's exports and the numbering of its
// failure reports: one definition each, used everywhere.
#pragma once

#include <cstdint>

namespace kiv::svcquery {

namespace result {
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kNoMemory = 1;            // a working buffer was not allocated
inline constexpr int32_t kOpenFailed = 4;          // the local file could not be opened
inline constexpr int32_t kCreateFailed = 5;        // the answer file could not be created
inline constexpr int32_t kReadFailed = 7;          // the local file could not be read
inline constexpr int32_t kSizeFailed = 8;          // the local file's size could not be taken
inline constexpr int32_t kCompressFailed = 101;    // compressing the request failed
inline constexpr int32_t kNotJson101 = 101;        // the answer is not JSON (most queries)
inline constexpr int32_t kUncompressFailed = 102;  // inflating an answer or the cached list failed
inline constexpr int32_t kHttpStatus = 113;  // the service answered with a status other than 200
inline constexpr int32_t kTransferFailed = 114;  // the transfer was not set up or did not complete
inline constexpr int32_t kNotJson114 = 114;  // the answer or cached list is not JSON (some exports)
inline constexpr int32_t kListRefused = 115;  // the cached list's "err" is 0
inline constexpr int32_t kNoList = 116;       // the cached list lacks its list member
inline constexpr int32_t kMissingArgument = 10003;
inline constexpr int32_t kWriteFailed = 210605;  // writing the answer file failed
inline constexpr int32_t kOptionRefused = static_cast<int32_t>(0xE0FF00FFu);
}  // namespace result

// Codes of the start-up binding routines, only ever seen in the attach lines.
namespace bind_code {
inline constexpr int kBound = 0;
inline constexpr int kLibraryAbsent = 116;
inline constexpr int kEntryMissing = 117;
inline constexpr int kReportLibraryAbsent = 1;
inline constexpr int kBugReportMissing = 2;
inline constexpr int kOtherReportMissing = 3;
}  // namespace bind_code

// Failure reports: module number and the reporting functions' numbers.
inline constexpr int32_t kModuleId = 3;

namespace func_id {
inline constexpr int32_t kHttpAccessProtocol1 = 301;  // also the transport's write callback
inline constexpr int32_t kHttpAccessProtocol2 = 302;  // also the answer-file writer
inline constexpr int32_t kVerification = 303;
inline constexpr int32_t kDataFromFile = 304;  // also the local-file reader
inline constexpr int32_t kLocalIp = 305;
inline constexpr int32_t kLoginVpn = 306;
inline constexpr int32_t kCheckHangup = 307;
inline constexpr int32_t kClientTitle = 308;
inline constexpr int32_t kAdLink = 309;
inline constexpr int32_t kServerTypeFromFile = 311;
inline constexpr int32_t kVpnInfo = 312;
inline constexpr int32_t kSaveGameRoute = 314;
inline constexpr int32_t kGameQueries = 315;
}  // namespace func_id

// zlib's code + this offset is the error number of a zlib failure report.
inline constexpr int32_t kZlibErrorOffset = 11000;

}  // namespace kiv::svcquery
