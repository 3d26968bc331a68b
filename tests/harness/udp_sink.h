#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "udp_receiver.h"

namespace kiv::test {

struct Datagram {
  std::string raw;   // the payload as received
  std::string text;  // the payload inflated, when it is one zlib stream
  bool inflated = false;
};

// Receives UDP datagrams on 127.0.0.1 with a port of its own.
class UdpSink {
 public:
  UdpSink();
  UdpSink(const UdpSink&) = delete;
  UdpSink& operator=(const UdpSink&) = delete;

  uint16_t port() const { return receiver_.port(); }

  // Waits until at least `count` datagrams have arrived or the time is up,
  // and returns all received so far.
  std::vector<Datagram> wait_for(size_t count,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::vector<Datagram> received() const;
  void clear();

 private:
  void take(const platform::UdpReceiver::Datagram& datagram);

  mutable std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<Datagram> datagrams_;
  platform::UdpReceiver receiver_;  // last: it stops before the rest goes
};

}  // namespace kiv::test
