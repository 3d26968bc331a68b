#include "standin.h"

#include <httplib.h>
#include <json-c/json.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>

#include "codec.h"
#include "control.h"
#include "gbk_text.h"
#include "guard.h"
#include "journal.h"
#include "number.h"
#include "platform.h"
#include "program.h"
#include "recording.h"
#include "scenario.h"
#include "udp_receiver.h"

namespace kiv::standin {
namespace {

// Whether the request this thread handles has been journaled: the HTTP
// library's logger journals those it answered without a handler.
thread_local bool t_journaled = false;

// Datagrams waiting to be decoded: a burst is taken whole, a flood of
// bombs is cut off (and counted) rather than held.
constexpr std::size_t kPendingBytes = 32u << 20;
// As much room as the system grants for bursts (it may cap it lower).
constexpr int kReceiveBuffer = 8 << 20;
// HTTP connections: one worker each, up to this many at once; a slow or
// idle client is cut off after a few seconds of silence.
constexpr std::size_t kMaxWorkers = 256;
constexpr int kListenBacklog = 256;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 5;
// The header a refused Content-Encoding travels in to the handler.
constexpr char kRefusedEncoding[] = "X-Kiv-Refused-Content-Encoding";
// What a busy front end answers instead of the service's JSON.
constexpr std::string_view kNotJsonText =
    "<html><head><title>503 Service Unavailable</title></head>"
    "<body>The service is busy, please try again later.</body></html>";

// Why the last socket call failed, in the system's words.
std::string socket_error_text() {
  return platform::error_line(platform::socket_last_error());
}

std::string ipv4_text(uint32_t address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

std::string base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) {
      out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return out;
}

json_object* json_string(std::string_view text) {
  return json_object_new_string_len(text.data(), static_cast<int>(text.size()));
}

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

}  // namespace

std::string Fault::describe() const {
  std::string out;
  auto add = [&out](const std::string& part) {
    if (!out.empty()) out += ',';
    out += part;
  };
  if (status) add("status=" + std::to_string(*status));
  if (delay.count() > 0) add("delay=" + std::to_string(delay.count()));
  if (empty_body) add("empty");
  if (not_zlib) add("not-zlib");
  if (not_json) add("not-json");
  return out;
}

std::optional<Fault> parse_fault(std::string_view spec, std::string* error) {
  auto fail = [error](std::string why) -> std::optional<Fault> {
    if (error != nullptr) *error = std::move(why);
    return std::nullopt;
  };
  Fault fault;
  if (spec.empty())
    return fail("empty fault (expected status=N, delay=MS, empty, not-zlib or not-json)");
  while (!spec.empty()) {
    const size_t comma = spec.find(',');
    const std::string_view part = spec.substr(0, comma);
    spec = comma == std::string_view::npos ? std::string_view() : spec.substr(comma + 1);
    if (part.starts_with("status=")) {
      const auto status = parse_number(part.substr(7), 200, 599);
      if (!status) {
        return fail("status must be an HTTP status from 200 to 599: " + std::string(part));
      }
      fault.status = *status;
    } else if (part.starts_with("delay=")) {
      const auto delay = parse_number(part.substr(6), 0, 600000);
      if (!delay) {
        return fail("delay must be milliseconds from 0 to 600000: " + std::string(part));
      }
      fault.delay = std::chrono::milliseconds(*delay);
    } else if (part == "empty") {
      fault.empty_body = true;
    } else if (part == "not-zlib") {
      fault.not_zlib = true;
    } else if (part == "not-json") {
      fault.not_json = true;
    } else {
      return fail("unknown fault \"" + std::string(part) +
                  "\" (expected status=N, delay=MS, empty, not-zlib or not-json)");
    }
  }
  return fault;
}

std::string Datagram::line() const {
  std::string why;
  std::string text;
  bool is_text = false;
  if (record) {
    if (auto utf8 = gbk_to_utf8_exact(*record)) {
      if (is_strict_json(*utf8)) {
        // Line breaks between tokens would end the line; inside strings
        // strict JSON has none.
        std::replace(utf8->begin(), utf8->end(), '\n', ' ');
        std::replace(utf8->begin(), utf8->end(), '\r', ' ');
        return std::move(*utf8);
      }
      why = "not JSON";
      text = std::move(*utf8);
      is_text = true;
    } else {
      why = "not GBK text";
    }
  } else {
    why = error;
  }
  json_object* wrapper = json_object_new_object();
  json_object_object_add(wrapper, "time", json_string(time));
  json_object_object_add(wrapper, "from", json_string(from));
  json_object_object_add(wrapper, "bytes", json_object_new_int64(static_cast<int64_t>(bytes)));
  json_object_object_add(wrapper, "error", json_string(why));
  if (is_text) {
    json_object_object_add(wrapper, "text", json_string(text));
  } else {
    json_object_object_add(wrapper, "base64", json_string(base64(record ? *record : raw)));
  }
  std::string line = json_object_to_json_string_ext(
      wrapper, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  json_object_put(wrapper);
  return line;
}

// One upstream exchange, on a thread of its own so that a stop need not wait
// for it: the thread holds what it uses, and a worker that stops waiting
// leaves it to finish alone.
struct UpstreamCall {
  std::mutex lock;
  std::condition_variable done_changed;
  bool done = false;
  httplib::Client client;
  httplib::Result result{nullptr, httplib::Error::Unknown};
  std::string body;
  bool too_large = false;

  UpstreamCall(const std::string& host, uint16_t port) : client(host, port) {}
};

struct Service::Impl final : ControlTarget {
  platform::SocketLayer sockets;
  Options options;
  uint16_t http_port = 0;
  uint16_t udp_port = 0;

  mutable std::mutex lock;
  std::condition_variable changed;  // datagram arrived, or stopping
  bool stopping = false;
  std::map<std::string, std::string, std::less<>> served;      // key -> GBK text
  std::map<std::string, std::string, std::less<>> served_raw;  // key -> bytes as sent
  std::unique_ptr<Recorder> recorder;
  std::map<std::string, Fault, std::less<>> faults;
  // Everything received, bounded: the only history kept.
  std::unique_ptr<Journal> journal_;
  Scenario scenario_;
  std::set<std::shared_ptr<UpstreamCall>> upstream_calls;
  Counters counted;

  httplib::Server server;
  std::thread http_thread;
  // The control interface: its guard, and its own listener when it is apart.
  std::optional<ControlGuard> guard;
  bool control_apart = false;
  std::string control_address;
  uint16_t control_port = 0;
  httplib::Server control_server;
  std::thread control_thread;

  platform::File sink;
  bool sink_failed = false;
  platform::Socket log_socket;  // to the upstream log server
  uint32_t log_address = 0;     // network order

  // Datagrams received and not yet decoded.
  struct Pending {
    std::string time;
    std::string bytes;
    uint32_t address;
    uint16_t port;
  };
  std::mutex pending_lock;
  std::condition_variable pending_changed;
  std::deque<Pending> pending;
  size_t pending_bytes = 0;
  bool decoder_stopping = false;
  std::chrono::steady_clock::time_point decode_until{};  // once stopping
  std::thread decoder;
  uint64_t drops_reported = 0;  // by the decoder thread alone
  std::chrono::steady_clock::time_point drops_reported_at{};
  // Last: it stops before what its handler uses goes.
  std::optional<platform::UdpReceiver> udp_receiver;

  std::string encode(std::string_view key, std::string_view text) {
    std::string why;
    auto gbk = utf8_to_gbk(text, &why);
    if (!gbk) throw std::runtime_error("answer " + std::string(key) + ": " + why);
    return std::move(*gbk);
  }

  // An answer before the faults: the stand-in's own, or the upstream's.
  struct Reply {
    int status = 0;
    std::string body;
    std::string content_type = "application/octet-stream";
    std::optional<std::string> plain;  // the body inflated
    bool answered = false;             // an answer to the request: faults apply
    bool cut = false;                  // close the connection unanswered
  };

  Reply own_reply(const httplib::Request& req, const std::string& key, HttpExchange& ex,
                  const std::optional<std::string>& chosen) {
    Reply reply;
    std::optional<std::string> text = chosen;
    std::optional<std::string> raw;
    if (!chosen) {
      std::lock_guard guard(lock);
      if (auto it = served.find(key); it != served.end()) text = it->second;
      if (auto it = served_raw.find(key); it != served_raw.end()) raw = it->second;
    }
    if (req.method != "POST") {
      reply.status = 405;
      ex.answer = "only POST is answered";
      reply.body = ex.answer;
    } else if (raw || text) {
      reply.status = 200;
      reply.answered = true;
      reply.body = raw ? std::move(*raw) : zlib_compress(*text);
      reply.plain = raw ? zlib_inflate(reply.body, kBodyLimit, nullptr) : std::move(text);
      ex.answer = chosen ? "answer of the rule" : "answer \"" + key + (raw ? "\" (raw)" : "\"");
    } else {
      reply.status = 404;
      ex.answer = "no answer for this path";
      reply.body = ex.answer;
    }
    return reply;
  }

  Reply upstream_reply(const httplib::Request& req, const std::string& body, HttpExchange& ex) {
    const Endpoint& up = *options.upstream;
    const std::string name = up.host + ":" + std::to_string(up.port);
    const auto limit = options.upstream_timeout;
    auto call = std::make_shared<UpstreamCall>(up.host, up.port);
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
      if (n > kBodyLimit - call->body.size()) {
        call->too_large = true;
        return false;
      }
      call->body.append(data, n);
      return true;
    };
    {
      std::lock_guard guard(lock);
      if (stopping) return stopped_reply(ex);
      upstream_calls.insert(call);
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
      while (!call->done && !is_stopping()) {
        call->done_changed.wait_for(guard, std::chrono::milliseconds(100));
      }
      done = call->done;
    }
    {
      std::lock_guard guard(lock);
      upstream_calls.erase(call);
    }
    // A call that failed because the stop cut it off says so.
    if (!done || (!call->result && is_stopping())) {
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
      reply.plain = zlib_inflate(reply.body, kBodyLimit, nullptr);
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
      what = "answered with a body larger than the " + std::to_string(kBodyLimit) + "-byte limit";
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

  Reply stopped_reply(HttpExchange& ex) {
    Reply reply;
    reply.status = 503;
    reply.cut = true;
    ex.answer = "the stand-in is stopping; the client's connection is closed unanswered";
    return reply;
  }

  bool is_stopping() const {
    std::lock_guard guard(lock);
    return stopping;
  }

  void apply(const Fault& fault, Reply& reply) {
    if (fault.not_json) {
      reply.plain = std::string(kNotJsonText);
      reply.body = zlib_compress(kNotJsonText);
    }
    if (fault.not_zlib && reply.plain) reply.body = *reply.plain;
    if (fault.empty_body) reply.body.clear();
    if (fault.status) reply.status = *fault.status;
  }

  void keep(HttpExchange ex) {
    t_journaled = true;
    if (options.on_http) options.on_http(ex);
    {
      std::lock_guard guard(lock);
      ++counted.http_requests;
    }
    journal_->add(std::move(ex));
  }

  // What is known of a request before its body: who, what, and its headers
  // (those the HTTP library adds of its own left out).
  static HttpExchange exchange_of(const httplib::Request& req) {
    HttpExchange ex;
    ex.time = journal_time();
    ex.from = req.remote_addr.empty() ? std::string()
                                      : req.remote_addr + ":" + std::to_string(req.remote_port);
    ex.method = req.method;
    ex.path = req.path;
    for (const auto& [name, value] : req.headers) {
      if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
          name == "LOCAL_PORT") {
        continue;
      }
      ex.headers.emplace_back(name == kRefusedEncoding ? "Content-Encoding" : name, value);
    }
    return ex;
  }

  // A request the HTTP library answered itself (a malformed request line or
  // header, a target too long): journaled as far as it was read.
  void keep_unrouted(const httplib::Request& req, const httplib::Response& res) {
    HttpExchange ex = exchange_of(req);
    ex.body_bytes = req.body.size();
    ex.status = res.status;
    ex.request_error = "not read: the request was malformed";
    ex.answer = "malformed request, answered " + std::to_string(res.status) +
                " by the HTTP server before the service saw it";
    ex.answer_bytes = res.body.size();
    keep(std::move(ex));
  }

  // What comes before any handler. The control interface's guard, on its
  // paths; on the service's, any method but POST (and GET, answered with
  // 405 by the service itself) is refused and journaled, and a body with a
  // Content-Encoding is set aside to be refused.
  httplib::Server::HandlerResponse front(const httplib::Request& req, httplib::Response& res,
                                         bool control_here) {
    using Outcome = httplib::Server::HandlerResponse;
    if (is_control_path(req.path)) {
      std::optional<Refusal> refusal;
      if (!control_here) {
        refusal = Refusal{404, "the control interface is not on this port: it is at http://" +
                                   control_address + ":" + std::to_string(control_port) +
                                   std::string(kControlPrefix)};
      } else {
        refusal = guard->check(req);
      }
      if (!refusal) return Outcome::Unhandled;
      reply_refusal(res, *refusal);
      return Outcome::Handled;
    }
    // The HTTP library would inflate a body sent with a Content-Encoding
    // itself, past any limit of ours. The service takes zlib bodies without
    // one: the header is moved aside, so that the body is read as it came
    // (bounded) and refused. The request itself is not const: only the
    // handler's view of it is.
    auto& headers = const_cast<httplib::Headers&>(req.headers);
    if (const auto it = headers.find("Content-Encoding"); it != headers.end()) {
      std::string value = it->second;
      headers.erase("Content-Encoding");
      if (value != "identity") headers.emplace(kRefusedEncoding, std::move(value));
    }
    if (req.method != "POST" && req.method != "GET" && req.method != "HEAD") {
      // Unread, the body would be taken for the next request: the
      // connection is closed after the answer.
      refuse(req, res, 405, "the service takes POST, not " + req.method, 0);
      res.set_header("Allow", "POST");
      return Outcome::Handled;
    }
    return Outcome::Unhandled;
  }

  // A request whose body is refused unread or cut off: answered with
  // `status`, and the connection closed after it.
  void refuse(const httplib::Request& req, httplib::Response& res, int status, std::string why,
              size_t body_bytes) {
    HttpExchange ex = exchange_of(req);
    ex.body_bytes = body_bytes;
    ex.request_error = why;
    ex.status = status;
    ex.answer = why;
    res.status = status;
    res.set_content(why, "text/plain");
    close_after_answer(res);
    ex.answer_bytes = why.size();
    keep(std::move(ex));
  }

  void answer_post(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader) {
    if (req.has_header(kRefusedEncoding)) {
      refuse(req, res, 415,
             "bodies with Content-Encoding \"" + req.get_header_value(kRefusedEncoding) +
                 "\" are not taken (the service takes zlib bodies without it)",
             0);
      return;
    }
    std::string body;
    bool too_large = false;
    const bool whole = reader([&](const char* data, size_t n) {
      if (n > kBodyLimit - body.size()) {
        too_large = true;
        return false;
      }
      body.append(data, n);
      return true;
    });
    if (too_large || res.status == 413) {
      refuse(req, res, 413,
             "the body is larger than the " + std::to_string(kBodyLimit) + "-byte limit",
             body.size());
      return;
    }
    if (!whole) {
      refuse(req, res, 400, "the body did not arrive whole", body.size());
      return;
    }
    answer(req, body, res);
  }

  void answer(const httplib::Request& req, const std::string& body, httplib::Response& res) {
    const auto arrived = std::chrono::steady_clock::now();
    HttpExchange ex = exchange_of(req);
    ex.body_bytes = body.size();
    ex.request =
        zlib_inflate_start(body, kRequestKept, kBodyLimit, &ex.request_bytes, &ex.request_error);
    ex.request_cut = ex.request && ex.request_bytes > ex.request->size();

    const std::string key = answer_key(req.path);
    std::optional<Fault> fault;
    {
      std::lock_guard guard(lock);
      if (auto it = faults.find(key); it != faults.end()) fault = it->second;
    }
    std::optional<std::string> chosen;
    if (req.method == "POST") {
      if (auto choice = scenario_.choose(key, ex.request)) {
        // The rule decides both: its answer (or the path's) and its fault (or none).
        ex.rule = std::move(choice->rule);
        chosen = std::move(choice->answer);
        fault = std::move(choice->fault);
      }
    }
    if (fault) {
      ex.fault = fault->describe();
      if (fault->delay.count() > 0) {
        std::unique_lock guard(lock);
        changed.wait_for(guard, fault->delay, [this] { return stopping; });
      }
    }

    Reply reply = options.upstream && req.method == "POST" && !chosen
                      ? upstream_reply(req, body, ex)
                      : own_reply(req, key, ex, chosen);
    // What the service said, not what the faults made of it; a rule's
    // answer is the test's, not the service's.
    if (recorder && reply.answered && reply.status == 200 && !chosen) {
      try {
        ex.record = "recorded " + recorder->record(key, body, reply.body);
      } catch (const std::runtime_error& e) {
        ex.record = "NOT recorded: " + std::string(e.what());
      }
    }
    if (fault && reply.answered) apply(*fault, reply);

    ex.status = reply.status;
    ex.answer_bytes = reply.body.size();
    if (!reply.cut) {
      size_t whole = 0;
      ex.answer_text = zlib_inflate_start(reply.body, kRequestKept, kBodyLimit, &whole, nullptr);
    }
    res.status = reply.status;
    if (reply.cut) {
      // One byte announced and none sent: the client's transfer fails.
      res.set_content_provider(1, reply.content_type,
                               [](size_t, size_t, httplib::DataSink&) { return false; });
    } else {
      res.set_content(reply.body, reply.content_type);
    }
    ex.duration_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - arrived)
            .count();
    keep(std::move(ex));
  }

  // On the receiving thread: only queued, so that the socket is emptied as
  // fast as datagrams come.
  void queue_datagram(const platform::UdpReceiver::Datagram& received) {
    {
      std::lock_guard guard(pending_lock);
      if (received.bytes.size() > kPendingBytes - pending_bytes) {
        std::lock_guard count_guard(lock);
        ++counted.datagrams_dropped;
        return;
      }
      pending.push_back(
          {journal_time(), std::string(received.bytes), received.from_address, received.from_port});
      pending_bytes += received.bytes.size();
    }
    pending_changed.notify_one();
  }

  void decode_loop() {
    for (;;) {
      Pending next;
      {
        std::unique_lock guard(pending_lock);
        pending_changed.wait(guard, [this] { return decoder_stopping || !pending.empty(); });
        if (pending.empty()) return;
        // A stop decodes what came for a moment longer, then drops the rest
        // (a queue of bombs would take minutes), and counts it.
        if (decoder_stopping && std::chrono::steady_clock::now() >= decode_until) {
          std::lock_guard count_guard(lock);
          counted.datagrams_dropped += pending.size();
          pending.clear();
          pending_bytes = 0;
          return;
        }
        next = std::move(pending.front());
        pending.pop_front();
        pending_bytes -= next.bytes.size();
      }
      take_datagram(next);
    }
  }

  void write_to_sink(const std::string& line) {
    size_t written = 0;
    const bool ok = platform::write_file(sink.get(), line.data(), line.size(), &written);
    const std::string why = ok ? std::string() : platform::file_error_line(platform::last_error());
    // Part of a line would break the line after it: what was written goes.
    if (!ok && written > 0) platform::cut_file_end(sink.get(), written);
    bool first_failure = false;
    {
      std::lock_guard guard(lock);
      if (ok) {
        ++counted.sink_lines;
      } else {
        ++counted.sink_failures;
        first_failure = !sink_failed;
        sink_failed = true;
      }
    }
    if (first_failure && options.on_sink_failure) {
      options.on_sink_failure("cannot write to the sink " + options.sink_file + ": " + why);
    }
  }

  void take_datagram(const Pending& received) {
    Datagram d;
    d.time = received.time;
    d.from = ipv4_text(received.address) + ":" +
             std::to_string(platform::network_to_host(received.port));
    d.bytes = received.bytes.size();
    d.record = zlib_inflate(received.bytes, kBodyLimit, &d.error);
    if (!d.record) d.raw = received.bytes;
    if (log_socket && !platform::send_datagram(
                          log_socket.get(), received.bytes.data(), received.bytes.size(),
                          log_address, platform::host_to_network(options.upstream_log->port))) {
      d.forward_error = socket_error_text();
    }
    if (sink) write_to_sink(d.line() + "\n");
    if (options.on_datagram) options.on_datagram(d);
    report_drops();
    {
      std::lock_guard guard(lock);
      ++counted.datagrams;
    }
    journal_->add(std::move(d));
  }

  // Says so when datagrams were lost since it last did, at most once a second.
  void report_drops() {
    if (!options.on_drops || !udp_receiver) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - drops_reported_at < std::chrono::seconds(1)) return;
    Counters c;
    {
      std::lock_guard guard(lock);
      c = counted;
    }
    c.system_drops_known = udp_receiver->drops_known();
    c.system_drops = udp_receiver->system_drops();
    const uint64_t lost = c.system_drops + c.datagrams_dropped;
    if (lost == drops_reported) return;
    drops_reported = lost;
    drops_reported_at = now;
    options.on_drops(c);
  }

  void start_udp() {
    const auto address = parse_ipv4(options.address);
    if (!address) throw std::runtime_error("not an IPv4 address: " + options.address);
    if (!options.sink_file.empty()) {
      sink.reset(platform::open_regular_for_append(options.sink_file.c_str()));
      if (!sink) {
        throw std::runtime_error("cannot append to " + options.sink_file + ": " +
                                 platform::file_error_line(platform::last_error()));
      }
    }
    if (options.upstream_log) start_log_forwarding(*options.upstream_log);
    decoder = std::thread([this] { decode_loop(); });
    try {
      udp_receiver.emplace(
          *address, platform::host_to_network(options.udp_port),
          [this](const platform::UdpReceiver::Datagram& received) { queue_datagram(received); },
          kReceiveBuffer);
    } catch (const std::runtime_error& e) {
      throw std::runtime_error("cannot listen on udp " + options.address + ":" +
                               std::to_string(options.udp_port) + ": " + e.what());
    }
    udp_port = udp_receiver->port();
  }

  void start_log_forwarding(const Endpoint& to) {
    char address[16];
    const auto found = platform::lookup_ipv4(to.host.c_str(), address);
    if (found != platform::LookupResult::kAddress) {
      throw std::runtime_error(
          "cannot find the log server " + to.host +
          (found == platform::LookupResult::kNoAddress ? ": it has no IPv4 address" : ""));
    }
    log_address = platform::ipv4_from_text(address);
    log_socket = platform::Socket(platform::udp_socket());
    if (!log_socket) throw std::runtime_error("cannot open a UDP socket: " + socket_error_text());
  }

  // What both listeners share: a worker per connection, time limits, a
  // bound on bodies.
  static void configure(httplib::Server& http) {
    // The HTTP library asks for a plain pointer and owns (and deletes) it.
    http.new_task_queue = [] { return new GrowingPool(kMaxWorkers); };
    // An answer's head and body leave at once, not a delayed acknowledgement apart.
    http.set_tcp_nodelay(true);
    http.set_read_timeout(kReadTimeoutSeconds, 0);
    http.set_write_timeout(kReadTimeoutSeconds, 0);
    http.set_keep_alive_timeout(kKeepAliveSeconds);
    // The accept loop looks up now and then, so that stop() reaches it.
    http.set_idle_interval(0, 100000);
    // A body announced larger is skipped unread and answered with 413.
    http.set_payload_max_length(kBodyLimit);
  }

  // Binds `http` and runs it on `thread`; returns the port.
  static uint16_t listen(httplib::Server& http, std::thread& thread, const std::string& address,
                         uint16_t port) {
    bool bound = false;
    if (port == 0) {
      const int any = http.bind_to_any_port(address);
      bound = any > 0;
      if (bound) port = static_cast<uint16_t>(any);
    } else {
      bound = http.bind_to_port(address, port);
    }
    if (!bound) {
      throw std::runtime_error("cannot listen on http " + address + ":" + std::to_string(port) +
                               " (port in use, or an address this host does not have)");
    }
    // The HTTP library listens with a backlog of five: room for bursts.
    platform::widen_listen_backlog(port, kListenBacklog);
    thread = std::thread([&http] { http.listen_after_bind(); });
    // stop() only reaches a server that has entered its loop.
    for (int i = 0; i < 5000 && !http.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return port;
  }

  void start_http() {
    control_apart = !options.control_address.empty() && options.control_address != options.address;
    control_address = control_apart ? options.control_address : options.address;
    if (!parse_ipv4(control_address)) {
      throw std::runtime_error("not an IPv4 address: " + control_address);
    }
    // Beyond loopback, anyone who can reach it could read the journal and
    // change the answers: a token is asked for.
    const bool needs_token =
        !is_loopback_address(options.address) || !is_loopback_address(control_address);
    guard.emplace(control_address, needs_token ? new_token() : std::string());

    configure(server);
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      return front(req, res, !control_apart);
    });
    // Whatever the HTTP library answered without a handler is journaled too.
    server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
      const bool journaled = std::exchange(t_journaled, false);
      if (!journaled && !is_control_path(req.path)) keep_unrouted(req, res);
    });
    // First: the service's own routes take every path.
    if (!control_apart) add_control_routes(server, *this);
    server.Post(R"(/.*)",
                [this](const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& reader) { answer_post(req, res, reader); });
    server.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      answer(req, std::string(), res);
    });
    http_port = listen(server, http_thread, options.address, options.http_port);

    if (control_apart) {
      configure(control_server);
      control_server.set_pre_routing_handler(
          [this](const httplib::Request& req, httplib::Response& res) {
            std::optional<Refusal> refusal =
                is_control_path(req.path)
                    ? guard->check(req)
                    : Refusal{404, "only the control interface listens here, below " +
                                       std::string(kControlPrefix)};
            if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
            reply_refusal(res, *refusal);
            return httplib::Server::HandlerResponse::Handled;
          });
      add_control_routes(control_server, *this);
      control_port = listen(control_server, control_thread, control_address, options.control_port);
    } else {
      control_port = http_port;
    }
    guard->set_port(control_port);
  }

  // ---- what the control interface acts on
  Journal& journal() override { return *journal_; }
  Scenario& scenario() override { return scenario_; }

  bool put_answer(const std::string& key, std::string_view utf8_text, size_t most) override {
    std::string gbk = encode(key, utf8_text);
    std::lock_guard hold(lock);
    if (!served.contains(key) && !served_raw.contains(key) &&
        served.size() + served_raw.size() >= most) {
      return false;
    }
    served.insert_or_assign(key, std::move(gbk));
    served_raw.erase(key);
    return true;
  }

  bool remove_answer(const std::string& key) override {
    std::lock_guard guard(lock);
    const bool text = served.erase(key) > 0;
    const bool raw = served_raw.erase(key) > 0;
    return text || raw;
  }

  bool put_fault(const std::string& key, const Fault& fault, size_t most) override {
    std::lock_guard hold(lock);
    if (!faults.contains(key) && faults.size() >= most) return false;
    faults.insert_or_assign(key, fault);
    return true;
  }

  uint64_t console_dropped() override {
    return options.console_dropped ? options.console_dropped() : 0;
  }

  bool remove_fault(const std::string& key) override {
    std::lock_guard guard(lock);
    return faults.erase(key) > 0;
  }

  std::string answers_json() override {
    json_object* answers = json_object_new_object();
    json_object* raws = json_object_new_object();
    json_object* fault_list = json_object_new_object();
    {
      std::lock_guard guard(lock);
      for (const auto& [key, gbk] : served) {
        const auto utf8 = gbk_to_utf8_exact(gbk);
        JsonValue value = utf8 ? parse_strict_json(*utf8) : nullptr;
        json_object_object_add(
            answers, key.c_str(),
            value ? value.release() : json_object_new_string(kiv::text::gbk_to_utf8(gbk).c_str()));
      }
      for (const auto& [key, bytes] : served_raw) {
        json_object_object_add(raws, key.c_str(),
                               json_object_new_int64(static_cast<int64_t>(bytes.size())));
      }
      for (const auto& [key, fault] : faults) {
        json_object_object_add(fault_list, key.c_str(),
                               json_object_new_string(fault.describe().c_str()));
      }
    }
    auto text = [](json_object* o) {
      std::string out = json_object_to_json_string_ext(
          o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
      json_object_put(o);
      return out;
    };
    return "\"answers\":" + text(answers) + ",\"raw_answers\":" + text(raws) +
           ",\"faults\":" + text(fault_list);
  }

  void stop() {
    std::set<std::shared_ptr<UpstreamCall>> calls;
    {
      std::lock_guard guard(lock);
      if (stopping) return;
      stopping = true;
      calls = upstream_calls;
    }
    changed.notify_all();
    // Readers waiting on the journal let their workers go.
    if (journal_) journal_->close();
    for (const auto& call : calls) {
      call->client.stop();
      call->done_changed.notify_all();
    }
    // Connections that are idle, slow or mid-request would each hold their
    // worker until their own time-out: they are cut off, again and again
    // until each server's loop has ended (one may be accepted meanwhile).
    for (auto [http, thread, port] : {std::tuple{&server, &http_thread, http_port},
                                      std::tuple{&control_server, &control_thread, control_port}}) {
      if (!thread->joinable()) continue;
      http->stop();
      std::atomic<bool> joined{false};
      std::thread cutter([port, &joined] {
        while (!joined.load()) {
          platform::shut_down_accepted_connections(port);
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
      });
      thread->join();
      joined.store(true);
      cutter.join();
    }
    if (udp_receiver) udp_receiver->stop();
    if (decoder.joinable()) {
      {
        std::lock_guard guard(pending_lock);
        decoder_stopping = true;
        decode_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
      }
      pending_changed.notify_all();
      decoder.join();
    }
  }
};

Service::Service(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->journal_ = std::make_unique<Journal>(
      impl_->options.journal_entries, impl_->options.journal_bytes, impl_->options.journal_file);
  if (!impl_->options.rules.empty()) {
    std::string why;
    auto rules = Scenario::parse(impl_->options.rules, &why);
    if (!rules) throw std::runtime_error("rules: " + why);
    impl_->scenario_.add(std::move(*rules));
  }
  for (const auto& [key, text] : impl_->options.answers.texts()) {
    impl_->served.emplace(key, impl_->encode(key, text));
  }
  impl_->served_raw = impl_->options.answers.raws();
  if (!impl_->options.record_folder.empty()) {
    impl_->recorder = std::make_unique<Recorder>(impl_->options.record_folder);
  }
  try {
    impl_->start_udp();
    impl_->start_http();
  } catch (...) {
    impl_->stop();
    throw;
  }
}

Service::~Service() {
  impl_->stop();
}

const std::string& Service::address() const {
  return impl_->options.address;
}
uint16_t Service::http_port() const {
  return impl_->http_port;
}
uint16_t Service::udp_port() const {
  return impl_->udp_port;
}
const std::string& Service::control_address() const {
  return impl_->control_address;
}
uint16_t Service::control_port() const {
  return impl_->control_port;
}
const std::string& Service::control_token() const {
  return impl_->guard->token();
}

void Service::set_answer(std::string_view path, std::string_view utf8_text) {
  const std::string key = answer_key(path);
  std::string gbk = impl_->encode(key, utf8_text);
  std::lock_guard guard(impl_->lock);
  impl_->served.insert_or_assign(key, std::move(gbk));
  impl_->served_raw.erase(key);
}

void Service::set_fault(std::string_view path, const Fault& fault) {
  std::lock_guard guard(impl_->lock);
  impl_->faults.insert_or_assign(answer_key(path), fault);
}

void Service::clear_fault(std::string_view path) {
  std::lock_guard guard(impl_->lock);
  const auto it = impl_->faults.find(answer_key(path));
  if (it != impl_->faults.end()) impl_->faults.erase(it);
}

std::vector<HttpExchange> Service::take_exchanges() {
  return impl_->journal_->take_exchanges();
}

std::vector<Datagram> Service::wait_for_datagrams(std::size_t count,
                                                  std::chrono::milliseconds timeout) {
  return impl_->journal_->take_datagrams(count, timeout);
}

Counters Service::counters() const {
  Counters out;
  {
    std::lock_guard guard(impl_->lock);
    out = impl_->counted;
    out.history_dropped = impl_->journal_->dropped();
  }
  if (impl_->udp_receiver) {
    out.system_drops_known = impl_->udp_receiver->drops_known();
    out.system_drops = impl_->udp_receiver->system_drops();
    out.receive_buffer = impl_->udp_receiver->receive_buffer();
  }
  return out;
}

void Service::stop() {
  impl_->stop();
}

JournalFigures Service::journal_figures() const {
  const Journal& journal = *impl_->journal_;
  return {journal.received(), journal.dropped(), journal.file_failures()};
}

}  // namespace kiv::standin
