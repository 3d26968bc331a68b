#include "fault.h"

namespace kiv::platform::fault {

std::atomic<uint32_t> detail::g_armed{0};
std::atomic<const detail::Arming*> detail::g_arming{nullptr};

bool fails_now(Call call, Failure* failure) noexcept {
  const detail::Arming* arming = detail::g_arming.load(std::memory_order_acquire);
  return arming != nullptr && arming->fails_now(call, failure);
}

size_t bytes_through(Call call, size_t count, Failure* failure) noexcept {
  const detail::Arming* arming = detail::g_arming.load(std::memory_order_acquire);
  return arming != nullptr ? arming->bytes_through(call, count, failure) : count;
}

}  // namespace kiv::platform::fault
