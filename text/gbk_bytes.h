// The byte classes of GBK double-byte characters, shared by the logger's
// display and the report records' escaping.
#pragma once

namespace kiv::gbk {

constexpr bool is_lead(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}
constexpr bool is_trail(unsigned char c) {
  return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

}  // namespace kiv::gbk
