#include "codec.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "gbk_text.h"

namespace kiv::codec {

std::string zlib_compress(std::string_view data) {
  uLongf capacity = compressBound(static_cast<uLong>(data.size()));
  std::string out(capacity, '\0');
  const int z =
      compress(reinterpret_cast<Bytef*>(out.data()), &capacity,
               reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()));
  if (z != Z_OK) throw std::runtime_error("zlib compress failed");
  out.resize(capacity);
  return out;
}

std::optional<std::string> zlib_inflate(std::string_view bytes, std::size_t limit,
                                        std::string* error) {
  return zlib_inflate_start(bytes, limit, limit, nullptr, error);
}

std::optional<std::string> zlib_inflate_start(std::string_view bytes, std::size_t keep,
                                              std::size_t limit, std::size_t* total,
                                              std::string* error) {
  auto fail = [error](const char* why) -> std::optional<std::string> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  if (bytes.empty()) return fail("empty, not a zlib stream");

  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return fail("zlib could not start");
  // Ends the inflate state on every way out.
  auto end = [](z_stream* s) { inflateEnd(s); };
  std::unique_ptr<z_stream, decltype(end)> guard(&stream, end);

  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  std::string out;
  std::size_t length = 0;
  char chunk[16384];
  for (;;) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    const int z = inflate(&stream, Z_NO_FLUSH);
    const std::size_t n = sizeof chunk - stream.avail_out;
    length += n;
    if (out.size() < keep) out.append(chunk, std::min(n, keep - out.size()));
    if (length > limit) return fail("inflates beyond the size limit");
    if (z == Z_STREAM_END) break;
    if (z == Z_OK) continue;
    if (z == Z_BUF_ERROR && stream.avail_in == 0) return fail("truncated zlib stream");
    return fail("not a zlib stream");
  }
  if (stream.avail_in != 0) return fail("bytes after the end of the zlib stream");
  if (total != nullptr) *total = length;
  return out;
}

bool is_ascii(std::string_view text) noexcept {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

namespace {

// GBK bytes (lead * 256 + trail) of each character of the Basic Multilingual
// Plane, 0 where GBK has none: the inverse of the table the texts are shown
// with, so that what is sent shows back as the same text on every system.
const std::vector<uint16_t>& gbk_encoding() {
  static const std::vector<uint16_t> table = [] {
    std::vector<uint16_t> codes(0x10000, 0);
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
      for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
        const char16_t c = kiv::text::gbk_character(static_cast<unsigned char>(lead),
                                                    static_cast<unsigned char>(trail));
        if (c >= 0x80 && codes[c] == 0) codes[c] = static_cast<uint16_t>(lead << 8 | trail);
      }
    }
    return codes;
  }();
  return table;
}

// The one character GBK gives a single byte above ASCII.
constexpr uint32_t kEuroSign = 0x20AC;
constexpr char kEuroByte = '\x80';
constexpr uint32_t kFirstTag = 0xE0000;
constexpr uint32_t kLastTag = 0xE007F;

enum class Utf8 { kCharacter, kInvalid, kTruncated };

// Decodes the character at `text[*at]` into `*code` and moves past it.
// Overlong forms, surrogates and code points above U+10FFFF are invalid. A
// text that ends inside a sequence is truncated: the lead bytes of the old
// five- and six-byte forms count too, as for the system's converter.
Utf8 next_character(std::string_view text, size_t* at, uint32_t* code) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(*at);
  if (first < 0x80) {
    *code = first;
    *at += 1;
    return Utf8::kCharacter;
  }
  size_t length = 0;
  uint32_t lowest = 0;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2, lowest = 0x80;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3, lowest = 0x800;
  } else if (first >= 0xF0 && first <= 0xF7) {
    length = 4, lowest = 0x10000;
  } else if (first >= 0xF8 && first <= 0xFB) {
    length = 5, lowest = 0x200000;
  } else if (first >= 0xFC && first <= 0xFD) {
    length = 6, lowest = 0x4000000;
  } else {
    return Utf8::kInvalid;
  }
  uint32_t value = first & (0x7Fu >> length);
  for (size_t i = 1; i < length; ++i) {
    if (*at + i >= text.size()) return Utf8::kTruncated;
    if ((byte(*at + i) & 0xC0) != 0x80) return Utf8::kInvalid;
    value = value << 6 | (byte(*at + i) & 0x3Fu);
  }
  if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return Utf8::kInvalid;
  }
  *code = value;
  *at += length;
  return Utf8::kCharacter;
}

}  // namespace

std::optional<std::string> utf8_to_gbk(std::string_view text, std::string* error) {
  if (is_ascii(text)) return std::string(text);
  const std::vector<uint16_t>& encoding = gbk_encoding();
  std::string out;
  out.reserve(text.size());  // GBK never takes more bytes than UTF-8
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = at;
    uint32_t code = 0;
    const Utf8 read = next_character(text, &at, &code);
    const uint16_t gbk = read == Utf8::kCharacter && code < encoding.size() ? encoding[code] : 0;
    if (read == Utf8::kCharacter && code < 0x80) {
      out += static_cast<char>(code);
    } else if (read == Utf8::kCharacter && code == kEuroSign) {
      out += kEuroByte;
    } else if (read == Utf8::kCharacter && code >= kFirstTag && code <= kLastTag) {
      // Language tags carry no text of their own: dropped, as other converters to GBK do.
    } else if (gbk != 0) {
      out += static_cast<char>(gbk >> 8);
      out += static_cast<char>(gbk & 0xFF);
    } else {
      if (error != nullptr) {
        *error = (read == Utf8::kTruncated
                      ? "text that is not UTF-8, at byte "
                      : "a character GBK cannot hold, or text that is not UTF-8, at byte ") +
                 std::to_string(start);
      }
      return std::nullopt;
    }
  }
  return out;
}

std::optional<std::string> gbk_to_utf8_exact(std::string_view gbk) {
  std::string utf8 = kiv::text::gbk_to_utf8(gbk);
  // Undecodable bytes come out as \xNN escapes, which do not turn back.
  const auto back = utf8_to_gbk(utf8, nullptr);
  if (!back || *back != gbk) return std::nullopt;
  return utf8;
}

}  // namespace kiv::codec
