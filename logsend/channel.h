// The report channel: reads the log server's settings, resolves its name and
// sends one record as one zlib-compressed UDP datagram. Nothing stays open
// between records; only the last resolved address and port are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "kiv_clientlog.h"
#include "platform.h"
#include "resolver_cache.h"

namespace kiv::logsend {

// Where a channel reads its settings and which cache its lookups go
// through. The library uses the defaults; a test points them at its own
// (it makes system calls fail through platform/fault.h).
struct ChannelSetup {
  const char* settings_path = "./loginurl.ini";
  ResolverCache* cache = nullptr;  // null: shared_resolver_cache()
};

// Outcome of one lookup of the log server's name.
enum class ResolveStatus {
  kNoAddress = 0,      // an answer without an IPv4 address
  kBadArgument = 1,    // no name or no address buffer
  kSocketsFailed = 2,  // the socket layer did not start
  kLookupFailed = 3,
  kResolved = 4,  // the address buffer holds the first address
};

class Channel {
 public:
  enum class Outcome {
    kNoServer,  // the settings could not be read, or no address for the
                // server: the caller reports it
    kNotSent,   // the send step failed and logged why
    kSent,      // handed to the socket layer
  };

  Channel() = default;
  explicit Channel(const ChannelSetup& setup) : setup_(setup) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Reads the settings, finds the server and sends `record` (`length` bytes,
  // NUL-terminated). Records go through the channel side by side: the lock is
  // held only to read or update the last resolved address, so a slow lookup
  // delays its own record alone. What it logs is logged after every step is
  // done, so that a message handler may send a report of its own. Throws only
  // what taking the lock throws.
  Outcome report(const char* record, size_t length);

  // The lookup step alone: `address` is written only on kResolved.
  ResolveStatus resolve(const char* name, char (&address)[16]) const noexcept;

  // The lines of one record, formatted as they happen and kept until they
  // can be logged. Each step of the channel that fails writes one line, and
  // at most two steps fail per record.
  class Notes {
   public:
    void add(const char* format, ...) noexcept KIV_PRINTF_LIKE(2, 3);
    // Writes the lines to the message logger, in the order they were added.
    void log() const noexcept;

   private:
    static constexpr size_t kMost = 4;
    static constexpr size_t kLine = 512;  // the longest line holds a settings path
    char lines_[kMost][kLine];
    size_t count_ = 0;
  };

 private:
  // The server's name and port as the settings file gives them.
  struct Settings {
    char name[64];
    char port[8];
  };
  bool read_settings(Settings& settings, Notes& notes) const noexcept;
  // The server's address: looked up, or the last address of the same name
  // when the lookup fails.
  bool find_server(const char* name, char (&address)[16], Notes& notes);
  ResolveStatus resolve(const char* name, char (&address)[16], Notes& notes) const noexcept;
  static bool send(const char* record, size_t length, const char* address, int32_t port,
                   Notes& notes) noexcept;

  ChannelSetup setup_{};
  // Guards the last resolved address and the name it was resolved from, and
  // nothing else: a failed lookup of the same name falls back to it, of any
  // other name does not.
  std::mutex lock_;
  char server_ip_[16] = {};
  char resolved_from_[64] = {};
};

// The channel that the library's exports share.
Channel& module_channel() noexcept;

}  // namespace kiv::logsend
