#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace kiv::test {

struct RecordedRequest {
  std::string method;
  std::string path;  // as sent, with any query part
  std::multimap<std::string, std::string> headers;
  std::string body;

  // The first value of a header (names compared without case); empty if absent.
  std::string header(std::string_view name) const;
};

struct Reply {
  int status = 200;
  std::string body;                    // sent as it is
  std::chrono::milliseconds delay{0};  // before answering
  std::string redirect_to;             // a path: answers 302 with this Location
};

// A 200 reply whose body is the zlib-compressed text, as the service answers.
Reply json_reply(std::string_view text, int status = 200);

// An HTTP server on 127.0.0.1 with a port of its own, answering every request
// as the test programs it and recording what it received.
class LoopbackHttpServer {
 public:
  LoopbackHttpServer();
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  uint16_t port() const { return port_; }

  // Replies by path (without the query part); others get the default reply
  // (404 with an empty body until set).
  void set_reply(const std::string& path, Reply reply);
  void set_default_reply(Reply reply);
  // Takes over answering entirely.
  void set_handler(std::function<Reply(const RecordedRequest&)> handler);

  std::vector<RecordedRequest> requests() const;
  size_t request_count() const;
  void clear_requests();

 private:
  Reply answer(const RecordedRequest& request);

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  uint16_t port_ = 0;
  mutable std::mutex lock_;
  std::map<std::string, Reply> replies_;
  Reply default_reply_{404, "", std::chrono::milliseconds(0), ""};
  std::function<Reply(const RecordedRequest&)> handler_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace kiv::test
