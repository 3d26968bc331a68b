// Memory whose end the system guards, for tests of bounded reads: a block
// of `size` bytes that ends exactly where a page without any access begins,
// so that reading even one byte past it faults at once, in every build.
// Only a program that links the platform layer itself reaches it; no
// library calls it.
#pragma once

#include <cstddef>

namespace kiv::platform {

struct GuardedMapping {
  void* base = nullptr;  // null when the system refused
  size_t length = 0;     // of the whole mapping, the guard page included
  char* data = nullptr;  // the block: `size` bytes ending at the guard page
};
GuardedMapping map_guarded(size_t size) noexcept;
void unmap_guarded(const GuardedMapping& mapping) noexcept;

// Owns one guarded block.
class GuardedBlock {
 public:
  explicit GuardedBlock(size_t size) noexcept : size_(size), mapping_(map_guarded(size)) {}
  ~GuardedBlock() {
    if (mapping_.base != nullptr) unmap_guarded(mapping_);
  }
  GuardedBlock(const GuardedBlock&) = delete;
  GuardedBlock& operator=(const GuardedBlock&) = delete;

  explicit operator bool() const noexcept { return mapping_.base != nullptr; }
  char* data() const noexcept { return mapping_.data; }
  size_t size() const noexcept { return size_; }

 private:
  size_t size_;
  GuardedMapping mapping_;
};

}  // namespace kiv::platform
