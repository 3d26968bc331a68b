#include "datagrams.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "codec.h"
#include "guard.h"
#include "json_tools.h"
#include "program.h"

namespace kiv::standin {
namespace {

// Datagrams waiting to be decoded: a burst is taken whole, a flood of
// bombs is cut off (and counted) rather than held.
constexpr std::size_t kPendingBytes = 32u << 20;
// As much room as the system grants for bursts (it may cap it lower).
constexpr int kReceiveBuffer = 8 << 20;

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

}  // namespace

std::string Datagram::line() const {
  std::string why;
  std::string text;
  bool is_text = false;
  if (record) {
    if (auto utf8 = codec::gbk_to_utf8_exact(*record)) {
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
  json_object_object_add(wrapper, "time", json_text(time));
  json_object_object_add(wrapper, "from", json_text(from));
  json_object_object_add(wrapper, "bytes", json_object_new_int64(static_cast<int64_t>(bytes)));
  json_object_object_add(wrapper, "error", json_text(why));
  if (is_text) {
    json_object_object_add(wrapper, "text", json_text(text));
  } else {
    json_object_object_add(wrapper, "base64", json_text(base64(record ? *record : raw)));
  }
  return json_line(wrapper);
}

DatagramSide::DatagramSide(const Options& options, Journal& journal)
    : options_(options), journal_(journal) {
  const auto address = parse_ipv4(options_.address);
  if (!address) throw std::runtime_error("not an IPv4 address: " + options_.address);
  if (!options_.sink_file.empty()) {
    sink_.reset(platform::open_regular_for_append(options_.sink_file.c_str()));
    if (!sink_) {
      throw std::runtime_error("cannot append to " + options_.sink_file + ": " +
                               platform::file_error_line(platform::last_error()));
    }
  }
  if (options_.upstream_log) start_log_forwarding(*options_.upstream_log);
  decoder_ = std::thread([this] { decode_loop(); });
  try {
    receiver_.emplace(
        *address, platform::host_to_network(options_.udp_port),
        [this](const platform::UdpReceiver::Datagram& received) { queue(received); },
        kReceiveBuffer);
  } catch (const std::runtime_error& e) {
    stop();
    throw std::runtime_error("cannot listen on udp " + options_.address + ":" +
                             std::to_string(options_.udp_port) + ": " + e.what());
  }
  port_ = receiver_->port();
}

DatagramSide::~DatagramSide() {
  stop();
}

void DatagramSide::stop() {
  if (receiver_) receiver_->stop();
  if (decoder_.joinable()) {
    {
      std::lock_guard guard(pending_lock_);
      stopping_ = true;
      decode_until_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    }
    pending_changed_.notify_all();
    decoder_.join();
  }
}

void DatagramSide::count(Counters& c) const {
  {
    std::lock_guard guard(count_lock_);
    c.datagrams = counted_.datagrams;
    c.datagrams_dropped = counted_.datagrams_dropped;
    c.sink_lines = counted_.sink_lines;
    c.sink_failures = counted_.sink_failures;
  }
  if (receiver_) {
    c.system_drops_known = receiver_->drops_known();
    c.system_drops = receiver_->system_drops();
    c.receive_buffer = receiver_->receive_buffer();
  }
}

// On the receiving thread: only queued, so that the socket is emptied as fast
// as datagrams come.
void DatagramSide::queue(const platform::UdpReceiver::Datagram& received) {
  {
    std::lock_guard guard(pending_lock_);
    if (received.bytes.size() > kPendingBytes - pending_bytes_) {
      std::lock_guard count_guard(count_lock_);
      ++counted_.datagrams_dropped;
      return;
    }
    pending_.push_back(
        {journal_time(), std::string(received.bytes), received.from_address, received.from_port});
    pending_bytes_ += received.bytes.size();
  }
  pending_changed_.notify_one();
}

void DatagramSide::decode_loop() {
  for (;;) {
    Pending next;
    {
      std::unique_lock guard(pending_lock_);
      pending_changed_.wait(guard, [this] { return stopping_ || !pending_.empty(); });
      if (pending_.empty()) return;
      // A stop decodes what came for a moment longer, then drops the rest
      // (a queue of bombs would take minutes), and counts it.
      if (stopping_ && std::chrono::steady_clock::now() >= decode_until_) {
        std::lock_guard count_guard(count_lock_);
        counted_.datagrams_dropped += pending_.size();
        pending_.clear();
        pending_bytes_ = 0;
        return;
      }
      next = std::move(pending_.front());
      pending_.pop_front();
      pending_bytes_ -= next.bytes.size();
    }
    take(next);
  }
}

void DatagramSide::take(const Pending& received) {
  Datagram d;
  d.time = received.time;
  d.from =
      ipv4_text(received.address) + ":" + std::to_string(platform::network_to_host(received.port));
  d.bytes = received.bytes.size();
  d.record = codec::zlib_inflate(received.bytes, codec::kBodyLimit, &d.error);
  if (!d.record) d.raw = received.bytes;
  if (log_socket_ && !platform::send_datagram(
                         log_socket_.get(), received.bytes.data(), received.bytes.size(),
                         log_address_, platform::host_to_network(options_.upstream_log->port))) {
    d.forward_error = socket_error_text();
  }
  if (sink_) write_to_sink(d.line() + "\n");
  if (options_.on_datagram) options_.on_datagram(d);
  report_drops();
  {
    std::lock_guard guard(count_lock_);
    ++counted_.datagrams;
  }
  journal_.add(std::move(d));
}

void DatagramSide::write_to_sink(const std::string& line) {
  size_t written = 0;
  const bool ok = platform::write_file(sink_.get(), line.data(), line.size(), &written);
  const std::string why = ok ? std::string() : platform::file_error_line(platform::last_error());
  // Part of a line would break the line after it: what was written goes.
  if (!ok && written > 0) platform::cut_file_end(sink_.get(), written);
  bool first_failure = false;
  {
    std::lock_guard guard(count_lock_);
    if (ok) {
      ++counted_.sink_lines;
    } else {
      ++counted_.sink_failures;
      first_failure = !sink_failed_;
      sink_failed_ = true;
    }
  }
  if (first_failure && options_.on_sink_failure) {
    options_.on_sink_failure("cannot write to the sink " + options_.sink_file + ": " + why);
  }
}

// Says so when datagrams were lost since it last did, at most once a second.
void DatagramSide::report_drops() {
  if (!options_.on_drops || !receiver_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - drops_reported_at_ < std::chrono::seconds(1)) return;
  Counters c;
  count(c);
  const uint64_t lost = c.system_drops + c.datagrams_dropped;
  if (lost == drops_reported_) return;
  drops_reported_ = lost;
  drops_reported_at_ = now;
  options_.on_drops(c);
}

void DatagramSide::start_log_forwarding(const Endpoint& to) {
  char address[16];
  const auto found = platform::lookup_ipv4(to.host.c_str(), address);
  if (found != platform::LookupResult::kAddress) {
    throw std::runtime_error(
        "cannot find the log server " + to.host +
        (found == platform::LookupResult::kNoAddress ? ": it has no IPv4 address" : ""));
  }
  log_address_ = platform::ipv4_from_text(address);
  log_socket_ = platform::Socket(platform::udp_socket());
  if (!log_socket_) throw std::runtime_error("cannot open a UDP socket: " + socket_error_text());
}

}  // namespace kiv::standin
