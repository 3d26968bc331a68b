// The HTTP servers' workers: a thread for each connection, up to a bound.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kiv::standin {

// A thread for each connection, started when none is free, up to a bound;
// beyond it connections wait their turn. The HTTP library's own pool has a
// few fixed threads, which a few slow clients hold all of.
class GrowingPool : public httplib::TaskQueue {
 public:
  explicit GrowingPool(size_t max_threads) : max_threads_(max_threads) {}
  ~GrowingPool() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    std::unique_lock guard(lock_);
    jobs_.push_back(std::move(fn));
    if (idle_ >= jobs_.size() || threads_.size() >= max_threads_) {
      guard.unlock();
      wake_.notify_one();
      return;
    }
    try {
      threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // No thread to be had: the job waits for a busy one.
    }
  }

  void shutdown() override {
    {
      std::lock_guard guard(lock_);
      if (shut_) return;
      shut_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
  }

 private:
  void work() {
    std::unique_lock guard(lock_);
    for (;;) {
      ++idle_;
      wake_.wait(guard, [this] { return shut_ || !jobs_.empty(); });
      --idle_;
      if (jobs_.empty()) return;  // shut down, nothing left to do
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      guard.unlock();
      job();
      guard.lock();
    }
  }

  const size_t max_threads_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  size_t idle_ = 0;
  bool shut_ = false;
};

}  // namespace kiv::standin
