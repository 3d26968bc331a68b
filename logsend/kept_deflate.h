// zlib's compress() for the report channel, with the compression state's
// memory (about 270 KB at the default level) kept by the library from one
// record to the next instead of taken from and given back to the heap: the
// heap is not grown and trimmed around every record, and the process's
// allocator settings are left alone. The stream is the one compress()
// makes, byte for byte: deflateInit at the default level, one deflate with
// Z_FINISH, deflateEnd.
#pragma once

#include <zlib.h>

namespace kiv::logsend {

// zlib's stream entry points, bound from the record's zlib.
struct DeflateApi {
  decltype(&::deflateInit_) init = nullptr;
  decltype(&::deflate) deflate = nullptr;
  decltype(&::deflateEnd) end = nullptr;
};

// As compress(out, out_length, in, in_length), with compress's result codes
// (Z_BUF_ERROR when the output does not fit). Safe from any thread: each
// call has a block of its own, taken from those kept or made afresh.
int compress_kept(const DeflateApi& zlib, Bytef* out, uLongf* out_length, const Bytef* in,
                  uLong in_length) noexcept;

}  // namespace kiv::logsend
