// The one decimal number parser of the tool and the stand-in: the whole text,
// digits only (a sign where the type has one), within [low, high].
#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

namespace kiv::standin {

template <typename T>
std::optional<T> parse_number(std::string_view text, T low, T high) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
      value > high) {
    return std::nullopt;
  }
  return value;
}

}  // namespace kiv::standin
