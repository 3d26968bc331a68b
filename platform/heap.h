// Heap blocks owned by RAII handles. The libraries take their working memory
// with malloc so that an allocation failure is a result, never an exception.
#pragma once

#include <cstdlib>
#include <memory>

namespace kiv {

struct FreeDeleter {
  void operator()(void* block) const noexcept { std::free(block); }
};

template <typename T = char>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// Null when the allocation fails.
template <typename T = char>
HeapPtr<T> heap_allocate(std::size_t count) noexcept {
  return HeapPtr<T>(static_cast<T*>(std::malloc(count * sizeof(T))));
}

// Zero-filled; null when the allocation fails.
template <typename T = char>
HeapPtr<T> heap_allocate_zeroed(std::size_t count) noexcept {
  return HeapPtr<T>(static_cast<T*>(std::calloc(count, sizeof(T))));
}

}  // namespace kiv
