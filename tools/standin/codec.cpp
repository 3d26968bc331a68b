#include "codec.h"

#include <iconv.h>
#include <zlib.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

namespace kiv::standin {

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
  char chunk[16384];
  for (;;) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    const int z = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - stream.avail_out);
    if (out.size() > limit) return fail("inflates beyond the size limit");
    if (z == Z_STREAM_END) break;
    if (z == Z_OK) continue;
    if (z == Z_BUF_ERROR && stream.avail_in == 0) return fail("truncated zlib stream");
    return fail("not a zlib stream");
  }
  if (stream.avail_in != 0) return fail("bytes after the end of the zlib stream");
  return out;
}

bool is_ascii(std::string_view text) noexcept {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::optional<std::string> utf8_to_gbk(std::string_view text, std::string* error) {
  if (is_ascii(text)) return std::string(text);
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    if (error != nullptr) *error = "the system has no UTF-8 to GBK converter";
    return std::nullopt;
  }
  auto close = [](void* c) { iconv_close(static_cast<iconv_t>(c)); };
  std::unique_ptr<void, decltype(close)> guard(cd, close);

  std::string in(text);
  std::string out(text.size() + 4, '\0');  // GBK never takes more bytes than UTF-8
  char* in_ptr = in.data();
  size_t in_left = in.size();
  char* out_ptr = out.data();
  size_t out_left = out.size();
  if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1)) {
    if (error != nullptr) {
      const size_t at = in.size() - in_left;
      *error = (errno == EILSEQ ? "a character GBK cannot hold, or text that is not UTF-8, at byte "
                                : "text that is not UTF-8, at byte ") +
               std::to_string(at);
    }
    return std::nullopt;
  }
  out.resize(out.size() - out_left);
  return out;
}

}  // namespace kiv::standin
