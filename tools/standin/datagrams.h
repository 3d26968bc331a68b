// The log-server side of the stand-in: datagrams taken off the socket as fast
// as they come, decoded on a thread of their own, passed on to an upstream
// log server, written to the sink, shown and journaled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "journal.h"
#include "platform.h"
#include "standin.h"
#include "udp_receiver.h"

namespace kiv::standin {

class DatagramSide {
 public:
  // Binds the UDP port of `options` and starts. Throws std::runtime_error
  // with a readable reason. `options` and `journal` outlive it.
  DatagramSide(const Options& options, Journal& journal);
  ~DatagramSide();
  DatagramSide(const DatagramSide&) = delete;
  DatagramSide& operator=(const DatagramSide&) = delete;

  uint16_t port() const { return port_; }
  // Takes no more datagrams, decodes what came for a moment longer and
  // drops (and counts) the rest.
  void stop();
  // Its figures, put into `c`.
  void count(Counters& c) const;

 private:
  // A datagram received and not yet decoded.
  struct Pending {
    std::string time;
    std::string bytes;
    uint32_t address = 0;
    uint16_t port = 0;
  };

  void queue(const platform::UdpReceiver::Datagram& received);
  void decode_loop();
  void take(const Pending& received);
  void write_to_sink(const std::string& line);
  void report_drops();
  void start_log_forwarding(const Endpoint& to);

  const Options& options_;
  Journal& journal_;
  platform::SocketLayer sockets_;
  uint16_t port_ = 0;

  mutable std::mutex count_lock_;
  Counters counted_;
  bool sink_failed_ = false;
  platform::File sink_;
  platform::Socket log_socket_;  // to the upstream log server
  uint32_t log_address_ = 0;     // network order

  std::mutex pending_lock_;
  std::condition_variable pending_changed_;
  std::deque<Pending> pending_;
  std::size_t pending_bytes_ = 0;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point decode_until_{};  // once stopping
  std::thread decoder_;
  uint64_t drops_reported_ = 0;  // by the decoder thread alone
  std::chrono::steady_clock::time_point drops_reported_at_{};
  // Last: it stops before what its handler uses goes.
  std::optional<platform::UdpReceiver> receiver_;
};

}  // namespace kiv::standin
