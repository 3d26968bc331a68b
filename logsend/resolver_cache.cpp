#include "resolver_cache.h"

#include <chrono>
#include <cstring>

#include "lasting.h"

namespace kiv::logsend {

uint64_t ResolverCache::steady_milliseconds() noexcept {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

ResolverCache::Entry* ResolverCache::find(const char* name) noexcept {
  for (Entry& entry : entries_) {
    if (entry.name[0] != '\0' && std::strcmp(entry.name, name) == 0) return &entry;
  }
  return nullptr;
}

// An unused entry, else the one that expires first; null while every entry
// is being looked up.
ResolverCache::Entry* ResolverCache::claim(const char* name) noexcept {
  Entry* chosen = nullptr;
  for (Entry& entry : entries_) {
    if (entry.in_flight) continue;
    if (entry.name[0] == '\0') {
      chosen = &entry;
      break;
    }
    if (chosen == nullptr || entry.expires_ms < chosen->expires_ms) chosen = &entry;
  }
  if (chosen != nullptr) std::strcpy(chosen->name, name);  // length checked by the caller
  return chosen;
}

ResolverCache::LookupResult ResolverCache::answer(const Entry& entry, char (&out)[16]) noexcept {
  if (entry.result == LookupResult::kAddress) std::memcpy(out, entry.address, sizeof out);
  if (entry.result == LookupResult::kFailed) platform::set_socket_last_error(entry.error);
  return entry.result;
}

ResolverCache::LookupResult ResolverCache::lookup(const char* name, char (&out)[16]) noexcept {
  if (name == nullptr || std::strlen(name) >= kNameSize) return lookup_(name, out);
  try {
    std::unique_lock guard(lock_);
    Entry* entry = find(name);
    while (entry != nullptr && entry->in_flight) {
      settled_.wait(guard);
      entry = find(name);  // the entry may have been given to another name meanwhile
    }
    if (entry != nullptr && clock_() < entry->expires_ms) return answer(*entry, out);
    if (entry == nullptr) entry = claim(name);
    if (entry == nullptr) {
      guard.unlock();
      return lookup_(name, out);
    }
    entry->in_flight = true;
    guard.unlock();

    // The system is asked without the lock: other names are answered meanwhile.
    char found[16] = {};
    const LookupResult result = lookup_(name, found);
    const int error = platform::socket_last_error();

    guard.lock();
    entry->in_flight = false;
    entry->result = result;
    std::memcpy(entry->address, found, sizeof found);
    entry->error = error;
    entry->expires_ms =
        clock_() + (result == LookupResult::kAddress ? kAnswerKeptMs : kFailureKeptMs);
    settled_.notify_all();
    return answer(*entry, out);
  } catch (...) {
    // Only taking the lock can throw; the system is asked directly then.
    return lookup_(name, out);
  }
}

ResolverCache& shared_resolver_cache() noexcept {
  // Never destroyed: reports may still be waiting on it while the process exits.
  static Lasting<ResolverCache> cache(platform::lookup_ipv4);
  return *cache;
}

}  // namespace kiv::logsend
