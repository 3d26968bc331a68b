// Display of GBK byte text: each message on one readable line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kiv::text {

// Appends `message` to `out` as one display line: GBK characters as UTF-8
// (when `utf8` is set, raw bytes otherwise), bytes that are not GBK as \xNN,
// control characters escaped; a single trailing line feed of the message is
// dropped and exactly one line feed ends the line.
void append_display_line(std::string_view message, bool utf8, std::string& out);

// Converts GBK text to UTF-8, undecodable bytes as \xNN.
std::string gbk_to_utf8(std::string_view text);

// The character (a code point of the Basic Multilingual Plane) of a GBK
// double-byte pair; 0 where GBK has none.
char16_t gbk_character(unsigned char lead, unsigned char trail) noexcept;

// The longest prefix of `text` of at most `limit` bytes that does not split a
// GBK double-byte character.
std::size_t gbk_clean_prefix(std::string_view text, std::size_t limit) noexcept;

}  // namespace kiv::text
