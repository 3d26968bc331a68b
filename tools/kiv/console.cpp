#include "console.h"

#include <cstdio>
#include <utility>

namespace kiv::tool {
namespace {

// What may wait for the console: a burst of requests, not a flood.
constexpr std::size_t kMostLines = 1000;
constexpr std::size_t kMostBytes = 512u << 10;

}  // namespace

Console::Console() : writer_([this] { run(); }) {}

Console::~Console() {
  if (!drain(std::chrono::milliseconds(500))) {
    // Stuck in a write that may never return: the process ends without it.
    writer_.detach();
    return;
  }
  {
    std::lock_guard hold(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  writer_.join();
}

void Console::line(std::string text) {
  {
    std::lock_guard hold(lock_);
    if (lines_.size() >= kMostLines || text.size() > kMostBytes - bytes_) {
      ++dropped_;
      return;
    }
    bytes_ += text.size();
    lines_.push_back(std::move(text));
  }
  wake_.notify_one();
}

uint64_t Console::dropped() const {
  std::lock_guard hold(lock_);
  return dropped_;
}

bool Console::drain(std::chrono::milliseconds timeout) {
  std::unique_lock hold(lock_);
  return idle_.wait_for(
      hold, timeout, [this] { return lines_.empty() && !writing_ && dropped_shown_ == dropped_; });
}

void Console::run() {
  std::unique_lock hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] { return stopping_ || !lines_.empty() || dropped_shown_ != dropped_; });
    std::string text;
    if (!lines_.empty()) {
      text = std::move(lines_.front());
      lines_.pop_front();
      bytes_ -= text.size();
    } else if (dropped_shown_ != dropped_) {
      // Drained: what was lost is said once.
      text = "console: " + std::to_string(dropped_ - dropped_shown_) +
             " lines dropped (the console did not keep up; the journal has them all)";
      dropped_shown_ = dropped_;
    } else {
      return;  // stopping, and nothing left
    }
    writing_ = true;
    hold.unlock();
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    hold.lock();
    writing_ = false;
    idle_.notify_all();
  }
}

}  // namespace kiv::tool
