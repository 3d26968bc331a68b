// One owner for every kind of resource the libraries hold: a loaded library,
// an open file, a socket, a parsed document. `Traits` names the kind:
//
//   struct Traits {
//     using Value = ...;                       // what the system hands out
//     static constexpr Value kInvalid = ...;   // what it hands out on failure
//     static void close(Value) noexcept;       // gives a valid value back
//   };
//
// A Handle closes what it holds when it goes out of scope or is reset; it
// moves and never copies, so each resource has exactly one owner.
#pragma once

#include <utility>

namespace kiv::platform {

template <typename Traits>
class Handle {
 public:
  using Value = typename Traits::Value;

  Handle() = default;
  explicit Handle(Value value) noexcept : value_(value) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : value_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  explicit operator bool() const noexcept { return value_ != Traits::kInvalid; }
  Value get() const noexcept { return value_; }
  // Gives up ownership without closing.
  Value release() noexcept { return std::exchange(value_, Traits::kInvalid); }
  // Closes what is held, then holds `value`.
  void reset(Value value = Traits::kInvalid) noexcept {
    const Value old = std::exchange(value_, value);
    if (old != Traits::kInvalid) Traits::close(old);
  }

 private:
  Value value_ = Traits::kInvalid;
};

}  // namespace kiv::platform
