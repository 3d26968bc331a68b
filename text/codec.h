// Byte-level helpers shared by the stand-in, the tool, the tests and the
// benchmarks: the zlib stream the service and the log server exchange, and
// the client's code page.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kiv::codec {

// The most the stand-in and the tool take of any one body: an HTTP body as
// it comes, a request, answer or record inflated, a file the tool sends. The
// libraries never send more than a few MiB; an HTTP body over the limit is
// answered with 413, a record over it is kept as the datagram that came.
inline constexpr std::size_t kBodyLimit = 16u << 20;

// zlib `compress` at the default level: the body format of every request,
// answer and report datagram.
std::string zlib_compress(std::string_view data);

// Inflates one complete zlib stream. Returns nothing (and says why in
// `error`) when the bytes are not a complete stream, carry bytes after it,
// or inflate to more than `limit` bytes.
std::optional<std::string> zlib_inflate(std::string_view bytes, std::size_t limit,
                                        std::string* error);

// As zlib_inflate, inflating as a stream and keeping only the first `keep`
// bytes; `*total` becomes the whole length. A bomb costs time, not memory.
std::optional<std::string> zlib_inflate_start(std::string_view bytes, std::size_t keep,
                                              std::size_t limit, std::size_t* total,
                                              std::string* error);

// UTF-8 text in the client's code page (GBK). Returns nothing (and says why
// in `error`) when the text is not UTF-8 or holds a character GBK lacks.
std::optional<std::string> utf8_to_gbk(std::string_view text, std::string* error);

// GBK text as UTF-8. Returns nothing when some bytes are not GBK, that is
// when the UTF-8 text would not turn back into the same bytes.
std::optional<std::string> gbk_to_utf8_exact(std::string_view gbk);

// True when the bytes are plain ASCII (identical in UTF-8 and GBK).
bool is_ascii(std::string_view text) noexcept;

}  // namespace kiv::codec
