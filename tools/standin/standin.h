// A local stand-in for the web service (HTTP) and the log server (UDP), for
// trying the libraries without the real service, or in front of it: passing
// the traffic on and recording the answers, to be served again offline. It
// runs on its own threads and can be used in-process (the demonstration,
// tests) or by `kiv serve`.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "answers.h"
#include "codec.h"

namespace kiv::standin {

// What can go wrong on one path, on purpose.
struct Fault {
  std::optional<int> status;           // answer with this HTTP status
  std::chrono::milliseconds delay{0};  // wait this long before answering
  bool empty_body = false;             // a body of zero bytes
  bool not_zlib = false;               // the answer text, not compressed
  bool not_json = false;               // a compressed text that is not JSON

  // The spec text it was parsed from, in canonical order.
  std::string describe() const;
};

// Parses "status=500,delay=300,empty,not-zlib,not-json" (any subset, any
// order). Returns nothing and says why in `error` when the text is not one.
std::optional<Fault> parse_fault(std::string_view spec, std::string* error);

// One HTTP request and what the stand-in answered.
struct HttpExchange {
  std::string time;  // local time of its arrival, "YYYY-MM-DD hh:mm:ss.mmm"
  std::string from;  // "address:port" of the client
  std::string method;
  std::string path;  // as received
  // The request's headers as they came, in order.
  std::vector<std::pair<std::string, std::string>> headers;
  std::size_t body_bytes = 0;
  // The body inflated (bytes as sent), only its first kRequestKept bytes
  // when it is longer: request_bytes is then its whole length.
  std::optional<std::string> request;
  std::size_t request_bytes = 0;
  bool request_cut = false;
  std::string request_error;  // why it could not be inflated
  int status = 0;
  std::size_t answer_bytes = 0;
  std::string answer;                      // which answer, or why there is none
  std::string fault;                       // the fault applied, if any
  std::string record;                      // the files recorded, or why none were
  std::string rule;                        // the scenario rule that chose the answer, if any
  std::optional<std::string> answer_text;  // the answer inflated (GBK), when it is a zlib stream
  double duration_ms = 0;                  // from arrival to the answer
};

// One datagram received by the log-server side.
struct Datagram {
  std::string time;  // local time of its arrival, as for HttpExchange
  std::string from;  // "address:port" of the sender
  std::size_t bytes = 0;
  std::optional<std::string> record;  // inflated, exactly the bytes that were sent
  std::string error;                  // why it could not be inflated
  std::string raw;                    // the datagram as it came, when it could not be
  std::string forward_error;          // why it could not be passed on to the upstream log server

  // The datagram as one line of JSON (UTF-8, no line break), always: a
  // record that is JSON text in GBK as that text, in UTF-8; anything else as
  // an object with "time", "from", "bytes", the reason in "error" and what
  // came as "text" (when it is GBK text) or "base64".
  std::string line() const;
};

// What the stand-in counted since it started.
struct Counters {
  uint64_t http_requests = 0;
  uint64_t datagrams = 0;           // received and decoded
  uint64_t datagrams_dropped = 0;   // by the stand-in: more came than it could decode
  uint64_t system_drops = 0;        // by the system, for want of room in the receive buffer
  bool system_drops_known = false;  // whether this system reports them
  uint64_t sink_lines = 0;          // written whole to the sink
  uint64_t sink_failures = 0;       // lines the sink could not take
  uint64_t history_dropped = 0;     // entries dropped from the journal to keep its bounds
  int receive_buffer = 0;           // the UDP receive buffer the system gave, in bytes
};

// How much of a request's text the stand-in keeps: a bomb is inflated as a
// stream to learn its length, and only its start is held.
inline constexpr std::size_t kRequestKept = 64u << 10;

struct Endpoint {
  std::string host;  // name or dotted IPv4 address
  uint16_t port = 0;
};

struct Options {
  std::string address = "127.0.0.1";  // IPv4 address both sides listen on
  // The control interface (below /__kiv/): on the service's own HTTP port
  // when `control_address` is empty or `address`; otherwise on a port of its
  // own (`control_port`, 0: any free one) there. Either address beyond
  // loopback makes it ask for a token.
  std::string control_address;
  uint16_t control_port = 0;
  uint16_t http_port = 0;  // 0: any free port
  uint16_t udp_port = 0;   // 0: any free port
  AnswerSet answers = AnswerSet::built_in();
  std::string sink_file;  // when set, datagram lines are appended here
  // When set, every POST is passed on to this web service instead of being
  // answered from `answers`, and its answer is given back unchanged. When it
  // fails, the client's connection is closed without an answer.
  std::optional<Endpoint> upstream;
  std::chrono::milliseconds upstream_timeout{5000};  // for connecting, and for each read
  // When set, every answer with status 200 is also stored here (Recorder).
  std::string record_folder;
  // When set, every datagram is also passed on to this log server unchanged.
  std::optional<Endpoint> upstream_log;
  // The journal of what was received: at most this many entries and about
  // this many bytes in memory, the oldest dropped first; every entry is also
  // appended to `journal_file` as a line of JSON when it is set.
  std::size_t journal_entries = 10000;
  std::size_t journal_bytes = 64u << 20;
  std::string journal_file;
  // Scenario rules in force from the start, as the control interface takes
  // them (one rule object or an array), in UTF-8; empty for none.
  std::string rules;
  std::function<void(const HttpExchange&)> on_http;  // called on a service thread
  std::function<void(const Datagram&)> on_datagram;  // called on the sink's thread
  // Called on the sink's thread when datagrams were dropped (by the system
  // or by the stand-in) since the last call, at most once a second.
  std::function<void(const Counters&)> on_drops;
  // Called once, on the sink's thread, when the sink first fails to take a
  // line (later failures are only counted), with the reason.
  std::function<void(const std::string&)> on_sink_failure;
  // Lines the console dropped so far, shown in the journal's state; may be unset.
  std::function<uint64_t()> console_dropped;
};

// What the journal went through since the start.
struct JournalFigures {
  uint64_t received = 0;       // entries made
  uint64_t dropped = 0;        // dropped from memory to keep the bounds
  uint64_t file_failures = 0;  // lines the journal file could not take
};

class Service {
 public:
  // Binds both ports and starts serving. Throws std::runtime_error with a
  // readable reason (port in use, bad address, an answer GBK cannot hold, a
  // record folder that cannot be written, an upstream log server's name
  // that does not resolve, rules that are not rules, a journal file that
  // cannot be written).
  explicit Service(Options options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  const std::string& address() const;
  uint16_t http_port() const;
  uint16_t udp_port() const;
  // Where the control interface listens, and the token it asks for (empty: none).
  const std::string& control_address() const;
  uint16_t control_port() const;
  const std::string& control_token() const;

  // Answers are UTF-8 text; the service sends them in the client's code
  // page (GBK), compressed. Throws std::runtime_error if GBK cannot hold it.
  void set_answer(std::string_view path, std::string_view utf8_text);
  void set_fault(std::string_view path, const Fault& fault);
  void clear_fault(std::string_view path);

  // The exchanges since the last call (those the journal still holds).
  std::vector<HttpExchange> take_exchanges();
  // Waits until `count` datagrams are there or `timeout` has passed, and
  // takes up to `count` of them, oldest first.
  std::vector<Datagram> wait_for_datagrams(std::size_t count, std::chrono::milliseconds timeout);

  Counters counters() const;
  JournalFigures journal_figures() const;

  // Stops both sides within about a second, whatever they are doing: slow
  // clients are cut off and upstream waits abandoned. Also done by the
  // destructor.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kiv::standin
