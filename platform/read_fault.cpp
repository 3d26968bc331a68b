#include "read_fault.h"

namespace kiv::platform {

detail::ReadFault detail::g_read_fault;

void inject_read_fault(size_t bytes, int error) noexcept {
  detail::g_read_fault.bytes = bytes;
  detail::g_read_fault.error = error;
  detail::g_read_fault.armed.store(true, std::memory_order_release);
}

void clear_read_fault() noexcept {
  detail::g_read_fault.armed.store(false, std::memory_order_release);
}

}  // namespace kiv::platform
