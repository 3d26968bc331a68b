#include "http_server.h"

#include <httplib.h>

#include <algorithm>
#include <stdexcept>

#include "zlib_util.h"

namespace kiv::test {

namespace {

// Header names compare without ASCII case, whatever the locale.
bool same_name(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (same_name(key, name)) {
      return value;
    }
  }
  return {};
}

Reply json_reply(std::string_view text, int status) {
  Reply reply;
  reply.status = status;
  reply.body = zlib_compress(text);
  return reply;
}

LoopbackHttpServer::LoopbackHttpServer() : server_(std::make_unique<httplib::Server>()) {
  // Enough workers for the concurrency tests, and no keep-alive wait at shutdown.
  server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
  server_->set_keep_alive_max_count(1);
  const auto handle = [this](const httplib::Request& in, httplib::Response& out) {
    RecordedRequest request;
    request.method = in.method;
    request.path = in.target;
    for (const auto& [key, value] : in.headers) {
      // cpp-httplib adds these for its own bookkeeping; they were not sent.
      if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" ||
          key == "LOCAL_PORT") {
        continue;
      }
      request.headers.emplace(key, value);
    }
    request.body = in.body;
    const Reply reply = answer(request);
    if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
    out.status = reply.status;
    if (!reply.redirect_to.empty()) {
      out.status = 302;
      out.set_header("Location", reply.redirect_to);
    }
    out.set_content(reply.body, "application/octet-stream");
  };
  server_->Post(".*", handle);
  server_->Get(".*", handle);
  const int port = server_->bind_to_any_port("127.0.0.1");
  if (port <= 0) throw std::runtime_error("cannot bind a loopback port");
  port_ = static_cast<uint16_t>(port);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // Until the thread has started listening, stop() would not end it.
  while (!server_->is_running()) std::this_thread::yield();
}

LoopbackHttpServer::~LoopbackHttpServer() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void LoopbackHttpServer::set_reply(const std::string& path, Reply reply) {
  std::lock_guard guard(lock_);
  replies_[path] = std::move(reply);
}

void LoopbackHttpServer::set_default_reply(Reply reply) {
  std::lock_guard guard(lock_);
  default_reply_ = std::move(reply);
}

void LoopbackHttpServer::set_handler(std::function<Reply(const RecordedRequest&)> handler) {
  std::lock_guard guard(lock_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() const {
  std::lock_guard guard(lock_);
  return requests_;
}

size_t LoopbackHttpServer::request_count() const {
  std::lock_guard guard(lock_);
  return requests_.size();
}

void LoopbackHttpServer::clear_requests() {
  std::lock_guard guard(lock_);
  requests_.clear();
}

Reply LoopbackHttpServer::answer(const RecordedRequest& request) {
  std::function<Reply(const RecordedRequest&)> handler;
  Reply reply;
  {
    std::lock_guard guard(lock_);
    requests_.push_back(request);
    handler = handler_;
    const std::string path = request.path.substr(0, request.path.find('?'));
    const auto found = replies_.find(path);
    reply = found != replies_.end() ? found->second : default_reply_;
  }
  return handler ? handler(request) : reply;
}

}  // namespace kiv::test
