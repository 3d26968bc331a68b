#include "message_capture.h"

#include <algorithm>

#include "kiv_clientlog.h"

namespace kiv::test {

MessageCapture::MessageCapture() {
  kiv_set_message_handler(&MessageCapture::on_message, this);
}

MessageCapture::~MessageCapture() {
  kiv_set_message_handler(nullptr, nullptr);
}

void MessageCapture::on_message(const char* message, void* context) {
  auto* self = static_cast<MessageCapture*>(context);
  std::lock_guard guard(self->lock_);
  self->messages_.emplace_back(message);
}

std::vector<std::string> MessageCapture::messages() const {
  std::lock_guard guard(lock_);
  return messages_;
}

bool MessageCapture::contains(std::string_view message) const {
  return count(message) > 0;
}

size_t MessageCapture::count(std::string_view message) const {
  std::lock_guard guard(lock_);
  return static_cast<size_t>(std::count(messages_.begin(), messages_.end(), message));
}

void MessageCapture::clear() {
  std::lock_guard guard(lock_);
  messages_.clear();
}

}  // namespace kiv::test
