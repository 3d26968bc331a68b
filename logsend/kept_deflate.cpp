#include "kept_deflate.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

namespace kiv::logsend {
namespace {

// One block holds the whole state of a default-level stream (zlib 1.2 and
// 1.3: about 268 KB in five pieces); a piece that does not fit in what is
// left comes from the heap instead.
constexpr std::size_t kBlockBytes = 320 * 1024;
// Blocks kept for reuse: as many as reports compress at once, up to this.
// Beyond it a block goes back to the heap after its record.
constexpr std::size_t kKeptBlocks = 16;

constinit std::atomic<unsigned char*> g_kept[kKeptBlocks] = {};

// Lock-free, so that it is safe at any moment, process exit included.
unsigned char* take_block() noexcept {
  for (auto& slot : g_kept) {
    if (unsigned char* block = slot.exchange(nullptr, std::memory_order_acquire)) return block;
  }
  return static_cast<unsigned char*>(std::malloc(kBlockBytes));
}

void keep_block(unsigned char* block) noexcept {
  for (auto& slot : g_kept) {
    unsigned char* empty = nullptr;
    if (slot.compare_exchange_strong(empty, block, std::memory_order_release)) return;
  }
  std::free(block);
}

#if !defined(_WIN32)
// An unload gives the kept blocks back (a block in use is not among them).
// Not on Windows, whose process exit runs this after ending the other
// threads, one of which may hold the heap's lock: the system takes the
// blocks back with the process.
struct KeptBlocksReleased {
  ~KeptBlocksReleased() {
    for (auto& slot : g_kept) std::free(slot.exchange(nullptr));
  }
} g_released_at_unload;
#endif

// The pieces of one stream, carved one after another out of its block.
struct Carving {
  unsigned char* block;
  std::size_t used = 0;

  bool holds(const void* piece) const noexcept {
    const auto* p = static_cast<const unsigned char*>(piece);
    return block != nullptr && p >= block && p < block + kBlockBytes;
  }
};

voidpf carve(voidpf opaque, uInt items, uInt size) {
  auto* carving = static_cast<Carving*>(opaque);
  constexpr std::size_t kAlign = alignof(std::max_align_t);
  const std::size_t bytes = (static_cast<std::size_t>(items) * size + kAlign - 1) / kAlign * kAlign;
  if (carving->block != nullptr && bytes <= kBlockBytes - carving->used) {
    void* piece = carving->block + carving->used;
    carving->used += bytes;
    return piece;
  }
  return std::malloc(static_cast<std::size_t>(items) * size);
}

void uncarve(voidpf opaque, voidpf piece) {
  if (!static_cast<Carving*>(opaque)->holds(piece)) std::free(piece);
}

}  // namespace

int compress_kept(const DeflateApi& zlib, Bytef* out, uLongf* out_length, const Bytef* in,
                  uLong in_length) noexcept {
  Carving carving{take_block()};
  z_stream stream{};
  stream.zalloc = carve;
  stream.zfree = uncarve;
  stream.opaque = &carving;
  stream.next_in = const_cast<Bytef*>(in);  // zlib's API is not const-correct; it only reads
  stream.avail_in = static_cast<uInt>(in_length);
  stream.next_out = out;
  stream.avail_out = static_cast<uInt>(*out_length);
  int code =
      zlib.init(&stream, Z_DEFAULT_COMPRESSION, ZLIB_VERSION, static_cast<int>(sizeof stream));
  if (code == Z_OK) {
    code = zlib.deflate(&stream, Z_FINISH);
    zlib.end(&stream);
    if (code == Z_STREAM_END) {
      *out_length = stream.total_out;
      code = Z_OK;
    } else if (code == Z_OK) {
      code = Z_BUF_ERROR;  // the output had no room for the whole stream
    }
  }
  if (carving.block != nullptr) keep_block(carving.block);
  return code;
}

}  // namespace kiv::logsend
