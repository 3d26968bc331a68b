#include "upstream.h"

#include <httplib.h>

#include <condition_variable>
#include <thread>
#include <utility>

#include "codec.h"

namespace kiv::standin {

// One upstream exchange. The thread that makes it holds what it uses, and a
// worker that stops waiting leaves it to finish alone.
struct Upstream::Call {
  std::mutex lock;
  std::condition_variable done_changed;
  bool done = false;
  httplib::Client client;
  httplib::Result result{nullptr, httplib::Error::Unknown};
  std::string body;
  bool too_large = false;

  Call(const std::string& host, uint16_t port) : client(host, port) {}
};

Reply stopped_reply(HttpExchange& ex) {
  Reply reply;
  reply.status = 503;
  reply.cut = true;
  ex.answer = "the stand-in is stopping; the client's connection is closed unanswered";
  return reply;
}

Upstream::Upstream(Endpoint to, std::chrono::milliseconds limit)
    : to_(std::move(to)), limit_(limit) {}

Upstream::~Upstream() {
  stop();
}

bool Upstream::stopping() const {
  std::lock_guard guard(lock_);
  return stopping_;
}

void Upstream::stop() {
  std::set<std::shared_ptr<Call>> calls;
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
    calls = calls_;
  }
  for (const auto& call : calls) {
    call->client.stop();
    call->done_changed.notify_all();
  }
}

Reply Upstream::forward(const httplib::Request& req, const std::string& body, HttpExchange& ex) {
  const std::string name = to_.host + ":" + std::to_string(to_.port);
  const auto limit = limit_;
  auto call = std::make_shared<Call>(to_.host, to_.port);
  httplib::Client& client = call->client;
  client.set_connection_timeout(limit);
  client.set_read_timeout(limit);
  client.set_write_timeout(limit);
  // The client library follows redirects: the final answer is the one that counts.
  client.set_follow_location(true);
  client.set_url_encode(false);  // the target as the client sent it
  client.set_keep_alive(false);
  // The body as the upstream sent it, and no more of it than any body.
  client.set_decompress(false);
  httplib::Request forward;
  forward.method = "POST";
  forward.path = req.target;
  forward.body = body;
  forward.set_header("Content-Type", req.get_header_value("Content-Type"));
  forward.content_receiver = [call = call.get()](const char* data, size_t n, uint64_t, uint64_t) {
    if (n > codec::kBodyLimit - call->body.size()) {
      call->too_large = true;
      return false;
    }
    call->body.append(data, n);
    return true;
  };
  {
    std::lock_guard guard(lock_);
    if (stopping_) return stopped_reply(ex);
    calls_.insert(call);
  }
  const auto started = std::chrono::steady_clock::now();
  std::thread([call, forward = std::move(forward)]() mutable {
    httplib::Result result = call->client.send(forward);
    std::lock_guard guard(call->lock);
    call->result = std::move(result);
    call->done = true;
    call->done_changed.notify_all();
  }).detach();
  bool done = false;
  {
    std::unique_lock guard(call->lock);
    // Looked at again now and then: stop() wakes the calls it knows of.
    while (!call->done && !stopping()) {
      call->done_changed.wait_for(guard, std::chrono::milliseconds(100));
    }
    done = call->done;
  }
  {
    std::lock_guard guard(lock_);
    calls_.erase(call);
  }
  // A call that failed because the stop cut it off says so.
  if (!done || (!call->result && stopping())) {
    call->client.stop();
    return stopped_reply(ex);
  }
  Reply reply;
  const httplib::Result& result = call->result;
  if (result && !call->too_large) {
    reply.status = result->status;
    reply.body = std::move(call->body);
    if (result->has_header("Content-Type"))
      reply.content_type = result->get_header_value("Content-Type");
    reply.plain = codec::zlib_inflate(reply.body, codec::kBodyLimit, nullptr);
    reply.answered = true;
    ex.answer = "from upstream " + name;
    return reply;
  }
  // What the client meets when the service itself fails: a transfer that
  // breaks off. The status line only tells people who look.
  const httplib::Error error = result.error();
  const bool late = std::chrono::steady_clock::now() - started >= limit;
  reply.cut = true;
  reply.status = 502;
  std::string what;
  if (call->too_large) {
    what =
        "answered with a body larger than the " + std::to_string(codec::kBodyLimit) + "-byte limit";
  } else if (error == httplib::Error::Connection) {
    what = "refused the connection, or could not be reached";
  } else if (error == httplib::Error::ConnectionTimeout || late) {
    what = "did not answer within " + std::to_string(limit.count()) + " ms";
    reply.status = 504;
  } else if (error == httplib::Error::Read) {
    what = "closed the connection without a whole answer";
  } else {
    what = "failed: " + httplib::to_string(error);
  }
  ex.answer = "upstream " + name + " " + what + "; the client's connection is closed unanswered";
  return reply;
}

}  // namespace kiv::standin
