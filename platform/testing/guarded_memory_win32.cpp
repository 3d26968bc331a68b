// Win32 side of guarded memory, for the tests.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "guarded_memory.h"

namespace kiv::platform {

GuardedMapping map_guarded(size_t size) noexcept {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  const size_t page = system.dwPageSize != 0 ? system.dwPageSize : 4096;
  const size_t pages = (size + page - 1) / page + 1;  // the last one is the guard
  void* base = VirtualAlloc(nullptr, pages * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (base == nullptr) return {};
  char* guard = static_cast<char*>(base) + (pages - 1) * page;
  DWORD old_protection = 0;
  if (!VirtualProtect(guard, page, PAGE_NOACCESS, &old_protection)) {
    VirtualFree(base, 0, MEM_RELEASE);
    return {};
  }
  return {base, pages * page, guard - size};
}

void unmap_guarded(const GuardedMapping& mapping) noexcept {
  VirtualFree(mapping.base, 0, MEM_RELEASE);
}

}  // namespace kiv::platform
