// The platform layer: the only code that calls the operating system, one
// source file per system behind these declarations. It offers loading
// libraries and finding their entry points, files and profile (INI) files,
// the system's error numbers and texts, UDP sockets and name lookup, the
// clock, thread and console calls of the message logger, and, for programs,
// stop requests and the command line's text. Code outside it includes no
// system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "handle.h"
#include "heap.h"
#include "library_files.h"  // kJsonLibraryFile, kZlibLibraryFile, kReportLibraryFile

namespace kiv::platform {

// ---- last error ------------------------------------------------------------
// The error number of the last failing platform call on this thread (0 when
// none), like GetLastError.
int last_error() noexcept;
void set_last_error(int error) noexcept;
// The last error of a file too large for what reads it (EFBIG,
// ERROR_FILE_TOO_LARGE).
int file_too_large_error() noexcept;

// ---- dynamic libraries -----------------------------------------------------
void* load_library(const char* file_name) noexcept;  // null when absent
// As load_library, then, when the usual search fails, from the folder of the
// library that holds this code: a library's companion is found beside it
// even where the dynamic loader is wrapped (sanitizer builds) and its own
// run path is not searched.
void* load_library_beside_module(const char* file_name) noexcept;
void* find_symbol(void* library, const char* name) noexcept;  // null when missing
void free_library(void* library) noexcept;
// For programs' messages: why the last failed load on this thread failed.
std::string library_error_line();
// For programs: the running program's folder, ending in its separator
// (empty when the system cannot say).
std::string program_folder();

struct LibraryTraits {
  using Value = void*;
  static constexpr Value kInvalid = nullptr;
  static void close(Value library) noexcept { free_library(library); }
};

// Owns one loaded library.
class Library : public Handle<LibraryTraits> {
 public:
  Library() = default;
  explicit Library(const char* file_name) noexcept : Handle(load_library(file_name)) {}
  // Takes ownership of a library loaded another way (null: none).
  static Library adopt(void* handle) noexcept {
    Library library;
    library.reset(handle);
    return library;
  }
  // Looks up `name` and stores it in `fn`; false when missing.
  template <typename Fn>
  bool bind(const char* name, Fn& fn) const noexcept {
    fn = reinterpret_cast<Fn>(find_symbol(get(), name));
    return fn != nullptr;
  }
};

// ---- files -------------------------------------------------------------------
using FileHandle = intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

// Shared read access; readers let the file be deleted or renamed under them
// (FILE_SHARE_DELETE). The open never waits: a FIFO or a device is opened
// without blocking (O_NONBLOCK), and file_size then refuses it.
FileHandle open_for_reading(const char* path) noexcept;
// Creates a file that does not exist yet, for writing; fails when the name is
// taken.
FileHandle create_new(const char* path) noexcept;
// The size of a regular (disk) file; false for a folder, FIFO or device.
bool file_size(FileHandle file, uint64_t* size) noexcept;
// One read call of up to `count` bytes; `*done` receives how many were read.
bool read_file(FileHandle file, void* buffer, size_t count, size_t* done) noexcept;
// Writes all `count` bytes (retrying short writes); `*done` receives the count.
bool write_file(FileHandle file, const void* data, size_t count, size_t* done) noexcept;
// Waits until what was written has reached the disk (fsync, FlushFileBuffers).
bool flush_file(FileHandle file) noexcept;
void close_file(FileHandle file) noexcept;
bool delete_file(const char* path) noexcept;
// Puts the closed file `from` in the place of `to` in one step (rename,
// MoveFileExA replacing the existing file): whoever opens `to` gets the old
// file or the new one whole, never a mix or none.
bool replace_file(const char* from, const char* to) noexcept;
bool path_exists(const char* path) noexcept;

struct FileTraits {
  using Value = FileHandle;
  static constexpr Value kInvalid = kInvalidFile;
  static void close(Value file) noexcept { close_file(file); }
};
using File = Handle<FileTraits>;  // owns one open file

// ---- profile (INI) files ------------------------------------------------------
// Same rules as GetPrivateProfileStringA: section and key compared without
// case, the value trimmed and stripped of one pair of surrounding quotes, cut
// to `size` - 1 characters and terminated. A missing file, section or key
// gives `default_value`. Returns the number of characters copied.
uint32_t get_profile_string(const char* section, const char* key, const char* default_value,
                            char* out, uint32_t size, const char* file_name) noexcept;

// A profile file's bytes, read in one go (one open, one size, one read) for
// any number of lookups with the rules above. Empty, so that every lookup
// gives its default, when the file is missing, is not a regular file, is
// larger than a profile file can be, or cannot be read.
class ProfileText {
 public:
  explicit ProfileText(const char* file_name) noexcept;
  uint32_t get(const char* section, const char* key, const char* default_value, char* out,
               uint32_t size) const noexcept;

 private:
  HeapPtr<char> text_;
  size_t length_ = 0;
};

// The same lookup over the bytes of a profile file already in memory.
uint32_t profile_string_from_text(const char* text, size_t length, const char* section,
                                  const char* key, const char* default_value, char* out,
                                  uint32_t size) noexcept;

// ---- error texts ----------------------------------------------------------------
// The system's description of `error`, as FormatMessageA gives it. False when
// the system has no text for that number.
bool system_error_text(int error, std::string* text);
// For programs' messages: that description on one line, without its line
// break, or "error N" when the system has none.
std::string error_line(int error);

// ---- sockets --------------------------------------------------------------------
bool sockets_start() noexcept;  // WSAStartup
void sockets_stop() noexcept;   // WSACleanup
int socket_last_error() noexcept;
void set_socket_last_error(int error) noexcept;

// Holds the socket layer started while it lives: Winsock counts its users.
class SocketLayer {
 public:
  SocketLayer() noexcept : started_(sockets_start()) {}
  ~SocketLayer() {
    if (started_) sockets_stop();
  }
  SocketLayer(const SocketLayer&) = delete;
  SocketLayer& operator=(const SocketLayer&) = delete;
  explicit operator bool() const noexcept { return started_; }

 private:
  bool started_;
};

using SocketHandle = intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

SocketHandle udp_socket() noexcept;
void set_send_buffer(SocketHandle socket, int bytes) noexcept;
// Sends one datagram to an IPv4 address and port, both in network order.
bool send_datagram(SocketHandle socket, const void* data, size_t size, uint32_t address,
                   uint16_t port) noexcept;
void close_socket(SocketHandle socket) noexcept;

struct SocketTraits {
  using Value = SocketHandle;
  static constexpr Value kInvalid = kInvalidSocket;
  static void close(Value socket) noexcept { close_socket(socket); }
};
using Socket = Handle<SocketTraits>;  // owns one socket

// ---- for programs: the receiving end of UDP --------------------------------
// Defined in kiv_program, which no library links.
void set_receive_buffer(SocketHandle socket, int bytes) noexcept;
// A UDP socket bound to an IPv4 address and port (both in network order;
// port 0 takes a free one); `*bound_port` receives the port taken.
SocketHandle udp_bound_socket(uint32_t address, uint16_t port, uint16_t* bound_port) noexcept;

enum class ReceiveResult { kDatagram, kTimedOut, kFailed };
// Waits up to `timeout_ms` for one datagram and takes it, cut to `size`
// bytes: `*received` bytes, from `*from_address`:`*from_port` (network order).
ReceiveResult receive_datagram(SocketHandle socket, void* buffer, size_t size, int timeout_ms,
                               size_t* received, uint32_t* from_address,
                               uint16_t* from_port) noexcept;

// ---- addresses and lookup -------------------------------------------------
// inet_addr: dotted text to an address in network order; 0xFFFFFFFF when
// the text is not an address.
uint32_t ipv4_from_text(const char* text) noexcept;
uint16_t host_to_network(uint16_t value) noexcept;
uint16_t network_to_host(uint16_t value) noexcept;

enum class LookupResult { kAddress, kFailed, kNoAddress };
// gethostbyname restricted to IPv4: on kAddress `out` receives the first
// address as dotted text (at most 15 characters and a NUL). The system is
// asked every time; keeping answers is the caller's policy.
LookupResult lookup_ipv4(const char* name, char (&out)[16]) noexcept;

// ---- clock, threads, console (for the message logger) ---------------------
struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};
LocalTime local_time_now() noexcept;
uint64_t current_thread_id() noexcept;
const char* environment(const char* name) noexcept;
bool locale_is_utf8() noexcept;
// Appends bytes to standard error or to a file; false when they could not be
// written whole.
bool write_standard_error(const char* data, size_t size) noexcept;
// Opens `path` for appending, creating a missing file, without ever waiting:
// only a file or a character device (a terminal, /dev/null, NUL) is opened;
// anything else (a FIFO, a socket, a folder, a pipe) is refused, with
// `*refused` set. Invalid when refused or when it cannot be opened.
FileHandle open_for_append(const char* path, bool* refused) noexcept;

// ---- for programs: stop requests and the command line's text -------------
// Defined in kiv_program, which no library links.
// From now on Ctrl-C (and on POSIX SIGTERM and SIGHUP) no longer ends the
// process but is taken by wait_for_stop_request. Called before any thread
// starts, so that on POSIX every thread leaves those signals to it.
void catch_stop_requests() noexcept;
void wait_for_stop_request() noexcept;
// Waits up to `timeout_ms` for a stop request; true when one came (it is
// taken, as by wait_for_stop_request).
bool wait_for_stop_request_for(int timeout_ms) noexcept;

// The code page of the command line's bytes: on Windows the ANSI code page
// (936 on a Chinese client, GBK); 0 on POSIX, where they are taken as UTF-8.
uint32_t command_line_code_page() noexcept;
// Command-line text as UTF-8; false when it is not text of that code page.
bool command_line_to_utf8(std::string_view text, std::string* utf8);

}  // namespace kiv::platform
