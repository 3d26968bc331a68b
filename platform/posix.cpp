// POSIX side of the platform layer.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fault_points.h"
#include "heap.h"
#include "platform.h"

namespace kiv::platform {

int last_error() noexcept {
  return errno;
}
void set_last_error(int error) noexcept {
  errno = error;
}
int file_too_large_error() noexcept {
  return EFBIG;
}

// ---- dynamic libraries ----------------------------------------------------------

void* load_library(const char* file_name) noexcept {
  if (file_name == nullptr || detail::injected_failure(fault::Call::kLibraryLoad)) return nullptr;
  return dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
}

void* load_library_beside_module(const char* file_name) noexcept {
  if (void* library = load_library(file_name)) return library;
  if (file_name == nullptr || std::strchr(file_name, '/') != nullptr) return nullptr;
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&load_library_beside_module), &self) == 0 ||
      self.dli_fname == nullptr) {
    return nullptr;
  }
  const char* slash = std::strrchr(self.dli_fname, '/');
  if (slash == nullptr) return nullptr;
  try {
    std::string path(self.dli_fname, static_cast<size_t>(slash - self.dli_fname) + 1);
    path += file_name;
    return load_library(path.c_str());
  } catch (...) {
    return nullptr;
  }
}

std::string program_folder() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return {};
  const std::string_view program(path, static_cast<size_t>(n));
  const size_t slash = program.rfind('/');
  return slash == std::string_view::npos ? std::string()
                                         : std::string(program.substr(0, slash + 1));
}

std::string library_error_line() {
  const char* why = dlerror();
  return why != nullptr ? why : "unknown reason";
}

void* find_symbol(void* library, const char* name) noexcept {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

void free_library(void* library) noexcept {
  if (library != nullptr) dlclose(library);
}

// ---- files -------------------------------------------------------------------------

namespace {
FileHandle open_with(const char* path, int flags, mode_t mode = 0) noexcept {
  if (path == nullptr) {
    errno = EINVAL;
    return kInvalidFile;
  }
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? kInvalidFile : static_cast<FileHandle>(fd);
}
}  // namespace

FileHandle open_for_reading(const char* path) noexcept {
  if (detail::injected_failure(fault::Call::kOpen)) return kInvalidFile;
  // Opening a FIFO would wait for a writer; without blocking it opens at
  // once and file_size refuses it. The flag changes nothing for a regular
  // file, and a read of anything else returns at once too.
  return open_with(path, O_RDONLY | O_NONBLOCK);
}

FileHandle create_new(const char* path) noexcept {
  if (detail::injected_failure(fault::Call::kCreate)) return kInvalidFile;
  return open_with(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
}

FileHandle open_for_append(const char* path, bool* refused) noexcept {
  *refused = false;
  // Without O_NONBLOCK, opening a FIFO waits for a reader; with it, a FIFO
  // without one fails at once (ENXIO, as does a socket).
  File file(open_with(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK, 0644));
  if (!file) {
    *refused = errno == ENXIO || errno == EISDIR;
    return kInvalidFile;
  }
  struct stat info {};
  if (::fstat(static_cast<int>(file.get()), &info) != 0) return kInvalidFile;
  if (!S_ISREG(info.st_mode) && !S_ISCHR(info.st_mode)) {
    *refused = true;
    return kInvalidFile;
  }
  // A terminal is written in blocking mode, as standard error is.
  const int flags = ::fcntl(static_cast<int>(file.get()), F_GETFL);
  if (flags >= 0) ::fcntl(static_cast<int>(file.get()), F_SETFL, flags & ~O_NONBLOCK);
  return file.release();
}

bool file_size(FileHandle file, uint64_t* size) noexcept {
  struct stat info {};
  if (::fstat(static_cast<int>(file), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool read_file(FileHandle file, void* buffer, size_t count, size_t* done) noexcept {
  return detail::read_through_fault(count, done, [&](size_t asked, size_t* delivered) {
    ssize_t got;
    do {
      got = ::read(static_cast<int>(file), buffer, asked);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return false;
    if (delivered != nullptr) *delivered = static_cast<size_t>(got);
    return true;
  });
}

namespace {
bool write_all(FileHandle file, const void* data, size_t count, size_t* done) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  size_t written = 0;
  while (written < count) {
    const ssize_t n = ::write(static_cast<int>(file), bytes + written, count - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done != nullptr) *done = written;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  if (done != nullptr) *done = written;
  return true;
}
}  // namespace

bool write_file(FileHandle file, const void* data, size_t count, size_t* done) noexcept {
  return detail::write_through_fault(count, done, [&](size_t asked, size_t* written) {
    return write_all(file, data, asked, written);
  });
}

bool flush_file(FileHandle file) noexcept {
  if (detail::injected_failure(fault::Call::kFlush)) return false;
  int rc;
  do {
    rc = ::fsync(static_cast<int>(file));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

void close_file(FileHandle file) noexcept {
  if (file != kInvalidFile) ::close(static_cast<int>(file));
}

bool delete_file(const char* path) noexcept {
  return path != nullptr && ::unlink(path) == 0;
}

bool replace_file(const char* from, const char* to) noexcept {
  if (detail::injected_failure(fault::Call::kReplace)) return false;
  if (from == nullptr || to == nullptr) {
    errno = EINVAL;
    return false;
  }
  return ::rename(from, to) == 0;
}

bool path_exists(const char* path) noexcept {
  return path != nullptr && ::access(path, F_OK) == 0;
}

// ---- profile (INI) files ------------------------------------------------------------

uint32_t get_profile_string(const char* section, const char* key, const char* default_value,
                            char* out, uint32_t size, const char* file_name) noexcept {
  return ProfileText(file_name).get(section, key, default_value, out, size);
}

// ---- error texts ---------------------------------------------------------------------

bool system_error_text(int error, std::string* text) {
  char buffer[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* message = strerror_r(error, buffer, sizeof buffer);
  if (message == nullptr || message[0] == '\0' || std::strncmp(message, "Unknown error", 13) == 0) {
    return false;
  }
  text->assign(message);
  return true;
}

// ---- sockets ----------------------------------------------------------------------

bool sockets_start() noexcept {
  return !detail::injected_failure(fault::Call::kSocketsStart, nullptr, true);
}
void sockets_stop() noexcept {}
int socket_last_error() noexcept {
  return errno;
}
void set_socket_last_error(int error) noexcept {
  errno = error;
}

SocketHandle udp_socket() noexcept {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

void set_send_buffer(SocketHandle socket, int bytes) noexcept {
  ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

bool send_datagram(SocketHandle socket, const void* data, size_t size, uint32_t address,
                   uint16_t port) noexcept {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = port;
  to.sin_addr.s_addr = address;
  return ::sendto(static_cast<int>(socket), data, size, MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0;
}

void close_socket(SocketHandle socket) noexcept {
  if (socket != kInvalidSocket) ::close(static_cast<int>(socket));
}

LookupResult lookup_ipv4(const char* name, char (&out)[16]) noexcept {
  if (int error = 0; detail::injected_failure(fault::Call::kLookup, &error, true)) {
    return error != 0 ? LookupResult::kFailed : LookupResult::kNoAddress;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0) {
    if (rc != EAI_SYSTEM) errno = rc == EAI_NONAME ? ENOENT : EAGAIN;
    return LookupResult::kFailed;
  }
  LookupResult result = LookupResult::kNoAddress;
  if (found != nullptr && found->ai_family == AF_INET && found->ai_addr != nullptr) {
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, out, sizeof out) != nullptr) {
      result = LookupResult::kAddress;
    }
  }
  ::freeaddrinfo(found);
  return result;
}

// ---- clock, threads, console -------------------------------------------------------

LocalTime local_time_now() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  ::localtime_r(&now.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900,
                   parts.tm_mon + 1,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   static_cast<int>(now.tv_nsec / 1000000)};
}

uint64_t current_thread_id() noexcept {
  return static_cast<uint64_t>(::gettid());
}

const char* environment(const char* name) noexcept {
  return std::getenv(name);
}

bool locale_is_utf8() noexcept {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') continue;
    return strcasestr(value, "utf-8") != nullptr || strcasestr(value, "utf8") != nullptr;
  }
  return false;
}

bool write_standard_error(const char* data, size_t size) noexcept {
  return write_file(STDERR_FILENO, data, size, nullptr);
}

}  // namespace kiv::platform
