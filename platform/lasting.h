// A module-wide object that is built on first use or at load time and never
// destroyed: at process exit other threads may still be using it, and the
// system takes back its memory and handles anyway. Whatever it holds is
// released only by an explicit call (an unload while no call runs).
#pragma once

#include <memory>
#include <utility>

namespace kiv {

template <typename T>
class Lasting {
 public:
  template <typename... Args>
  constexpr explicit Lasting(Args&&... args) : value_(std::forward<Args>(args)...) {}
  // Deliberately leaves value_ alone.
  ~Lasting() {}
  Lasting(const Lasting&) = delete;
  Lasting& operator=(const Lasting&) = delete;

  constexpr T& operator*() noexcept { return value_; }
  constexpr T* operator->() noexcept { return &value_; }

 private:
  union {
    T value_;
  };
};

}  // namespace kiv
