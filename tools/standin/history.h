// What the stand-in keeps of what it received, bounded: at most a number of
// entries and a number of bytes of their texts. The oldest go first, and the
// history counts how many went, so that a reader can say that some are missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <utility>
#include <vector>

namespace kiv::standin {

template <typename Entry>
class History {
 public:
  History(std::size_t max_entries, std::size_t max_bytes)
      : max_entries_(max_entries), max_bytes_(max_bytes) {}

  // Keeps `entry`, whose texts take `bytes`, dropping the oldest entries
  // until both bounds hold again. An entry larger than the byte bound on its
  // own is kept alone.
  void push(Entry entry, std::size_t bytes) {
    kept_.push_back({std::move(entry), bytes});
    bytes_ += bytes;
    while (kept_.size() > 1 && (kept_.size() > max_entries_ || bytes_ > max_bytes_)) {
      bytes_ -= kept_.front().bytes;
      kept_.pop_front();
      ++dropped_;
    }
  }

  // Takes up to `count` entries, oldest first.
  std::vector<Entry> take(std::size_t count = std::numeric_limits<std::size_t>::max()) {
    std::vector<Entry> out;
    while (out.size() < count && !kept_.empty()) {
      bytes_ -= kept_.front().bytes;
      out.push_back(std::move(kept_.front().entry));
      kept_.pop_front();
    }
    return out;
  }

  std::size_t size() const { return kept_.size(); }
  std::size_t bytes() const { return bytes_; }
  // Entries dropped to keep the bounds, since the start.
  uint64_t dropped() const { return dropped_; }

 private:
  struct Kept {
    Entry entry;
    std::size_t bytes;
  };
  std::size_t max_entries_;
  std::size_t max_bytes_;
  std::deque<Kept> kept_;
  std::size_t bytes_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace kiv::standin
