// The arming side of the fault seam (fault.h): what each armed call is to
// do, kept for the tests alone; the libraries only ask.
#include <algorithm>
#include <mutex>

#include "fault.h"

namespace kiv::platform::fault {
namespace {

struct Slot {
  Failure failure;
  unsigned calls_left = 0;
  size_t bytes_left = 0;
};

// Armed slots change only under the lock; `g_armed` says which to look at.
std::mutex g_lock;
Slot g_slots[static_cast<size_t>(Call::kCount)];

uint32_t bit(Call call) noexcept {
  return uint32_t{1} << static_cast<unsigned>(call);
}

bool armed_fails_now(Call call, Failure* failure) noexcept {
  const std::lock_guard guard(g_lock);
  if (!armed(call)) return false;  // disarmed since the caller looked
  Slot& slot = g_slots[static_cast<size_t>(call)];
  if (slot.calls_left > 0) {
    --slot.calls_left;
    return false;
  }
  *failure = slot.failure;
  return true;
}

size_t armed_bytes_through(Call call, size_t count, Failure* failure) noexcept {
  const std::lock_guard guard(g_lock);
  if (!armed(call)) return count;
  Slot& slot = g_slots[static_cast<size_t>(call)];
  if (slot.calls_left > 0) {
    --slot.calls_left;
    return count;
  }
  // The bytes are taken before the call moves them: a call that moves fewer
  // (a read at the end of the file) still spends them.
  const size_t through = std::min(count, slot.bytes_left);
  slot.bytes_left -= through;
  *failure = slot.failure;
  return through;
}

constexpr detail::Arming kArming{armed_fails_now, armed_bytes_through};

}  // namespace

ScopedFault::ScopedFault(Call call, const Failure& failure) noexcept : call_(call) {
  const std::lock_guard guard(g_lock);
  g_slots[static_cast<size_t>(call)] = {failure, failure.after_calls, failure.after_bytes};
  detail::g_arming.store(&kArming, std::memory_order_release);
  detail::g_armed.fetch_or(bit(call), std::memory_order_release);
}

ScopedFault::~ScopedFault() {
  const std::lock_guard guard(g_lock);
  detail::g_armed.fetch_and(~bit(call_), std::memory_order_release);
}

}  // namespace kiv::platform::fault
