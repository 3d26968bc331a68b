#include "tcp_client.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "platform.h"

namespace kiv::test {

namespace {

#if defined(_WIN32)
using Native = SOCKET;
int wait_readable(Native s, int ms) {
  WSAPOLLFD p{s, POLLRDNORM, 0};
  return WSAPoll(&p, 1, ms);
}
void close_native(Native s) {
  closesocket(s);
}
#else
using Native = int;
int wait_readable(Native s, int ms) {
  pollfd p{s, POLLIN, 0};
  return ::poll(&p, 1, ms);
}
void close_native(Native s) {
  ::close(s);
}
#endif

Native native(intptr_t s) {
  return static_cast<Native>(s);
}

// The socket layer, started for as long as the tests run.
const platform::SocketLayer& socket_layer() {
  static const platform::SocketLayer layer;
  return layer;
}

}  // namespace

TcpClient::TcpClient(uint16_t port) {
  (void)socket_layer();
  const Native s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == static_cast<Native>(kNone)) return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    close_native(s);
    return;
  }
  socket_ = static_cast<intptr_t>(s);
}

TcpClient::~TcpClient() {
  if (connected()) close_native(native(socket_));
}

bool TcpClient::send(std::string_view bytes) {
  while (connected() && !bytes.empty()) {
    const auto n = ::send(native(socket_), bytes.data(), static_cast<int>(bytes.size()), 0);
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
    if (left.count() <= 0 || wait_readable(native(socket_), static_cast<int>(left.count())) <= 0) {
      break;
    }
    char buffer[4096];
    const auto n = ::recv(native(socket_), buffer, sizeof buffer, 0);
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
    const int ready = wait_readable(native(socket_), static_cast<int>(left.count()));
    if (ready < 0) return true;
    if (ready == 0) return false;
    char buffer[4096];
    if (::recv(native(socket_), buffer, sizeof buffer, 0) <= 0) return true;
  }
  return true;
}

}  // namespace kiv::test
