// The zlib stream as the tests use it: the stand-in's codec, with no limit on
// what a stream inflates to.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "codec.h"

namespace kiv::test {

// zlib's compress at the default level, as the libraries and the service use it.
using kiv::codec::zlib_compress;

// Inflates one zlib stream; false when the bytes are not one.
inline bool zlib_inflate(std::string_view bytes, std::string* text) {
  auto inflated = kiv::codec::zlib_inflate(bytes, std::numeric_limits<std::size_t>::max(), nullptr);
  if (!inflated) return false;
  *text = std::move(*inflated);
  return true;
}

}  // namespace kiv::test
