// The operating system as the tool and the stand-in need it beyond what the
// libraries use: files that must be what they claim to be (no FIFO, device
// or link where a file or folder is expected), the connections a server
// accepted, and datagrams the system dropped. Programs only; the libraries
// never link it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.h"

namespace kiv::platform {

// What a path names, without following a final symbolic link (or, on
// Windows, any reparse point).
enum class PathKind { kMissing, kFile, kFolder, kLink, kOther, kError };
PathKind path_kind(const char* path) noexcept;

// Creates one folder (its parent must exist); false when it exists already
// or cannot be made.
bool make_folder(const char* path) noexcept;

// Opens a regular file for reading, never waiting (a FIFO without a writer
// opens at once and is then refused). Fails, with the last error saying why,
// for anything but a regular file: a folder, FIFO, device or, unless
// `follow_link` is set, a symbolic link in the last place of the path.
FileHandle open_regular_for_reading(const char* path, bool follow_link) noexcept;

// Opens a regular file for appending, creating it if need be, never waiting;
// anything but a regular file (a FIFO, device, folder) is refused.
FileHandle open_regular_for_append(const char* path) noexcept;

// A last_error value as one line of text ("Not a regular file" for the
// refusals above, which have no system text of their own on every system).
std::string file_error_line(int error);
// The last_error value of the refusals above.
int not_a_regular_file_error() noexcept;

// Takes the last `bytes` bytes off the end of an open file: what a failed
// append managed to write of a line. False where it cannot (Windows, where
// an appending handle may not set the size).
bool cut_file_end(FileHandle file, uint64_t bytes) noexcept;

// The bytes of a regular file of at most `limit` bytes, its kind and size
// checked before anything is read, so that a FIFO, a device or a huge file
// costs nothing. False with the reason in `why` (the system's, "not a
// regular file", or that it is larger than the limit) otherwise.
bool read_whole_file(const std::string& path, size_t limit, bool follow_link, std::string* bytes,
                     std::string* why);

// Ends both directions of a connected TCP socket without closing it (its
// owner still closes it): the owner's waits and reads on it end at once.
void shut_down_connection(SocketHandle socket) noexcept;

// Waits up to `timeout_ms` for a connected TCP socket to have something to
// read, its end or an error: above 0 when it came, 0 on time-out, below 0 on
// failure.
int wait_readable(SocketHandle socket, int timeout_ms) noexcept;

// Lets a listening TCP socket hold `backlog` connections not yet accepted:
// a burst of connections is then taken at once instead of in retried
// handshakes. False when the system refused.
bool widen_listen_backlog(SocketHandle socket, int backlog) noexcept;

// How many datagrams the system dropped so far for a receiving socket, for
// want of room in its buffer. False where the system does not say (Windows).
bool system_drop_count(SocketHandle socket, uint64_t* drops) noexcept;
// The receive buffer the system gave the socket, in bytes (0 when unknown).
int receive_buffer_size(SocketHandle socket) noexcept;

}  // namespace kiv::platform
