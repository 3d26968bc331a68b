// Small rules that the libraries share, each written once: a copy that
// never overruns its buffer, the room zlib's compress is given, and the edge
// that keeps every C++ exception inside an export.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>

namespace kiv {

// Copies `text` into a buffer of `size` bytes, cut to size - 1 bytes and
// always terminated; nothing when size is 0. Returns the bytes copied.
inline std::size_t copy_bounded(char* out, std::size_t size, std::string_view text) noexcept {
  if (out == nullptr || size == 0) return 0;
  const std::size_t count = text.size() < size - 1 ? text.size() : size - 1;
  if (count > 0) std::memcpy(out, text.data(), count);
  out[count] = '\0';
  return count;
}

// The same for a NUL-terminated text; null copies the empty text.
inline std::size_t copy_bounded(char* out, std::size_t size, const char* text) noexcept {
  return copy_bounded(out, size, text != nullptr ? std::string_view(text) : std::string_view());
}

// The output room compress() is given for `length` bytes of input: the
// input and 13 bytes more, which holds zlib's stream of any text the
// libraries compress (requests and records); a text that does not fit fails
// as a compression error.
inline constexpr std::size_t compress_room(std::size_t length) noexcept {
  return length + 13;
}

// Runs `work` and returns what it returns; an exception escaping it is
// handed to `on_exception` instead (with true for an allocation failure),
// whose result is returned. Nothing escapes to the client program.
template <typename Work, typename OnException>
auto contained(Work&& work, OnException&& on_exception) noexcept {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return on_exception(true);
  } catch (...) {
    return on_exception(false);
  }
}

}  // namespace kiv
