// The HTTP transport behind http_access_protocol1/2: one POST of a
// zlib-compressed request, the answer body collected in memory. (The cached
// answer file's writer is in service_list.h.)
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>

#include "heap.h"
#include "platform.h"

namespace kiv::svcquery::transport {

// Longest answer body kept; a longer one ends the transfer as failed.
inline constexpr size_t kAnswerLimit = size_t{1} << 20;

// Whole-transfer time-out, connection included.
inline constexpr long kTimeoutSeconds = 2;

// The answer of one transfer. `data` holds at least `size` + 1 bytes and the
// byte after the data is always 0 (null while nothing has arrived).
struct RespondBag {
  HeapPtr<char> data;
  size_t size = 0;
  size_t capacity = 0;  // bytes allocated behind `data`
  // The transfer the bag collects for; bodies of responses other than 200
  // are not kept. Null: every body is kept.
  CURL* transfer = nullptr;
};

// One POST of `body` to "http://" host ":" port "/" url with the header
// "Content-Type: text/xml". On status 200 the answer body is moved into
// `*answer`; on every failure `*answer` is left as it was.
// Returns 0, 10003 (an argument is null), 113 (status other than 200),
// 114 (the transfer was not set up or did not complete, or the answer is
// longer than kAnswerLimit) or 0xE0FF00FF (libcurl refused an option).
int32_t get_respond_data_bag(const char* host, const char* url, uint32_t port, const char* protocol,
                             const void* body, size_t body_size, RespondBag* answer) noexcept;

// libcurl write callback; `bag` is a RespondBag. Returns the number of bytes
// taken, or all bits set to make libcurl end the transfer.
size_t write_respond_data(char* ptr, size_t size, size_t nmemb, void* bag) noexcept;

}  // namespace kiv::svcquery::transport
