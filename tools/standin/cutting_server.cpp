#include "cutting_server.h"

#include <cstddef>

#include "program.h"

namespace kiv::standin {
namespace {

platform::SocketHandle handle_of(socket_t sock) {
  return static_cast<platform::SocketHandle>(sock);
}

}  // namespace

void CuttingServer::stop_and_cut_off() {
  {
    std::lock_guard guard(lock_);
    cutting_off_ = true;
    for (const socket_t sock : open_) platform::shut_down_connection(handle_of(sock));
  }
  stop();
}

bool CuttingServer::widen_backlog(int backlog) {
  return platform::widen_listen_backlog(handle_of(svr_sock_), backlog);
}

bool CuttingServer::process_and_close_socket(socket_t sock) {
  {
    std::lock_guard guard(lock_);
    open_.insert(sock);
    if (cutting_off_) platform::shut_down_connection(handle_of(sock));
  }
  bool ok = false;
  for (std::size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
    const int keep_alive_ms = static_cast<int>(keep_alive_timeout_sec_ * 1000);
    if (platform::wait_readable(handle_of(sock), keep_alive_ms) <= 0) break;
    bool closed = false;
    ok = httplib::detail::process_client_socket(
        sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_, write_timeout_usec_,
        [&](httplib::Stream& stream) {
          return process_request(stream, left == 1, closed, nullptr);
        });
    if (!ok || closed) break;
  }
  {
    // Out of the set before it closes: its number may be taken again.
    std::lock_guard guard(lock_);
    open_.erase(sock);
  }
  platform::shut_down_connection(handle_of(sock));
  httplib::detail::close_socket(sock);
  return ok;
}

}  // namespace kiv::standin
