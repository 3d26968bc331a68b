// Numbering of the query library's failure reports: the module number and
// the reporting functions' numbers that bug_report carries. The exports'
// result codes are public: kiv_svcquery.h.
#pragma once

#include <cstdint>

namespace kiv::svcquery {

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
