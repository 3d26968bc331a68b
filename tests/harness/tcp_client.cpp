#include "tcp_client.h"

#include "platform.h"
#include "program.h"
#include "test_system.h"

namespace kiv::test {

namespace {

// The socket layer, started for as long as the tests run.
const platform::SocketLayer& socket_layer() {
  static const platform::SocketLayer layer;
  return layer;
}

}  // namespace

TcpClient::TcpClient(uint16_t port) {
  (void)socket_layer();
  socket_ = platform::tcp_connect_loopback(port);
}

TcpClient::~TcpClient() {
  if (connected()) platform::close_socket(socket_);
}

bool TcpClient::send(std::string_view bytes) {
  while (connected() && !bytes.empty()) {
    const long n = platform::tcp_send(socket_, bytes.data(), bytes.size());
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return connected();
}

std::string TcpClient::receive_all(std::chrono::milliseconds timeout) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (connected()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 ||
        platform::wait_readable(socket_, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char buffer[4096];
    const long n = platform::tcp_receive(socket_, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

bool TcpClient::closed_by_peer(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (connected()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int ready = platform::wait_readable(socket_, static_cast<int>(left.count()));
    if (ready < 0) return true;
    if (ready == 0) return false;
    char buffer[4096];
    if (platform::tcp_receive(socket_, buffer, sizeof buffer) <= 0) return true;
  }
  return true;
}

}  // namespace kiv::test
