// Win32 side of the programs' platform layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>

#include <windows.h>

#include "program.h"

namespace kiv::platform {

namespace {

// What Windows gives for an operation a handle of that kind does not support.
constexpr int kNotRegular = ERROR_INVALID_FUNCTION;

// Keeps `handle` when it is a disk file that is not a folder or a link.
FileHandle regular_only(HANDLE handle, bool follow_link) noexcept {
  if (handle == INVALID_HANDLE_VALUE) return kInvalidFile;
  BY_HANDLE_FILE_INFORMATION info{};
  int error = 0;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) {
    error = kNotRegular;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    error = ERROR_DIRECTORY;
  } else if (!follow_link && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = ERROR_CANT_ACCESS_FILE;
  }
  if (error != 0) {
    CloseHandle(handle);
    SetLastError(static_cast<DWORD>(error));
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

}  // namespace

PathKind path_kind(const char* path) noexcept {
  if (path == nullptr) return PathKind::kError;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::kMissing
                                                                          : PathKind::kError;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::kOther;
  return PathKind::kFile;
}

bool make_folder(const char* path) noexcept {
  return path != nullptr && CreateDirectoryA(path, nullptr) != 0;
}

FileHandle open_regular_for_reading(const char* path, bool follow_link) noexcept {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalidFile;
  }
  // A folder opens only with backup semantics: it is then refused by kind.
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return regular_only(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, flags, nullptr),
                      follow_link);
}

FileHandle open_regular_for_append(const char* path) noexcept {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalidFile;
  }
  return regular_only(
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
      true);
}

bool cut_file_end(FileHandle, uint64_t) noexcept {
  return false;
}

int not_a_regular_file_error() noexcept {
  return kNotRegular;
}

std::string file_error_line(int error) {
  if (error == kNotRegular) return "not a regular file";
  if (error == ERROR_CANT_ACCESS_FILE) return "a symbolic link";
  return error_line(error);
}

void shut_down_connection(SocketHandle socket) noexcept {
  const int saved = WSAGetLastError();
  ::shutdown(static_cast<SOCKET>(socket), SD_BOTH);
  WSASetLastError(saved);
}

int wait_readable(SocketHandle socket, int timeout_ms) noexcept {
  WSAPOLLFD ready{static_cast<SOCKET>(socket), POLLRDNORM, 0};
  return WSAPoll(&ready, 1, timeout_ms);
}

bool widen_listen_backlog(SocketHandle socket, int backlog) noexcept {
  // Windows keeps the first backlog of a listening socket and says so with
  // success; where the system underneath changes it (Wine), it is changed.
  return ::listen(static_cast<SOCKET>(socket), backlog) == 0;
}

bool system_drop_count(SocketHandle, uint64_t*) noexcept {
  return false;
}

int receive_buffer_size(SocketHandle socket) noexcept {
  int bytes = 0;
  int size = sizeof bytes;
  if (::getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVBUF,
                   reinterpret_cast<char*>(&bytes), &size) != 0) {
    return 0;
  }
  return bytes;
}

}  // namespace kiv::platform
