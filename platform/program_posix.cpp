// POSIX side of the programs' platform layer.
#include <fcntl.h>
#if defined(__linux__)
#include <linux/sock_diag.h>
#endif
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "program.h"

namespace kiv::platform {

namespace {

// No system text says "not a regular file"; EFTYPE is BSD's. The number is
// one no system call here gives for a file.
constexpr int kNotRegular = ENODEV;

int open_retrying(const char* path, int flags, mode_t mode = 0) noexcept {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Keeps `fd` when it is a regular file; otherwise closes it and fails.
FileHandle regular_only(int fd) noexcept {
  if (fd < 0) return kInvalidFile;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : kNotRegular;
    ::close(fd);
    errno = error;
    return kInvalidFile;
  }
  // Reads and writes of a regular file wait as they always do.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return static_cast<FileHandle>(fd);
}

}  // namespace

PathKind path_kind(const char* path) noexcept {
  if (path == nullptr) return PathKind::kError;
  struct stat info {};
  if (::lstat(path, &info) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PathKind::kMissing : PathKind::kError;
  }
  if (S_ISLNK(info.st_mode)) return PathKind::kLink;
  if (S_ISDIR(info.st_mode)) return PathKind::kFolder;
  if (S_ISREG(info.st_mode)) return PathKind::kFile;
  return PathKind::kOther;
}

bool make_folder(const char* path) noexcept {
  return path != nullptr && ::mkdir(path, 0755) == 0;
}

FileHandle open_regular_for_reading(const char* path, bool follow_link) noexcept {
  if (path == nullptr) {
    errno = EINVAL;
    return kInvalidFile;
  }
  // Without O_NONBLOCK a FIFO would wait for a writer.
  return regular_only(
      open_retrying(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | (follow_link ? 0 : O_NOFOLLOW)));
}

FileHandle open_regular_for_append(const char* path) noexcept {
  if (path == nullptr) {
    errno = EINVAL;
    return kInvalidFile;
  }
  // A FIFO without a reader fails at once (ENXIO) instead of waiting for one.
  const int fd = open_retrying(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0 && errno == ENXIO) errno = kNotRegular;
  return regular_only(fd);
}

bool cut_file_end(FileHandle file, uint64_t bytes) noexcept {
  const int error = errno;  // the failed write's, kept for its message
  struct stat info {};
  const int fd = static_cast<int>(file);
  const bool cut = ::fstat(fd, &info) == 0 && static_cast<uint64_t>(info.st_size) >= bytes &&
                   ::ftruncate(fd, info.st_size - static_cast<off_t>(bytes)) == 0;
  errno = error;
  return cut;
}

int not_a_regular_file_error() noexcept {
  return kNotRegular;
}

std::string file_error_line(int error) {
  if (error == kNotRegular) return "not a regular file";
  if (error == ELOOP) return "a symbolic link";
  return error_line(error);
}

void shut_down_connection(SocketHandle socket) noexcept {
  const int error = errno;
  ::shutdown(static_cast<int>(socket), SHUT_RDWR);
  errno = error;
}

int wait_readable(SocketHandle socket, int timeout_ms) noexcept {
  pollfd ready{static_cast<int>(socket), POLLIN, 0};
  int n;
  do {
    n = ::poll(&ready, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool widen_listen_backlog(SocketHandle socket, int backlog) noexcept {
  // Listening again on a listening socket changes only its backlog.
  return ::listen(static_cast<int>(socket), backlog) == 0;
}

bool system_drop_count(SocketHandle socket, uint64_t* drops) noexcept {
#if defined(SO_MEMINFO)
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof info;
  if (::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_MEMINFO, info, &size) != 0 ||
      size < (SK_MEMINFO_DROPS + 1) * sizeof info[0]) {
    return false;
  }
  *drops = info[SK_MEMINFO_DROPS];
  return true;
#else
  (void)socket;
  (void)drops;
  return false;
#endif
}

int receive_buffer_size(SocketHandle socket) noexcept {
  int bytes = 0;
  socklen_t size = sizeof bytes;
  if (::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVBUF, &bytes, &size) != 0) return 0;
  return bytes;
}

}  // namespace kiv::platform
