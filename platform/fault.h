// The one way a test makes a system call fail. A test arms a call for the
// life of a ScopedFault; the platform functions (and the query transport,
// whose transfer libcurl makes) ask `armed` first, which costs one atomic
// load while nothing is armed. Library code never arms anything.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kiv::platform::fault {

// The calls that can be made to fail, by the platform function that makes them.
enum class Call : uint8_t {
  kOpen,          // open_for_reading
  kCreate,        // create_new
  kRead,          // read_file
  kWrite,         // write_file
  kFlush,         // flush_file
  kReplace,       // replace_file
  kSocketsStart,  // sockets_start
  kLookup,        // lookup_ipv4
  kLibraryLoad,   // load_library
  kTransfer,      // the query transport's HTTP exchange
  kCount,
};

// What an armed call does. The first `after_calls` calls go through
// untouched; from then on every call fails, leaving `error` as its last
// error (the socket error for kSocketsStart and kLookup, the transfer's
// libcurl code for kTransfer). A read or a write first lets `after_bytes`
// bytes in all go through. With `error` 0 the call succeeds with nothing
// instead: a read at the end of the file, a write that stops short, a lookup
// without an address, a transfer whose 200 answer is `answer`.
struct Failure {
  int error = 0;
  unsigned after_calls = 0;
  size_t after_bytes = 0;
  std::string_view answer = {};  // kTransfer only; the test keeps the bytes alive
};

// Arms `call` while it lives; one at a time for each call. Safe while other
// threads make the call: they see the failure or the system's own result.
class ScopedFault {
 public:
  ScopedFault(Call call, const Failure& failure) noexcept;
  ~ScopedFault();
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;

 private:
  Call call_;
};

namespace detail {
extern std::atomic<uint32_t> g_armed;  // one bit for each Call
// How an armed call learns what to do: set by the first ScopedFault. The
// arming (platform/testing/fault_arming.cpp) is linked by the tests alone;
// the libraries carry only the load of g_armed and these two pointers.
struct Arming {
  bool (*fails_now)(Call call, Failure* failure) noexcept;
  size_t (*bytes_through)(Call call, size_t count, Failure* failure) noexcept;
};
extern std::atomic<const Arming*> g_arming;
}  // namespace detail

// For the callers of the system: whether a test has armed `call`.
inline bool armed(Call call) noexcept {
  return (detail::g_armed.load(std::memory_order_acquire) >> static_cast<unsigned>(call) & 1u) != 0;
}

// Counts one call of an armed `call`: true when it is to fail now, with
// `*failure` saying how.
bool fails_now(Call call, Failure* failure) noexcept;

// For a read or a write of `count` bytes on an armed call: how many of them
// go through (all of them while the fault is not due); when fewer, the call
// fails as `*failure` says once they have.
size_t bytes_through(Call call, size_t count, Failure* failure) noexcept;

}  // namespace kiv::platform::fault
