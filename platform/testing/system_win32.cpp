#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// winsock2.h must come before windows.h, which would otherwise pull in the
// old Winsock 1 declarations.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "test_process.h"
#include "test_system.h"

namespace kiv::platform {

// ---- files and folders ----------------------------------------------------------

std::string make_unique_folder(const std::string& prefix) {
  // A name no other process takes: this process's id, a count and the clock.
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = prefix + std::to_string(current_process_id()) + "-" +
                                            std::to_string(counter++) + "-" +
                                            std::to_string(GetTickCount64());
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) return candidate.generic_string();
  }
  return {};
}

bool make_fifo(const char*) noexcept {
  return false;
}

void use_binary_standard_streams() noexcept {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

// ---- text -------------------------------------------------------------------------

namespace {

// The code page of one of the encodings convert_encoding knows; 0 for others.
UINT code_page_of(const char* name) {
  if (std::strcmp(name, "UTF-8") == 0) return CP_UTF8;
  if (std::strcmp(name, "GBK") == 0) return 936;
  return 0;
}

}  // namespace

// Through UTF-16, with the system's code page tables.
bool convert_encoding(const char* from, const char* to, std::string_view in, std::string* out) {
  const UINT from_page = code_page_of(from);
  const UINT to_page = code_page_of(to);
  if (from_page == 0 || to_page == 0) return false;
  if (in.empty()) {
    out->clear();
    return true;
  }
  const int size = static_cast<int>(in.size());
  std::wstring wide(in.size(), L'\0');
  const int n =
      MultiByteToWideChar(from_page, MB_ERR_INVALID_CHARS, in.data(), size, wide.data(), size);
  if (n <= 0) return false;
  std::string output(in.size() * 4 + 16, '\0');
  BOOL lossy = FALSE;
  // UTF-8 has a character for everything and takes no default character.
  const int m = WideCharToMultiByte(to_page, 0, wide.data(), n, output.data(),
                                    static_cast<int>(output.size()), nullptr,
                                    to_page == CP_UTF8 ? nullptr : &lossy);
  if (m <= 0 || lossy) return false;
  output.resize(static_cast<size_t>(m));
  *out = std::move(output);
  return true;
}

// ---- the dynamic loader ----------------------------------------------------------

void* loaded_library_symbol(const char* library_file, const char* name, bool* loaded) noexcept {
  HMODULE library = GetModuleHandleA(library_file);
  *loaded = library != nullptr;
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(library, name));
}

void* global_symbol(const char*) noexcept {
  return nullptr;  // no global scope: every module imports by its own table
}

std::string code_address_name(const void*) {
  return "?";
}

// ---- crashes ------------------------------------------------------------------------

namespace {

void (*volatile g_announce)(int) = nullptr;

void on_crash(int signal_number) {
  if (g_announce != nullptr) g_announce(signal_number);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

// Windows has neither SIGBUS nor SIGPIPE (a write to a closed connection
// fails there anyway).
void catch_crash_signals(void (*announce)(int signal_number)) noexcept {
  g_announce = announce;
  for (const int signal_number : {SIGSEGV, SIGABRT, SIGFPE, SIGILL}) {
    std::signal(signal_number, on_crash);
  }
}

// ---- TCP, as a client ----------------------------------------------------------------

namespace {
SOCKET native(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
}
}  // namespace

SocketHandle tcp_connect_loopback(uint16_t port) noexcept {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    closesocket(s);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(s);
}

long tcp_send(SocketHandle socket, const void* data, size_t size) noexcept {
  return ::send(native(socket), static_cast<const char*>(data), static_cast<int>(size), 0);
}

long tcp_receive(SocketHandle socket, void* buffer, size_t size) noexcept {
  return ::recv(native(socket), static_cast<char*>(buffer), static_cast<int>(size), 0);
}

}  // namespace kiv::platform
