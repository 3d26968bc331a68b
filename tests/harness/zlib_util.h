#pragma once

#include <string>
#include <string_view>

namespace kiv::test {

// zlib's compress at the default level, as the libraries and the service use it.
std::string zlib_compress(std::string_view text);

// Inflates one zlib stream; false when the bytes are not one.
bool zlib_inflate(std::string_view bytes, std::string* text);

}  // namespace kiv::test
