// POSIX side of what only programs use of the system beyond the programs'
// platform layer proper: stop requests, the command line's text and the
// receiving end of UDP. Kept out of the platform layer that the libraries
// link, so that no library carries them.
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform.h"

namespace kiv::platform {

// ---- the receiving end of UDP ---------------------------------------------------------

void set_receive_buffer(SocketHandle socket, int bytes) noexcept {
  ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

SocketHandle udp_bound_socket(uint32_t address, uint16_t port, uint16_t* bound_port) noexcept {
  const SocketHandle socket = udp_socket();
  if (socket == kInvalidSocket) return kInvalidSocket;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = port;
  local.sin_addr.s_addr = address;
  socklen_t size = sizeof local;
  const int fd = static_cast<int>(socket);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    const int error = errno;  // the bind's failure, not the close's
    close_socket(socket);
    errno = error;
    return kInvalidSocket;
  }
  if (bound_port != nullptr) *bound_port = local.sin_port;
  return socket;
}

ReceiveResult receive_datagram(SocketHandle socket, void* buffer, size_t size, int timeout_ms,
                               size_t* received, uint32_t* from_address,
                               uint16_t* from_port) noexcept {
  pollfd ready{static_cast<int>(socket), POLLIN, 0};
  const int n = ::poll(&ready, 1, timeout_ms);
  if (n == 0 || (n < 0 && errno == EINTR)) return ReceiveResult::kTimedOut;
  if (n < 0) return ReceiveResult::kFailed;
  sockaddr_in from{};
  socklen_t from_size = sizeof from;
  const ssize_t got = ::recvfrom(static_cast<int>(socket), buffer, size, 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_size);
  if (got < 0) return ReceiveResult::kFailed;
  if (received != nullptr) *received = static_cast<size_t>(got);
  if (from_address != nullptr) *from_address = from.sin_addr.s_addr;
  if (from_port != nullptr) *from_port = from.sin_port;
  return ReceiveResult::kDatagram;
}

// ---- stop requests, command line ------------------------------------------------------

namespace {
sigset_t stop_signals() noexcept {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}
}  // namespace

void catch_stop_requests() noexcept {
  // Blocked here, the signals stay pending until sigwait takes them; threads
  // started later inherit the mask.
  const sigset_t signals = stop_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void wait_for_stop_request() noexcept {
  const sigset_t signals = stop_signals();
  int signal_number = 0;
  sigwait(&signals, &signal_number);
}

bool wait_for_stop_request_for(int timeout_ms) noexcept {
  const sigset_t signals = stop_signals();
  timespec wait{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  int taken;
  do {
    taken = sigtimedwait(&signals, nullptr, &wait);
  } while (taken < 0 && errno == EINTR);
  return taken > 0;
}

uint32_t command_line_code_page() noexcept {
  return 0;
}

bool command_line_to_utf8(std::string_view text, std::string* utf8) {
  utf8->assign(text);
  return true;
}

}  // namespace kiv::platform
