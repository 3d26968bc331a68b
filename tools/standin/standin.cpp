#include "standin.h"

#include <httplib.h>
#include <json-c/json.h>

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "codec.h"
#include "control.h"
#include "gbk_text.h"
#include "journal.h"
#include "platform.h"
#include "recording.h"
#include "scenario.h"
#include "udp_receiver.h"

namespace kiv::standin {
namespace {

constexpr std::size_t kRequestLimit = 16u << 20;  // inflated request bodies shown
// Enough workers that a few readers waiting on the journal keep no client waiting.
constexpr std::size_t kHttpWorkers = 64;
// What a busy front end answers instead of the service's JSON.
constexpr std::string_view kNotJsonText =
    "<html><head><title>503 Service Unavailable</title></head>"
    "<body>The service is busy, please try again later.</body></html>";

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Why the last socket call failed, in the system's words.
std::string socket_error_text() {
  return platform::error_line(platform::socket_last_error());
}

// A dotted IPv4 address, as strict as inet_pton: four decimal numbers of at
// most 255, without leading zeros. The bytes in network order.
std::optional<uint32_t> parse_ipv4(std::string_view text) {
  unsigned char bytes[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    size_t digits = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') {
      ++digits;
    }
    if (digits == 0 || digits > 3 || (digits > 1 && text.front() == '0')) return std::nullopt;
    int value = 0;
    for (size_t d = 0; d < digits; ++d) value = value * 10 + (text[d] - '0');
    if (value > 255) return std::nullopt;
    bytes[i] = static_cast<unsigned char>(value);
    text.remove_prefix(digits);
  }
  if (!text.empty()) return std::nullopt;
  uint32_t address = 0;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

std::string ipv4_text(uint32_t address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

bool parse_int(std::string_view text, long long low, long long high, long long* out) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return false;
  }
  *out = value;
  return true;
}

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
    long long value = 0;
    if (part.starts_with("status=")) {
      if (!parse_int(part.substr(7), 200, 599, &value)) {
        return fail("status must be an HTTP status from 200 to 599: " + std::string(part));
      }
      fault.status = static_cast<int>(value);
    } else if (part.starts_with("delay=")) {
      if (!parse_int(part.substr(6), 0, 600000, &value)) {
        return fail("delay must be milliseconds from 0 to 600000: " + std::string(part));
      }
      fault.delay = std::chrono::milliseconds(value);
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
  if (record) {
    std::string line;
    kiv::text::append_display_line(*record, true, line);
    line.pop_back();  // the line break
    return line;
  }
  json_object* why = json_object_new_object();
  json_object_object_add(why, "from",
                         json_object_new_string_len(from.data(), static_cast<int>(from.size())));
  json_object_object_add(why, "bytes", json_object_new_int64(static_cast<int64_t>(bytes)));
  json_object_object_add(why, "error",
                         json_object_new_string_len(error.data(), static_cast<int>(error.size())));
  std::string line =
      json_object_to_json_string_ext(why, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  json_object_put(why);
  return line;
}

struct Service::Impl final : ControlTarget {
  platform::SocketLayer sockets;
  Options options;
  uint16_t http_port = 0;
  uint16_t udp_port = 0;

  std::mutex lock;
  std::condition_variable changed;  // datagram arrived, or stopping
  bool stopping = false;
  std::map<std::string, std::string, std::less<>> served;      // key -> GBK text
  std::map<std::string, std::string, std::less<>> served_raw;  // key -> bytes as sent
  std::unique_ptr<Recorder> recorder;
  std::map<std::string, Fault, std::less<>> faults;
  // Everything received, bounded; the only history kept.
  std::unique_ptr<Journal> journal_;
  Scenario scenario_;

  httplib::Server server;
  std::thread http_thread;

  std::unique_ptr<std::FILE, FileCloser> sink;
  platform::Socket log_socket;  // to the upstream log server
  uint32_t log_address = 0;     // network order
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
      reply.plain = raw ? zlib_inflate(reply.body, kRequestLimit, nullptr) : std::move(text);
      ex.answer = chosen ? "answer of the rule"
                         : "answer \"" + key + (raw ? "\" (raw)" : "\"");
    } else {
      reply.status = 404;
      ex.answer = "no answer for this path";
      reply.body = ex.answer;
    }
    return reply;
  }

  Reply upstream_reply(const httplib::Request& req, HttpExchange& ex) {
    const Endpoint& up = *options.upstream;
    const std::string name = up.host + ":" + std::to_string(up.port);
    httplib::Client client(up.host, up.port);
    const auto limit = options.upstream_timeout;
    client.set_connection_timeout(limit);
    client.set_read_timeout(limit);
    client.set_write_timeout(limit);
    // The client library follows redirects: the final answer is the one that counts.
    client.set_follow_location(true);
    client.set_url_encode(false);  // the target as the client sent it
    client.set_keep_alive(false);
    const auto started = std::chrono::steady_clock::now();
    const httplib::Result result =
        client.Post(req.target, req.body, req.get_header_value("Content-Type"));
    Reply reply;
    if (result) {
      reply.status = result->status;
      reply.body = result->body;
      if (result->has_header("Content-Type"))
        reply.content_type = result->get_header_value("Content-Type");
      reply.plain = zlib_inflate(reply.body, kRequestLimit, nullptr);
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
    if (error == httplib::Error::Connection) {
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

  void apply(const Fault& fault, Reply& reply) {
    if (fault.not_json) {
      reply.plain = std::string(kNotJsonText);
      reply.body = zlib_compress(kNotJsonText);
    }
    if (fault.not_zlib && reply.plain) reply.body = *reply.plain;
    if (fault.empty_body) reply.body.clear();
    if (fault.status) reply.status = *fault.status;
  }

  void answer(const httplib::Request& req, httplib::Response& res) {
    const auto arrived = std::chrono::steady_clock::now();
    HttpExchange ex;
    ex.time = journal_time();
    ex.from = req.remote_addr + ":" + std::to_string(req.remote_port);
    ex.method = req.method;
    ex.path = req.path;
    ex.body_bytes = req.body.size();
    ex.request = zlib_inflate(req.body, kRequestLimit, &ex.request_error);

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
                      ? upstream_reply(req, ex)
                      : own_reply(req, key, ex, chosen);
    // What the service said, not what the faults made of it.
    // A rule's answer is the test's, not the service's: it is not recorded.
    if (recorder && reply.answered && reply.status == 200 && !chosen) {
      try {
        ex.record = "recorded " + recorder->record(key, req.body, reply.body);
      } catch (const std::runtime_error& e) {
        ex.record = "NOT recorded: " + std::string(e.what());
      }
    }
    if (fault && reply.answered) apply(*fault, reply);

    ex.status = reply.status;
    ex.answer_bytes = reply.body.size();
    if (!reply.cut) ex.answer_text = zlib_inflate(reply.body, kRequestLimit, nullptr);
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
    if (options.on_http) options.on_http(ex);
    journal_->add(std::move(ex));
  }

  void take_datagram(const platform::UdpReceiver::Datagram& received) {
    Datagram d;
    d.time = journal_time();
    d.from = ipv4_text(received.from_address) + ":" +
             std::to_string(platform::network_to_host(received.from_port));
    d.bytes = received.bytes.size();
    d.record = zlib_inflate(received.bytes, kRequestLimit, &d.error);
    if (log_socket && !platform::send_datagram(
                          log_socket.get(), received.bytes.data(), received.bytes.size(),
                          log_address, platform::host_to_network(options.upstream_log->port))) {
      d.forward_error = socket_error_text();
    }
    if (sink) {
      const std::string line = d.line() + "\n";
      std::fwrite(line.data(), 1, line.size(), sink.get());
      std::fflush(sink.get());
    }
    if (options.on_datagram) options.on_datagram(d);
    journal_->add(std::move(d));
  }

  void start_udp() {
    const auto address = parse_ipv4(options.address);
    if (!address) throw std::runtime_error("not an IPv4 address: " + options.address);
    if (!options.sink_file.empty()) {
      sink.reset(std::fopen(options.sink_file.c_str(), "ab"));
      if (!sink) {
        throw std::runtime_error("cannot append to " + options.sink_file + ": " +
                                 std::strerror(errno));
      }
    }
    if (options.upstream_log) start_log_forwarding(*options.upstream_log);
    try {
      udp_receiver.emplace(
          *address, platform::host_to_network(options.udp_port),
          [this](const platform::UdpReceiver::Datagram& received) { take_datagram(received); });
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

  void start_http() {
    server.new_task_queue = [] { return new httplib::ThreadPool(kHttpWorkers); };
    // First: the service's own routes take every path.
    add_control_routes(server, *this);
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      answer(req, res);
    };
    server.Post(R"(/.*)", handler);
    server.Get(R"(/.*)", handler);
    bool bound = false;
    if (options.http_port == 0) {
      const int port = server.bind_to_any_port(options.address);
      bound = port > 0;
      if (bound) http_port = static_cast<uint16_t>(port);
    } else {
      bound = server.bind_to_port(options.address, options.http_port);
      http_port = options.http_port;
    }
    if (!bound) {
      throw std::runtime_error("cannot listen on http " + options.address + ":" +
                               std::to_string(options.http_port) +
                               " (port in use, or an address this host does not have)");
    }
    http_thread = std::thread([this] { server.listen_after_bind(); });
    // stop() only reaches a server that has entered its loop.
    for (int i = 0; i < 5000 && !server.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // ---- what the control interface acts on
  Journal& journal() override { return *journal_; }
  Scenario& scenario() override { return scenario_; }

  void put_answer(const std::string& key, std::string_view utf8_text) override {
    std::string gbk = encode(key, utf8_text);
    std::lock_guard guard(lock);
    served.insert_or_assign(key, std::move(gbk));
    served_raw.erase(key);
  }

  bool remove_answer(const std::string& key) override {
    std::lock_guard guard(lock);
    const bool text = served.erase(key) > 0;
    const bool raw = served_raw.erase(key) > 0;
    return text || raw;
  }

  void put_fault(const std::string& key, const Fault& fault) override {
    std::lock_guard guard(lock);
    faults.insert_or_assign(key, fault);
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
        json_object_object_add(answers, key.c_str(),
                               value ? value.release()
                                     : json_object_new_string(kiv::text::gbk_to_utf8(gbk).c_str()));
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
    {
      std::lock_guard guard(lock);
      if (stopping) return;
      stopping = true;
    }
    changed.notify_all();
    // Readers waiting on the journal let their workers go.
    if (journal_) journal_->close();
    if (http_thread.joinable()) {
      server.stop();
      http_thread.join();
    }
    if (udp_receiver) udp_receiver->stop();
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

void Service::stop() {
  impl_->stop();
}

JournalFigures Service::journal_figures() const {
  const Journal& journal = *impl_->journal_;
  return {journal.received(), journal.dropped(), journal.file_failures()};
}

}  // namespace kiv::standin
