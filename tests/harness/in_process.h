// What the in-process tests of the libraries share: the current folder
// changed for a test's lifetime, work spread over threads, and a deadline
// for work that may hang.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "time_limits.h"

namespace kiv::test {

// Changes the process's current folder for its lifetime: the report library
// reads ./loginurl.ini from it.
class CurrentFolder {
 public:
  explicit CurrentFolder(const std::string& path) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~CurrentFolder() { std::filesystem::current_path(saved_); }
  CurrentFolder(const CurrentFolder&) = delete;
  CurrentFolder& operator=(const CurrentFolder&) = delete;

 private:
  std::filesystem::path saved_;
};

// Runs `body(0)` to `body(count - 1)`, each on a thread of its own, started
// in that order, and returns when all have ended.
inline void on_threads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
  for (std::thread& thread : threads) thread.join();
}

// Runs `work` on a thread of its own; a run that has not ended within
// `limit` is a hang, which no later test could survive, so the program ends.
inline void within(std::chrono::seconds limit, const char* what, std::function<void()> work) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([work = std::move(work), done] {
    work();
    done->set_value();
  }).detach();
  limit = scaled(limit);
  if (finished.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: %s did not finish within %lld s (a deadlock)\n", what,
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }
}

}  // namespace kiv::test
