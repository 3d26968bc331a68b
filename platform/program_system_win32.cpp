// Win32 side of what only programs use of the system beyond the programs'
// platform layer proper: stop requests, the command line's text and the
// receiving end of UDP. Kept out of the platform layer that the libraries
// link, so that no library carries them.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <climits>
#include <string>
#include <string_view>

#include "platform.h"

namespace kiv::platform {
namespace {
SOCKET to_socket(SocketHandle socket) noexcept {
  return static_cast<SOCKET>(socket);
}
}  // namespace

// ---- the receiving end of UDP ---------------------------------------------------------

void set_receive_buffer(SocketHandle socket, int bytes) noexcept {
  ::setsockopt(to_socket(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
}

SocketHandle udp_bound_socket(uint32_t address, uint16_t port, uint16_t* bound_port) noexcept {
  const SocketHandle socket = udp_socket();
  if (socket == kInvalidSocket) return kInvalidSocket;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = port;
  local.sin_addr.s_addr = address;
  int size = sizeof local;
  // Without exclusive use, Windows lets a second socket take the same port.
  BOOL exclusive = TRUE;
  ::setsockopt(to_socket(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  if (::bind(to_socket(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) ==
          SOCKET_ERROR ||
      ::getsockname(to_socket(socket), reinterpret_cast<sockaddr*>(&local), &size) ==
          SOCKET_ERROR) {
    const int error = WSAGetLastError();  // the bind's failure, not the close's
    close_socket(socket);
    WSASetLastError(error);
    return kInvalidSocket;
  }
  if (bound_port != nullptr) *bound_port = local.sin_port;
  return socket;
}

ReceiveResult receive_datagram(SocketHandle socket, void* buffer, size_t size, int timeout_ms,
                               size_t* received, uint32_t* from_address,
                               uint16_t* from_port) noexcept {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(to_socket(socket), &readable);
  timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = ::select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &wait);
  if (n == 0) return ReceiveResult::kTimedOut;
  if (n == SOCKET_ERROR) return ReceiveResult::kFailed;
  sockaddr_in from{};
  int from_size = sizeof from;
  const int asked = static_cast<int>(size < static_cast<size_t>(INT_MAX) ? size : INT_MAX);
  const int got = ::recvfrom(to_socket(socket), static_cast<char*>(buffer), asked, 0,
                             reinterpret_cast<sockaddr*>(&from), &from_size);
  // A datagram longer than the buffer arrives cut, with WSAEMSGSIZE.
  if (got == SOCKET_ERROR && WSAGetLastError() != WSAEMSGSIZE) return ReceiveResult::kFailed;
  if (received != nullptr) *received = static_cast<size_t>(got == SOCKET_ERROR ? asked : got);
  if (from_address != nullptr) *from_address = from.sin_addr.s_addr;
  if (from_port != nullptr) *from_port = from.sin_port;
  return ReceiveResult::kDatagram;
}

// ---- stop requests, command line ------------------------------------------------------

namespace {
// Stop requests that came and were not taken yet.
std::atomic<int> g_stop_requests{0};

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  g_stop_requests.fetch_add(1);
  g_stop_requests.notify_all();
  return TRUE;
}

// Takes one request when there is one.
bool take_stop_request() noexcept {
  int pending = g_stop_requests.load();
  while (pending > 0) {
    if (g_stop_requests.compare_exchange_weak(pending, pending - 1)) return true;
  }
  return false;
}
}  // namespace

void catch_stop_requests() noexcept {
  SetConsoleCtrlHandler(&on_console_event, TRUE);
}

void wait_for_stop_request() noexcept {
  while (!take_stop_request()) g_stop_requests.wait(0);
}

bool wait_for_stop_request_for(int timeout_ms) noexcept {
  // The atomic's wait has no time-out: looked at every few milliseconds.
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    if (take_stop_request()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(5);
  }
}

uint32_t command_line_code_page() noexcept {
  return GetACP();
}

bool command_line_to_utf8(std::string_view text, std::string* utf8) {
  utf8->clear();
  if (text.empty()) return true;
  if (text.size() > static_cast<size_t>(INT_MAX / 3)) return false;
  const int length = static_cast<int>(text.size());
  const int wide_length =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (wide_length <= 0) return false;
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), wide_length);
  const int utf8_length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  if (utf8_length <= 0) return false;
  utf8->resize(static_cast<size_t>(utf8_length));
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, utf8->data(), utf8_length, nullptr,
                      nullptr);
  return true;
}

}  // namespace kiv::platform
