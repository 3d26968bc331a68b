#include "zlib_util.h"

#include <zlib.h>

#include <stdexcept>

namespace kiv::test {

std::string zlib_compress(std::string_view text) {
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::string out(size, '\0');
  if (compress(reinterpret_cast<Bytef*>(out.data()), &size,
               reinterpret_cast<const Bytef*>(text.data()),
               static_cast<uLong>(text.size())) != Z_OK) {
    throw std::runtime_error("compress failed");
  }
  out.resize(size);
  return out;
}

bool zlib_inflate(std::string_view bytes, std::string* text) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  std::string out;
  char chunk[16384];
  int rc;
  do {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    rc = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - stream.avail_out);
  } while (rc == Z_OK);
  const bool whole = rc == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  if (whole) *text = std::move(out);
  return whole;
}

}  // namespace kiv::test
