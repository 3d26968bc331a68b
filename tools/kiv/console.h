// The console of `kiv serve`: every line goes through one writer thread and a
// bounded queue. A console that does not keep up (a pipe nobody reads, a
// pager, Ctrl-S in a terminal) costs lines, which are counted and the count
// shown once it drains; it never holds up the thread that has a line to say.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace kiv::tool {

class Console {
 public:
  Console();
  // Waits for the writer only when it is not stuck; see drain().
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Queues one line (a line break is added); never waits. Dropped, and
  // counted, when the queue is full.
  void line(std::string text);
  // Lines dropped since the start.
  uint64_t dropped() const;
  // Waits up to `timeout` until every queued line is written; false when the
  // console did not take them in that time.
  bool drain(std::chrono::milliseconds timeout);

 private:
  void run();

  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::string> lines_;
  std::size_t bytes_ = 0;
  uint64_t dropped_ = 0;
  uint64_t dropped_shown_ = 0;
  bool writing_ = false;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace kiv::tool
