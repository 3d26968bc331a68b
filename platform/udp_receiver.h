// Receives UDP datagrams on a thread of its own and hands each one, bytes as
// they came, to a handler: the log-server side of the stand-in and the
// tests' sink are both built on it. Programs only; the libraries never link it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "platform.h"

namespace kiv::platform {

class UdpReceiver {
 public:
  struct Datagram {
    std::string_view bytes;  // valid during the handler's call only
    uint32_t from_address;   // network order
    uint16_t from_port;      // network order
  };
  using Handler = std::function<void(const Datagram&)>;

  // Listens on `address`:`port` (network order; port 0 takes a free one)
  // and calls `handler` on the receiving thread for every datagram.
  // `receive_buffer` > 0 asks the system for that much room for bursts.
  // Throws std::runtime_error with the system's reason when it cannot listen.
  UdpReceiver(uint32_t address, uint16_t port, Handler handler, int receive_buffer = 0);
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  uint16_t port() const { return port_; }  // host order
  // The receive buffer the system gave, in bytes (0 when unknown).
  int receive_buffer() const { return receive_buffer_; }
  // Whether the system counts the datagrams it drops for want of room, and
  // how many it dropped so far.
  bool drops_known() const { return drops_known_; }
  uint64_t system_drops() const;

  // Returns once the handler runs no more; the destructor does it too.
  void stop();

 private:
  void receive_loop();
  void wake();

  SocketLayer sockets_;
  Handler handler_;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
  Socket socket_;
  int receive_buffer_ = 0;
  bool drops_known_ = false;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace kiv::platform
