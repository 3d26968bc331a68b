// The stand-in's parts and what ties them together. Its member functions are
// written by concern: http_front.cpp (the listeners, the guard in front of
// the control interface, what is refused and journaled before any answer),
// answering.cpp (the answer to one request: answer, rule, upstream, fault),
// standin.cpp (start, stop, and what the control interface acts on).
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "control.h"
#include "cutting_server.h"
#include "datagrams.h"
#include "guard.h"
#include "journal.h"
#include "platform.h"
#include "recording.h"
#include "scenario.h"
#include "standin.h"
#include "upstream.h"

namespace kiv::standin {

struct Service::Impl final : ControlTarget {
  platform::SocketLayer sockets;
  Options options;
  uint16_t http_port = 0;

  mutable std::mutex lock;
  std::condition_variable changed;  // stopping
  bool stopping = false;
  std::map<std::string, std::string, std::less<>> served;      // key -> GBK text
  std::map<std::string, std::string, std::less<>> served_raw;  // key -> bytes as sent
  std::map<std::string, Fault, std::less<>> faults;
  uint64_t http_requests = 0;
  std::unique_ptr<Recorder> recorder;
  // Everything received, bounded: the only history kept.
  std::unique_ptr<Journal> journal_;
  Scenario scenario_;
  std::unique_ptr<Upstream> upstream;

  CuttingServer server;
  std::thread http_thread;
  // The control interface: its guard, and its own listener when it is apart.
  std::optional<ControlGuard> guard;
  bool control_apart = false;
  std::string control_address;
  uint16_t control_port = 0;
  CuttingServer control_server;
  std::thread control_thread;

  // Last: it stops before what it uses goes.
  std::unique_ptr<DatagramSide> datagrams;

  // ---- answering.cpp
  // UTF-8 answer text in GBK; std::runtime_error when GBK cannot hold it.
  std::string encode(std::string_view key, std::string_view text);
  Reply own_reply(const httplib::Request& req, const std::string& key, HttpExchange& ex,
                  const std::optional<std::string>& chosen);
  void apply(const Fault& fault, Reply& reply);
  void answer(const httplib::Request& req, const std::string& body, httplib::Response& res);

  // ---- http_front.cpp
  void start_http();
  static void configure(httplib::Server& http);
  static uint16_t listen(CuttingServer& http, std::thread& thread, const std::string& address,
                         uint16_t port);
  httplib::Server::HandlerResponse front(const httplib::Request& req, httplib::Response& res,
                                         bool control_here);
  static HttpExchange exchange_of(const httplib::Request& req);
  void keep(HttpExchange ex);
  void keep_unrouted(const httplib::Request& req, const httplib::Response& res);
  void refuse(const httplib::Request& req, httplib::Response& res, int status, std::string why,
              size_t body_bytes);
  void answer_post(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader);
  // Ends both listeners, cutting off the connections they hold.
  void stop_http();

  // ---- standin.cpp: what the control interface acts on, and the stop
  Journal& journal() override { return *journal_; }
  Scenario& scenario() override { return scenario_; }
  bool put_answer(const std::string& key, std::string_view utf8_text, size_t most) override;
  bool remove_answer(const std::string& key) override;
  bool put_fault(const std::string& key, const Fault& fault, size_t most) override;
  bool remove_fault(const std::string& key) override;
  std::string answers_json() override;
  uint64_t console_dropped() override;
  void stop();
};

}  // namespace kiv::standin
