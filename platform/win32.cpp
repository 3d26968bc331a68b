// Win32 side of the platform layer: the calls the libraries were designed
// around, each used as documented.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h must come before windows.h, which would otherwise pull in the
// old Winsock 1 declarations.
#include <winsock2.h>

#include <windows.h>

#include <shlwapi.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fault_points.h"
#include "platform.h"

namespace kiv::platform {

namespace {

HANDLE to_handle(FileHandle file) noexcept {
  return reinterpret_cast<HANDLE>(file);
}

FileHandle from_handle(HANDLE handle) noexcept {
  return handle == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(handle);
}

SOCKET to_socket(SocketHandle socket) noexcept {
  return static_cast<SOCKET>(socket);
}

// Largest single transfer one ReadFile/WriteFile call is asked for.
constexpr size_t kMaxTransfer = 1u << 30;

}  // namespace

int last_error() noexcept {
  return static_cast<int>(GetLastError());
}
void set_last_error(int error) noexcept {
  SetLastError(static_cast<DWORD>(error));
}
int file_too_large_error() noexcept {
  return ERROR_FILE_TOO_LARGE;
}

// ---- dynamic libraries ----------------------------------------------------------

void* load_library(const char* file_name) noexcept {
  if (file_name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (detail::injected_failure(fault::Call::kLibraryLoad)) return nullptr;
  return reinterpret_cast<void*>(LoadLibraryA(file_name));
}

namespace {
// The folder of `module` (null: the program), ending in its separator; false
// when the system cannot say. Module paths may exceed MAX_PATH: the buffer
// grows until the name fits.
bool module_folder(HMODULE module, std::string* folder) {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return false;
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return false;
    path.resize(path.size() * 2);
  }
  const size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) return false;
  path.resize(separator + 1);
  *folder = std::move(path);
  return true;
}
}  // namespace

void* load_library_beside_module(const char* file_name) noexcept {
  if (void* library = load_library(file_name)) return library;
  if (file_name == nullptr || std::strpbrk(file_name, "\\/:") != nullptr) return nullptr;
  const DWORD saved_error = GetLastError();  // the search's own failure is the one to keep
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&load_library_beside_module), &self)) {
    SetLastError(saved_error);
    return nullptr;
  }
  try {
    std::string path;
    if (!module_folder(self, &path)) {
      SetLastError(saved_error);
      return nullptr;
    }
    path += file_name;
    return load_library(path.c_str());
  } catch (...) {
    SetLastError(saved_error);
    return nullptr;
  }
}

std::string program_folder() {
  std::string folder;
  return module_folder(nullptr, &folder) ? folder : std::string();
}

std::string library_error_line() {
  return error_line(static_cast<int>(GetLastError()));
}

void* find_symbol(void* library, const char* name) noexcept {
  if (library == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void free_library(void* library) noexcept {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

// ---- files -------------------------------------------------------------------------

namespace {
FileHandle create_file(const char* path, DWORD access, DWORD share, DWORD disposition) noexcept {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalidFile;
  }
  return from_handle(
      CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}
}  // namespace

FileHandle open_for_reading(const char* path) noexcept {
  if (detail::injected_failure(fault::Call::kOpen)) return kInvalidFile;
  // Sharing deletion lets the file be deleted or renamed while it is read;
  // replacing it still waits until no reader holds it (see replace_file).
  return create_file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
}

FileHandle create_new(const char* path) noexcept {
  if (detail::injected_failure(fault::Call::kCreate)) return kInvalidFile;
  return create_file(path, GENERIC_ALL, 0, CREATE_NEW);
}

FileHandle open_for_append(const char* path, bool* refused) noexcept {
  *refused = false;
  // FILE_APPEND_DATA alone: every write lands at the current end, even when
  // several processes share the file. Opening a pipe does not wait (a busy
  // one fails), and it is refused here as on POSIX.
  File file(create_file(path, FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS));
  if (!file) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(path);
    *refused = error == ERROR_PIPE_BUSY || (attributes != INVALID_FILE_ATTRIBUTES &&
                                            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    SetLastError(error);
    return kInvalidFile;
  }
  // A folder opened as a file (where the system allows it) is refused too.
  const DWORD type = GetFileType(to_handle(file.get()));
  BY_HANDLE_FILE_INFORMATION info{};
  const bool folder = type == FILE_TYPE_DISK &&
                      GetFileInformationByHandle(to_handle(file.get()), &info) &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if ((type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) || folder) {
    *refused = true;
    return kInvalidFile;
  }
  return file.release();
}

bool file_size(FileHandle file, uint64_t* size) noexcept {
  // Only a disk file has a size; a console, pipe or device is refused as
  // the POSIX side refuses what is not a regular file.
  SetLastError(NO_ERROR);
  const DWORD type = GetFileType(to_handle(file));
  if (type != FILE_TYPE_DISK) {
    if (type != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR) {
      SetLastError(ERROR_INVALID_FUNCTION);
    }
    return false;
  }
  LARGE_INTEGER bytes{};
  if (!GetFileSizeEx(to_handle(file), &bytes)) return false;
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

bool read_file(FileHandle file, void* buffer, size_t count, size_t* done) noexcept {
  return detail::read_through_fault(count, done, [&](size_t wanted, size_t* delivered) {
    DWORD got = 0;
    const auto asked = static_cast<DWORD>(wanted < kMaxTransfer ? wanted : kMaxTransfer);
    if (!ReadFile(to_handle(file), buffer, asked, &got, nullptr)) return false;
    if (delivered != nullptr) *delivered = got;
    return true;
  });
}

namespace {
bool write_all(FileHandle file, const void* data, size_t count, size_t* done) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  size_t written = 0;
  while (written < count) {
    const size_t left = count - written;
    DWORD n = 0;
    if (!WriteFile(to_handle(file), bytes + written,
                   static_cast<DWORD>(left < kMaxTransfer ? left : kMaxTransfer), &n, nullptr) ||
        n == 0) {
      if (done != nullptr) *done = written;
      return false;
    }
    written += n;
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
  return FlushFileBuffers(to_handle(file)) != 0;
}

void close_file(FileHandle file) noexcept {
  if (file != kInvalidFile) CloseHandle(to_handle(file));
}

bool delete_file(const char* path) noexcept {
  return path != nullptr && DeleteFileA(path) != 0;
}

namespace {
// Replacing a file that a reader holds open fails, even when the reader
// shares deletion; readers hold the list for one read of a small file, so
// the replacement is tried again for about a second before it fails.
constexpr int kReplaceAttempts = 200;
constexpr DWORD kReplacePauseMs = 5;
}  // namespace

bool replace_file(const char* from, const char* to) noexcept {
  if (detail::injected_failure(fault::Call::kReplace)) return false;
  if (from == nullptr || to == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                      error == ERROR_LOCK_VIOLATION;
    if (!held || attempt == kReplaceAttempts) {
      SetLastError(error);
      return false;
    }
    Sleep(kReplacePauseMs);
  }
}

bool path_exists(const char* path) noexcept {
  return path != nullptr && PathFileExistsA(path) != 0;
}

// ---- profile (INI) files ------------------------------------------------------------

uint32_t get_profile_string(const char* section, const char* key, const char* default_value,
                            char* out, uint32_t size, const char* file_name) noexcept {
  if (out == nullptr || size == 0) return 0;
  // A null section or key would ask for a list of names instead of a value.
  if (section == nullptr || key == nullptr || file_name == nullptr) {
    return profile_string_from_text(nullptr, 0, section, key, default_value, out, size);
  }
  return GetPrivateProfileStringA(section, key, default_value == nullptr ? "" : default_value, out,
                                  size, file_name);
}

// ---- error texts ---------------------------------------------------------------------

bool system_error_text(int error, std::string* text) {
  char* message = nullptr;
  // The system's texts may hold %1-style inserts; with no arguments to fill
  // them they are left as they are rather than read from nowhere.
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<char*>(&message), 0, nullptr);
  const std::unique_ptr<char, decltype(&LocalFree)> owned(message, &LocalFree);
  if (length == 0 || message == nullptr) return false;
  text->assign(message, length);
  return true;
}

// ---- sockets ----------------------------------------------------------------------

namespace {
// Every report starts and stops the socket layer, on many threads at once.
// Windows counts the starts safely; Wine's count is not atomic, and when a
// lost update takes it to zero, WSACleanup closes every socket of the
// process, other threads' sockets in the middle of their sendto included.
// Taking turns for the two calls alone keeps the count exact.
SRWLOCK g_socket_layer_turn = SRWLOCK_INIT;

class SocketLayerTurn {
 public:
  SocketLayerTurn() noexcept { AcquireSRWLockExclusive(&g_socket_layer_turn); }
  ~SocketLayerTurn() { ReleaseSRWLockExclusive(&g_socket_layer_turn); }
  SocketLayerTurn(const SocketLayerTurn&) = delete;
  SocketLayerTurn& operator=(const SocketLayerTurn&) = delete;
};
}  // namespace

bool sockets_start() noexcept {
  if (detail::injected_failure(fault::Call::kSocketsStart, nullptr, true)) return false;
  const SocketLayerTurn turn;
  WSADATA data{};
  const int rc = WSAStartup(MAKEWORD(2, 2), &data);
  // WSAStartup reports its failure only through its result.
  if (rc != 0) SetLastError(static_cast<DWORD>(rc));
  return rc == 0;
}

void sockets_stop() noexcept {
  const SocketLayerTurn turn;
  WSACleanup();
}

int socket_last_error() noexcept {
  return WSAGetLastError();
}

void set_socket_last_error(int error) noexcept {
  WSASetLastError(error);
}

SocketHandle udp_socket() noexcept {
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

void set_send_buffer(SocketHandle socket, int bytes) noexcept {
  ::setsockopt(to_socket(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
}

bool send_datagram(SocketHandle socket, const void* data, size_t size, uint32_t address,
                   uint16_t port) noexcept {
  if (size > static_cast<size_t>(INT_MAX)) {
    WSASetLastError(WSAEMSGSIZE);
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = port;
  to.sin_addr.s_addr = address;
  return ::sendto(to_socket(socket), static_cast<const char*>(data), static_cast<int>(size), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) != SOCKET_ERROR;
}

void close_socket(SocketHandle socket) noexcept {
  if (socket != kInvalidSocket) ::closesocket(to_socket(socket));
}

LookupResult lookup_ipv4(const char* name, char (&out)[16]) noexcept {
  if (int error = 0; detail::injected_failure(fault::Call::kLookup, &error, true)) {
    return error != 0 ? LookupResult::kFailed : LookupResult::kNoAddress;
  }
  if (name == nullptr) {  // gethostbyname(NULL) would name this machine
    WSASetLastError(WSAHOST_NOT_FOUND);
    return LookupResult::kFailed;
  }
  const hostent* host = ::gethostbyname(name);
  if (host == nullptr) return LookupResult::kFailed;
  if (host->h_addrtype != AF_INET || host->h_length != sizeof(in_addr) ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    return LookupResult::kNoAddress;
  }
  in_addr address{};
  std::memcpy(&address, host->h_addr_list[0], sizeof address);
  const char* text = ::inet_ntoa(address);
  if (text == nullptr) return LookupResult::kNoAddress;
  const size_t length = ::strnlen(text, sizeof out);
  if (length >= sizeof out) return LookupResult::kNoAddress;
  std::memcpy(out, text, length + 1);
  return LookupResult::kAddress;
}

// ---- clock, threads, console -------------------------------------------------------

LocalTime local_time_now() noexcept {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

uint64_t current_thread_id() noexcept {
  return GetCurrentThreadId();
}

const char* environment(const char* name) noexcept {
  return name == nullptr ? nullptr : std::getenv(name);
}

bool locale_is_utf8() noexcept {
  // The console's code page decides how the bytes look; without a console,
  // the ANSI code page that a file's reader will assume.
  const UINT console = GetConsoleOutputCP();
  return (console != 0 ? console : GetACP()) == CP_UTF8;
}

bool write_standard_error(const char* data, size_t size) noexcept {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return false;
  return write_file(reinterpret_cast<FileHandle>(error), data, size, nullptr);
}

}  // namespace kiv::platform
