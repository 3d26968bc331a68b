#include "udp_sink.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <stdexcept>

#include "zlib_util.h"

namespace kiv::test {

namespace {

#if defined(_WIN32)
using socklen_t = int;
void close_socket(intptr_t socket) {
  ::closesocket(static_cast<SOCKET>(socket));
}
// Winsock counts its users: each sink holds it while it lives.
void start_sockets() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup");
}
void stop_sockets() {
  WSACleanup();
}
constexpr intptr_t kNoSocket = static_cast<intptr_t>(INVALID_SOCKET);
#else
void close_socket(intptr_t socket) {
  ::close(static_cast<int>(socket));
}
void start_sockets() {}
void stop_sockets() {}
constexpr intptr_t kNoSocket = -1;
#endif

// How often the receiving thread looks whether it is asked to stop.
constexpr long kStopCheckMicroseconds = 20000;

}  // namespace

UdpSink::UdpSink() {
  start_sockets();
  socket_ = static_cast<intptr_t>(::socket(AF_INET, SOCK_DGRAM, 0));
  if (socket_ == kNoSocket) {
    stop_sockets();
    throw std::runtime_error("socket");
  }
  int big = 4 << 20;  // room for bursts from the concurrency tests
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&big), sizeof big);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close_socket(socket_);
    stop_sockets();
    throw std::runtime_error("bind");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { receive_loop(); });
}

UdpSink::~UdpSink() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  close_socket(socket_);
  stop_sockets();
}

void UdpSink::receive_loop() {
  std::string buffer(65536, '\0');
  while (!stop_) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait{0, kStopCheckMicroseconds};
    if (::select(static_cast<int>(socket_ + 1), &readable, nullptr, nullptr, &wait) <= 0) continue;
    const auto n = ::recv(socket_, buffer.data(), static_cast<int>(buffer.size()), 0);
    if (n < 0) continue;
    Datagram datagram;
    datagram.raw.assign(buffer.data(), static_cast<size_t>(n));
    datagram.inflated = zlib_inflate(datagram.raw, &datagram.text);
    {
      std::lock_guard guard(lock_);
      datagrams_.push_back(std::move(datagram));
    }
    arrived_.notify_all();
  }
}

std::vector<Datagram> UdpSink::wait_for(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  arrived_.wait_for(guard, timeout, [&] { return datagrams_.size() >= count; });
  return datagrams_;
}

std::vector<Datagram> UdpSink::received() const {
  std::lock_guard guard(lock_);
  return datagrams_;
}

void UdpSink::clear() {
  std::lock_guard guard(lock_);
  datagrams_.clear();
}

}  // namespace kiv::test
