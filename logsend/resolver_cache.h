// Recent answers of the IPv4 lookup, kept by name: what the system's resolver
// cache gives gethostbyname on Windows, here on every system alike. A log
// report looks its server up for every record; with the cache a resolver that
// does not answer stalls one report per interval instead of every report.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform.h"

namespace kiv::logsend {

// An address is kept for five minutes: a log server's address rarely
// changes, and a changed name is looked up at once, as the cache is keyed by
// name. A failed lookup (no answer, a time-out, or no IPv4 address) is kept
// for thirty seconds: long enough that a dead resolver costs one wait per
// half minute instead of one per report, short enough that a resolver that
// recovers is used again soon.
inline constexpr uint64_t kAnswerKeptMs = 5 * 60 * 1000;
inline constexpr uint64_t kFailureKeptMs = 30 * 1000;

class ResolverCache {
 public:
  using LookupResult = platform::LookupResult;
  using Lookup = LookupResult (*)(const char* name, char (&out)[16]) noexcept;
  using Clock = uint64_t (*)() noexcept;  // milliseconds, never going back

  static uint64_t steady_milliseconds() noexcept;

  explicit ResolverCache(Lookup lookup, Clock clock = steady_milliseconds) noexcept
      : lookup_(lookup), clock_(clock) {}
  ResolverCache(const ResolverCache&) = delete;
  ResolverCache& operator=(const ResolverCache&) = delete;

  // As `lookup`, answered from the cache while its entry for `name` is
  // recent; a remembered failure comes back with its socket error number.
  // Callers asking for a name while it is being looked up wait for that one
  // lookup instead of starting their own. Safe from any thread.
  LookupResult lookup(const char* name, char (&out)[16]) noexcept;

 private:
  static constexpr size_t kEntries = 8;
  static constexpr size_t kNameSize = 256;  // DNS names have at most 253 characters

  struct Entry {
    char name[kNameSize] = {};  // empty: unused
    bool in_flight = false;
    LookupResult result = LookupResult::kFailed;
    char address[16] = {};
    int error = 0;
    uint64_t expires_ms = 0;
  };

  Entry* find(const char* name) noexcept;
  Entry* claim(const char* name) noexcept;
  static LookupResult answer(const Entry& entry, char (&out)[16]) noexcept;

  Lookup lookup_;
  Clock clock_;
  std::mutex lock_;
  std::condition_variable settled_;
  Entry entries_[kEntries];
};

// The cache in front of the system's lookup that the library's reports share.
ResolverCache& shared_resolver_cache() noexcept;

}  // namespace kiv::logsend
