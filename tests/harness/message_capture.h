#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::test {

// Collects every logger message, as its exact bytes, while it lives.
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  std::vector<std::string> messages() const;
  bool contains(std::string_view message) const;
  size_t count(std::string_view message) const;
  void clear();

 private:
  static void on_message(const char* message, void* context);
  mutable std::mutex lock_;
  std::vector<std::string> messages_;
};

}  // namespace kiv::test
