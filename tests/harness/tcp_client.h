// A plain TCP connection to a loopback port, for tests that play a client
// the HTTP library would not be: one that sends nothing, or a byte at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiv::test {

class TcpClient {
 public:
  // Connects to 127.0.0.1:`port`; connected() says whether it did.
  explicit TcpClient(uint16_t port);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool connected() const { return socket_ != kNone; }
  bool send(std::string_view bytes);
  // What arrives until the peer closes or `timeout` passes.
  std::string receive_all(std::chrono::milliseconds timeout);
  // True when the peer has closed the connection (or it failed) within `timeout`.
  bool closed_by_peer(std::chrono::milliseconds timeout);

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t socket_ = kNone;
};

}  // namespace kiv::test
