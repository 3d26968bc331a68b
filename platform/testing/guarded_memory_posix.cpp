// POSIX side of guarded memory, for the tests.
#include <sys/mman.h>
#include <unistd.h>

#include "guarded_memory.h"

namespace kiv::platform {

GuardedMapping map_guarded(size_t size) noexcept {
  const long page_size = sysconf(_SC_PAGESIZE);
  const size_t page = page_size > 0 ? static_cast<size_t>(page_size) : 4096;
  const size_t pages = (size + page - 1) / page + 1;  // the last one is the guard
  void* base =
      mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return {};
  char* guard = static_cast<char*>(base) + (pages - 1) * page;
  if (mprotect(guard, page, PROT_NONE) != 0) {
    munmap(base, pages * page);
    return {};
  }
  return {base, pages * page, guard - size};
}

void unmap_guarded(const GuardedMapping& mapping) noexcept {
  munmap(mapping.base, mapping.length);
}

}  // namespace kiv::platform
