// The stand-in in front of a real web service: a POST passed on, and the
// service's answer given back unchanged. Each call runs on a thread of its
// own, so that a stop need not wait for it.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "standin.h"

namespace httplib {
struct Request;
}

namespace kiv::standin {

// An answer before the faults: the stand-in's own, or the upstream's.
struct Reply {
  int status = 0;
  std::string body;
  std::string content_type = "application/octet-stream";
  std::optional<std::string> plain;  // the body inflated
  bool answered = false;             // an answer to the request: faults apply
  bool cut = false;                  // close the connection unanswered
};

// What a request meets while the stand-in stops.
Reply stopped_reply(HttpExchange& ex);

class Upstream {
 public:
  Upstream(Endpoint to, std::chrono::milliseconds limit);
  ~Upstream();
  Upstream(const Upstream&) = delete;
  Upstream& operator=(const Upstream&) = delete;

  // Passes the request on and gives its answer, or a cut-off reply saying
  // in `ex` why there is none.
  Reply forward(const httplib::Request& req, const std::string& body, HttpExchange& ex);
  // Abandons every call under way; calls from now on are not made.
  void stop();

 private:
  struct Call;
  bool stopping() const;

  const Endpoint to_;
  const std::chrono::milliseconds limit_;
  mutable std::mutex lock_;
  bool stopping_ = false;
  std::set<std::shared_ptr<Call>> calls_;
};

}  // namespace kiv::standin
