#include <arpa/inet.h>
#include <dlfcn.h>
#include <iconv.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "test_system.h"

namespace kiv::platform {

// ---- files and folders ----------------------------------------------------------

std::string make_unique_folder(const std::string& prefix) {
  std::string pattern = prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

bool make_fifo(const char* path) noexcept {
  return ::mkfifo(path, 0600) == 0;
}

void use_binary_standard_streams() noexcept {}

// ---- text -------------------------------------------------------------------------

bool convert_encoding(const char* from, const char* to, std::string_view in, std::string* out) {
  const iconv_t converter = ::iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input(in);
  std::string output(input.size() * 4 + 16, '\0');
  char* in_ptr = input.data();
  size_t in_left = input.size();
  char* out_ptr = output.data();
  size_t out_left = output.size();
  const bool converted =
      ::iconv(converter, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1) &&
      in_left == 0;
  ::iconv_close(converter);
  if (!converted) return false;
  output.resize(output.size() - out_left);
  *out = std::move(output);
  return true;
}

// ---- the dynamic loader ----------------------------------------------------------

void* loaded_library_symbol(const char* library_file, const char* name, bool* loaded) noexcept {
  void* library = ::dlopen(library_file, RTLD_NOW | RTLD_NOLOAD);
  *loaded = library != nullptr;
  if (library == nullptr) return nullptr;
  void* symbol = ::dlsym(library, name);
  ::dlclose(library);
  return symbol;
}

void* global_symbol(const char* name) noexcept {
  return ::dlsym(RTLD_DEFAULT, name);
}

std::string code_address_name(const void* address) {
  Dl_info info{};
  if (address == nullptr || ::dladdr(address, &info) == 0) return "?";
  std::string text = info.dli_sname != nullptr ? info.dli_sname : "?";
  if (info.dli_fname != nullptr) {
    text += " (" + std::filesystem::path(info.dli_fname).filename().string() + ")";
  }
  return text;
}

// ---- crashes ------------------------------------------------------------------------

namespace {

void (*volatile g_announce)(int) = nullptr;

void on_crash(int signal_number) {
  if (g_announce != nullptr) g_announce(signal_number);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void catch_crash_signals(void (*announce)(int signal_number)) noexcept {
  g_announce = announce;
  for (const int signal_number : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
    ::signal(signal_number, on_crash);
  }
  ::signal(SIGPIPE, SIG_IGN);
}

// ---- TCP, as a client ----------------------------------------------------------------

SocketHandle tcp_connect_loopback(uint16_t port) noexcept {
  const int s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s < 0) return kInvalidSocket;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    ::close(s);
    return kInvalidSocket;
  }
  return s;
}

long tcp_send(SocketHandle socket, const void* data, size_t size) noexcept {
  // A peer that has cut the connection makes this fail, not end the process.
  return ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
}

long tcp_receive(SocketHandle socket, void* buffer, size_t size) noexcept {
  return ::recv(static_cast<int>(socket), buffer, size, 0);
}

}  // namespace kiv::platform
