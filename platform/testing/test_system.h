// What only the tests, benchmarks, fuzzers, probes, the allocation torture
// and the build's generator need of the operating system, beyond the
// platform layer the libraries use. Test support only; the libraries, the
// tool and the stand-in never link it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform.h"

namespace kiv::platform {

// ---- files and folders ----------------------------------------------------------
// Makes a new folder named `prefix` followed by characters no other process
// takes, and returns its path (with '/' separators); empty when it cannot.
std::string make_unique_folder(const std::string& prefix);
// Makes a FIFO (named pipe) only its owner may use; false where the system
// has none (Windows) or it cannot be made.
bool make_fifo(const char* path) noexcept;
// Makes the standard output and error streams binary, so that what is
// written reaches a reader as it is, without a carriage return before each
// line feed (Windows); nothing to do on POSIX.
void use_binary_standard_streams() noexcept;

// ---- text -------------------------------------------------------------------------
// Converts the whole of `in` from the encoding `from` to the encoding `to`
// (iconv's names: "UTF-8", "GBK", "UTF-32LE") with the system's own
// converter. False when the system has no such converter, `in` is not text
// of `from`, or a character has no equivalent in `to`. Windows converts
// between "UTF-8" and "GBK" (code page 936) only.
bool convert_encoding(const char* from, const char* to, std::string_view in, std::string* out);

// ---- the dynamic loader ----------------------------------------------------------
// The export `name` of the library `library_file` if that library is loaded
// already (it is not loaded here); null otherwise, with `*loaded` saying
// whether the library was.
void* loaded_library_symbol(const char* library_file, const char* name, bool* loaded) noexcept;
// The first definition of `name` in the process's global scope, a preloaded
// library's included; null when there is none (or, on Windows, always).
void* global_symbol(const char* name) noexcept;
// "function (library file)" for a code address, as far as the dynamic
// symbols tell; "?" for what they do not.
std::string code_address_name(const void* address);

// ---- crashes ------------------------------------------------------------------------
// From now on a crash (SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL) first calls
// `announce` with the signal's number, in the signal handler, then ends the
// process by that signal as it would have; and a write to a closed
// connection fails instead of ending the process (SIGPIPE is ignored).
void catch_crash_signals(void (*announce)(int signal_number)) noexcept;

// ---- TCP, as a client ----------------------------------------------------------------
// A TCP connection to 127.0.0.1:`port` (host order); kInvalidSocket when
// there is none. The socket layer must be started (SocketLayer).
SocketHandle tcp_connect_loopback(uint16_t port) noexcept;
// One send and one receive call: how many bytes went or came; 0 when the
// peer closed, below 0 on failure (a send to a closed connection
// included: it never raises SIGPIPE).
long tcp_send(SocketHandle socket, const void* data, size_t size) noexcept;
long tcp_receive(SocketHandle socket, void* buffer, size_t size) noexcept;

}  // namespace kiv::platform
