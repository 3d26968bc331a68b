#include "udp_sink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "zlib_util.h"

namespace kiv::test {

UdpSink::UdpSink() {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) throw std::runtime_error("socket");
  int big = 4 << 20;  // room for bursts from the concurrency tests
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("bind");
  }
  socklen_t length = sizeof address;
  ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread([this] { receive_loop(); });
}

UdpSink::~UdpSink() {
  const char stop = 1;
  (void)!::write(wake_[1], &stop, 1);
  if (thread_.joinable()) thread_.join();
  ::close(socket_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void UdpSink::receive_loop() {
  std::string buffer(65536, '\0');
  for (;;) {
    pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    const ssize_t n = ::recv(socket_, buffer.data(), buffer.size(), 0);
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
