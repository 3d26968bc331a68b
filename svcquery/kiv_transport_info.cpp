// The HTTP transport: posts a zlib-compressed request to the web service and
// either inflates the answer into the caller's buffer (http_access_protocol1)
// or stores the still-compressed answer in a file (http_access_protocol2).
#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "binding.h"
#include "bounded.h"
#include "export_guard.h"
#include "failure_report.h"
#include "fault.h"
#include "heap.h"
#include "kiv_clientlog.h"
#include "kiv_svcquery.h"
#include "platform.h"
#include "query_messages.h"
#include "report_numbers.h"
#include "service_list.h"
#include "transport.h"

namespace kiv::svcquery::transport {
namespace {

// Names and source-line numbers that the transport's log lines carry. They
// are fixed values, so that lines read the same from every build.
constexpr char kSource[] = "kiv_transport_info";
constexpr char kProtocol1[] = "http_access_protocol1";
constexpr char kProtocol2[] = "http_access_protocol2";
constexpr char kRespondBag[] = "get_respond_data_bag";

namespace line {
constexpr int kMissingArgument = 337;
constexpr int kSetErrorBuffer = 362;
constexpr int kSetHeader = 368;
constexpr int kSetUrl = 375;
constexpr int kSetPostFields = 381;
constexpr int kSetPostFieldSize = 387;
constexpr int kSetWriteFunction = 393;
constexpr int kSetWriteData = 399;
constexpr int kSetPost = 405;
constexpr int kSetFollowLocation = 411;
constexpr int kPerformFailed = 433;
constexpr int kInitFailed = 440;
constexpr int kCompressFailed = 779;
constexpr int kRespondFailed = 800;
constexpr int kUncompressFailed = 810;
}  // namespace line

constexpr long kHttpOk = 200;
constexpr size_t kRefuse = ~size_t{0};  // any count other than the one offered stops libcurl
constexpr char kContentType[] = "Content-Type: text/xml";

// Stand-in for a null text in a log line.
const char* text_or_null(const char* text) noexcept {
  return text != nullptr ? text : "(null)";
}

// The request as its log line shows it: at most `request_size` bytes, and
// no further than a NUL, so that a request of exactly `request_size` bytes
// without one is never read past its end.
struct LoggedRequest {
  int length;
  const char* text;
};
LoggedRequest logged_request(const char* request_data, int32_t request_size) noexcept {
  if (request_data == nullptr) return {6, "(null)"};
  const size_t most = request_size > 0 ? static_cast<size_t>(request_size) : 0;
  const void* nul = std::memchr(request_data, '\0', most);
  const size_t length =
      nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - request_data) : most;
  return {static_cast<int>(length), request_data};
}

struct CurlDeleter {
  void operator()(CURL* transfer) const noexcept { curl_easy_cleanup(transfer); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// libcurl's global state is set up once for the process, on the first
// transfer, and kept: tearing it down per call would race with transfers on
// other threads.
void ensure_curl_ready() noexcept {
  static std::once_flag once;
  try {
    // The result is not needed: curl_easy_init sets up whatever is missing.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
  } catch (...) {
    // Same as above: curl_easy_init falls back to its own set-up.
  }
}

// "http://" host ":" port "/" url, sized to fit whatever the caller gives.
HeapPtr<char> make_url(const char* host, uint32_t port, const char* url) noexcept {
  static constexpr char kScheme[] = "http://";
  const size_t scheme_length = sizeof kScheme - 1;
  const size_t host_length = std::strlen(host);
  const size_t url_length = std::strlen(url);
  // Decimal, no leading zeros (written backwards from the end of the scratch).
  char port_digits[10];
  char* port_text = port_digits + sizeof port_digits;
  uint32_t rest = port;
  do {
    *--port_text = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  const auto port_length = static_cast<size_t>(port_digits + sizeof port_digits - port_text);

  const size_t total = scheme_length + host_length + 1 + port_length + 1 + url_length;
  HeapPtr<char> text = heap_allocate(total + 1);
  if (text == nullptr) return nullptr;
  char* out = text.get();
  std::memcpy(out, kScheme, scheme_length);
  out += scheme_length;
  std::memcpy(out, host, host_length);
  out += host_length;
  *out++ = ':';
  std::memcpy(out, port_text, port_length);
  out += port_length;
  *out++ = '/';
  std::memcpy(out, url, url_length);
  out += url_length;
  *out = '\0';
  return text;
}

// Sets one option; on refusal logs the option's line (with the error text
// where its format has it) and returns false.
template <typename Value>
bool set_option(CURL* transfer, CURLoption option, Value value, int source_line,
                bool with_error_text, const char* error_text) noexcept {
  const CURLcode code = curl_easy_setopt(transfer, option, value);
  if (code == CURLE_OK) return true;
  if (with_error_text) {
    kiv_show_message("curl_set: %d, %s, %s ret:%u %s", source_line, kSource, kRespondBag,
                     static_cast<unsigned>(code), error_text);
  } else {
    kiv_show_message("curl_set: %d, %s, %s ret:%u ", source_line, kSource, kRespondBag,
                     static_cast<unsigned>(code));
  }
  return false;
}

// The compressed request of one call.
struct RequestBody {
  HeapPtr<unsigned char> data;  // null when there is no request to compress
  size_t size = 0;
};

enum class Packing {
  kPacked,     // `body` holds the compressed request
  kNoRequest,  // a bad request (null data, negative size): `body` stays
               // empty and the transfer refuses it as a missing argument
  kNoMemory,
  kZlibFailed,
};

// Compresses the first `request_size` bytes of `request_data` with zlib's
// compress at its default level, giving it `request_size` + 13 bytes of room.
// A null request with a size above 0, or a negative size, leaves `body` empty
// so that the transfer refuses it as a missing argument.
Packing pack_request(const char* request_data, int32_t request_size, RequestBody* body,
                     int* zlib_code) noexcept {
  if (request_size < 0 || (request_data == nullptr && request_size > 0)) {
    return Packing::kNoRequest;
  }
  static constexpr Bytef kNothing = 0;
  const auto source =
      request_data != nullptr ? reinterpret_cast<const Bytef*>(request_data) : &kNothing;
  const size_t capacity = compress_room(static_cast<size_t>(request_size));
  HeapPtr<unsigned char> buffer = heap_allocate<unsigned char>(capacity);
  if (buffer == nullptr) return Packing::kNoMemory;
  uLongf length = capacity;
  const int code =
      bindings().zlib.compress(buffer.get(), &length, source, static_cast<uLong>(request_size));
  if (code != Z_OK) {
    *zlib_code = code;
    return Packing::kZlibFailed;
  }
  body->data = std::move(buffer);
  body->size = length;
  return Packing::kPacked;
}

// Grows the bag so that `needed` bytes fit, by doubling (bounded by the
// answer limit) or, for the first chunk, to the length the server announced.
bool grow_bag(RespondBag* bag, size_t needed) noexcept {
  constexpr size_t kMostBytes = kAnswerLimit + 1;  // the answer and its trailing 0
  size_t want = needed;
  if (bag->capacity == 0 && bag->transfer != nullptr) {
    curl_off_t announced = -1;
    if (curl_easy_getinfo(bag->transfer, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
            CURLE_OK &&
        announced > 0 && static_cast<uint64_t>(announced) <= kAnswerLimit) {
      want = std::max(want, static_cast<size_t>(announced) + 1);
    }
  } else {
    want = std::max(want, std::min(bag->capacity * 2, kMostBytes));
  }
  void* grown = std::realloc(bag->data.get(), want);
  if (grown == nullptr) return false;
  static_cast<void>(bag->data.release());
  bag->data.reset(static_cast<char*>(grown));
  bag->capacity = want;
  return true;
}

// A transfer a test has armed (fault.h): it fails as a transfer that did not
// complete, or its answer arrives as a 200 response's body.
int32_t injected_transfer(const platform::fault::Failure& failure, RespondBag* answer) noexcept;

}  // namespace

size_t write_respond_data(char* ptr, size_t size, size_t nmemb, void* bag_pointer) noexcept {
  auto* bag = static_cast<RespondBag*>(bag_pointer);
  if (bag == nullptr || (nmemb != 0 && size > SIZE_MAX / nmemb)) return kRefuse;
  const size_t n = size * nmemb;

  // Only a 200 answer is used: the bodies of other responses are dropped
  // unread, so that their length never decides the call's result.
  if (bag->transfer != nullptr) {
    long status = 0;
    if (curl_easy_getinfo(bag->transfer, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
        status != kHttpOk) {
      return n;
    }
  }

  if (n > kAnswerLimit - bag->size) return kRefuse;  // longer than any answer we keep
  const size_t needed = bag->size + n + 1;
  if (needed > bag->capacity && !grow_bag(bag, needed)) {
    const int error = platform::last_error();
    kiv_show_message("not enough memory (realloc returned NULL)\n");
    platform::set_last_error(error);
    report::realloc_failed(func_id::kHttpAccessProtocol1);
    return kRefuse;  // the bag keeps its previous block
  }
  std::memcpy(bag->data.get() + bag->size, ptr, n);
  bag->size += n;
  bag->data.get()[bag->size] = '\0';
  return n;
}

int32_t get_respond_data_bag(const char* host, const char* url, uint32_t port, const char* protocol,
                             const void* body, size_t body_size, RespondBag* answer) noexcept {
  if (host == nullptr || url == nullptr || protocol == nullptr || body == nullptr ||
      answer == nullptr) {
    kiv_show_message(msg::kParamLine, line::kMissingArgument, kSource, kRespondBag);
    return KIV_E_MISSING_ARGUMENT;
  }

  if (platform::fault::armed(platform::fault::Call::kTransfer)) {
    platform::fault::Failure failure;
    if (platform::fault::fails_now(platform::fault::Call::kTransfer, &failure)) {
      return injected_transfer(failure, answer);
    }
  }

  // Declared before the transfer handle, so that they outlive it: libcurl may
  // still touch them while the handle is cleaned up. Each call has its own
  // error text, so concurrent transfers never mix them.
  char error_text[CURL_ERROR_SIZE] = {};
  RespondBag bag;
  HeapPtr<char> full_url;
  SlistPtr headers;

  ensure_curl_ready();
  const CurlPtr transfer(curl_easy_init());
  if (transfer == nullptr) {
    kiv_show_message(msg::kCurlInitFailed, line::kInitFailed, kSource, kRespondBag);
    return KIV_E_TRANSFER;
  }
  CURL* const handle = transfer.get();

  bag.transfer = handle;
  full_url = make_url(host, port, url);
  headers.reset(curl_slist_append(nullptr, kContentType));
  if (full_url == nullptr || headers == nullptr) {
    kiv_show_message("Error: not enough memory to set up the transfer, in %s()", kRespondBag);
    return KIV_E_TRANSFER;
  }

  if (!set_option(handle, CURLOPT_ERRORBUFFER, error_text, line::kSetErrorBuffer, false,
                  error_text) ||
      !set_option(handle, CURLOPT_HTTPHEADER, headers.get(), line::kSetHeader, true, error_text)) {
    return KIV_E_OPTION_REFUSED;
  }
  // These two can only fail for an option this libcurl does not know.
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTimeoutSeconds);
  // Without signals, a time-out during name lookup is safe on any thread.
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  const bool set =
      set_option(handle, CURLOPT_URL, full_url.get(), line::kSetUrl, true, error_text) &&
      set_option(handle, CURLOPT_POSTFIELDS, body, line::kSetPostFields, true, error_text) &&
      set_option(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body_size),
                 line::kSetPostFieldSize, true, error_text) &&
      set_option(handle, CURLOPT_WRITEFUNCTION, &write_respond_data, line::kSetWriteFunction, true,
                 error_text) &&
      set_option(handle, CURLOPT_WRITEDATA, static_cast<void*>(&bag), line::kSetWriteData, true,
                 error_text) &&
      set_option(handle, CURLOPT_POST, 1L, line::kSetPost, true, error_text) &&
      set_option(handle, CURLOPT_FOLLOWLOCATION, 1L, line::kSetFollowLocation, false, error_text);
  if (!set) return KIV_E_OPTION_REFUSED;

  const CURLcode performed = curl_easy_perform(handle);
  if (performed != CURLE_OK) {
    kiv_show_message(msg::kPerformFailed, line::kPerformFailed, kSource, kRespondBag,
                     static_cast<unsigned>(performed), error_text);
    return KIV_E_TRANSFER;
  }

  long status = 0;
  if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != kHttpOk) {
    return KIV_E_HTTP_STATUS;
  }
  bag.transfer = nullptr;  // the handle ends with this call
  *answer = std::move(bag);
  return KIV_OK;
}

namespace {

int32_t injected_transfer(const platform::fault::Failure& failure, RespondBag* answer) noexcept {
  if (failure.error != 0) {
    kiv_show_message(msg::kPerformFailed, line::kPerformFailed, kSource, kRespondBag,
                     static_cast<unsigned>(failure.error), "");
    return KIV_E_TRANSFER;
  }
  RespondBag bag;  // without a transfer every body is kept
  const size_t size = failure.answer.size();
  // The callback only reads the bytes it is handed.
  if (size != 0 &&
      write_respond_data(const_cast<char*>(failure.answer.data()), 1, size, &bag) != size) {
    return KIV_E_TRANSFER;
  }
  *answer = std::move(bag);
  return KIV_OK;
}

// What sets the two exports apart up to the answer: their name, their
// failure-report number, the line of a request that could not be compressed,
// and whether a failed exchange gets a line of its own.
struct Export {
  const char* name;
  int32_t func_id;
  void (*compress_failed)(int zlib_code) noexcept;
  bool logs_failed_exchange;
};

constexpr Export kExport1{kProtocol1, func_id::kHttpAccessProtocol1,
                          [](int zlib_code) noexcept {
                            kiv_show_message(msg::kCompressFailed, zlib_code, line::kCompressFailed,
                                             kSource, kProtocol1);
                          },
                          true};
constexpr Export kExport2{
    kProtocol2, func_id::kHttpAccessProtocol2,
    [](int) noexcept {
      kiv_show_message("Error: Failed to call compress, in http_access_protoco2()");
    },
    false};

// Compresses the request and posts it; on success the answer is in *answer.
int32_t exchange(const Export& from, const char* host, const char* url, uint32_t port,
                 const char* protocol, const char* request_data, int32_t request_size,
                 RespondBag* answer) noexcept {
  RequestBody body;
  int zlib_code = Z_OK;
  switch (pack_request(request_data, request_size, &body, &zlib_code)) {
    case Packing::kPacked:
    case Packing::kNoRequest:
      break;
    case Packing::kNoMemory:
      kiv_show_message("Error: Failed to call malloc, in %s()", from.name);
      return KIV_E_NO_MEMORY;
    case Packing::kZlibFailed:
      from.compress_failed(zlib_code);
      report::zlib_failed(from.func_id, "compress", zlib_code);
      return KIV_E_COMPRESS;
  }
  const int32_t fetched =
      get_respond_data_bag(host, url, port, protocol, body.data.get(), body.size, answer);
  if (fetched != KIV_OK && from.logs_failed_exchange) {
    kiv_show_message(msg::kGetRespondFailed, line::kRespondFailed, kSource, from.name);
  }
  return fetched;
}

int32_t protocol1(const char* host, const char* url, uint32_t port, const char* protocol,
                  const char* request_data, int32_t request_size, char* respond_data,
                  uint32_t* respond_size) noexcept {
  // Nowhere to put the answer: refused before anything goes on the wire.
  if (respond_data == nullptr || respond_size == nullptr) {
    kiv_show_message("Error: PARAM, in %s()", kProtocol1);
    return KIV_E_MISSING_ARGUMENT;
  }
  if (!compress_bound() || !uncompress_bound()) {
    kiv_show_message("Error: zlib1.dll is not loaded, in %s()", kProtocol1);
    return KIV_E_COMPRESS;
  }

  RespondBag answer;
  const int32_t fetched =
      exchange(kExport1, host, url, port, protocol, request_data, request_size, &answer);
  if (fetched != KIV_OK) return fetched;

  static constexpr Bytef kNothing = 0;  // an empty answer still needs a valid pointer
  const Bytef* source =
      answer.data != nullptr ? reinterpret_cast<const Bytef*>(answer.data.get()) : &kNothing;
  uLongf length = *respond_size;
  const int code = bindings().zlib.uncompress(reinterpret_cast<Bytef*>(respond_data), &length,
                                              source, static_cast<uLong>(answer.size));
  if (code != Z_OK) {
    kiv_show_message(msg::kUncompressFailed, line::kUncompressFailed, kSource, kProtocol1, code);
    report::zlib_failed(func_id::kHttpAccessProtocol1, "uncompress", code);
    return KIV_E_UNCOMPRESS;
  }
  *respond_size = static_cast<uint32_t>(length);
  return KIV_OK;
}

int32_t protocol2(const char* host, const char* url, uint32_t port, const char* protocol,
                  const char* request_data, int32_t request_size, const char* save_file) noexcept {
  if (!compress_bound()) {
    kiv_show_message("Error: zlib1.dll is not loaded, in %s()", kProtocol2);
    return KIV_E_COMPRESS;
  }

  RespondBag answer;
  const int32_t fetched =
      exchange(kExport2, host, url, port, protocol, request_data, request_size, &answer);
  if (fetched != KIV_OK) return fetched;
  return svcquery::save_services_list_to_file(save_file, answer.data.get(), answer.size);
}

}  // namespace
}  // namespace kiv::svcquery::transport

using kiv::svcquery::transport::logged_request;
using kiv::svcquery::transport::protocol1;
using kiv::svcquery::transport::protocol2;
using kiv::svcquery::transport::text_or_null;

extern "C" KIV_SVCQUERY_API int32_t http_access_protocol1(const char* host, const char* url,
                                                          uint32_t port, const char* protocol,
                                                          const char* request_data,
                                                          int32_t request_size, char* respond_data,
                                                          uint32_t* respond_size) {
  kiv_show_message("Enter %s", "http_access_protocol1");
  const auto request = logged_request(request_data, request_size);
  kiv_show_message("host:%s, url: %s, protocol: %s, request_data: %.*s, request_size :%d",
                   text_or_null(host), text_or_null(url), text_or_null(protocol), request.length,
                   request.text, request_size);
  const int32_t result = kiv::svcquery::guarded("http_access_protocol1", KIV_E_NO_MEMORY, [&] {
    return protocol1(host, url, port, protocol, request_data, request_size, respond_data,
                     respond_size);
  });
  kiv_show_message("Exit %s", "http_access_protocol1");
  return result;
}

extern "C" KIV_SVCQUERY_API int32_t http_access_protocol2(const char* host, const char* url,
                                                          uint32_t port, const char* protocol,
                                                          const char* request_data,
                                                          int32_t request_size,
                                                          const char* saveFile) {
  kiv_show_message("Enter %s", "http_access_protocol2");
  const auto request = logged_request(request_data, request_size);
  kiv_show_message(
      "host:%s, url: %s, protocol: %s, request_data: %.*s, request_size :%d saveFile: %s",
      text_or_null(host), text_or_null(url), text_or_null(protocol), request.length, request.text,
      request_size, text_or_null(saveFile));
  const int32_t result = kiv::svcquery::guarded("http_access_protocol2", KIV_E_NO_MEMORY, [&] {
    return protocol2(host, url, port, protocol, request_data, request_size, saveFile);
  });
  kiv_show_message("Exit %s", "http_access_protocol2");
  return result;
}
