// The report channel: reads the log server's settings, resolves its name and
// sends one record as one zlib-compressed UDP datagram. Nothing stays open
// between records; only the last resolved address and port are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

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
    kNoSettings,  // the settings step failed: the caller reports it
    kNotSent,     // the send step failed and logged why
    kSent,        // handed to the socket layer
  };

  Channel() = default;
  explicit Channel(const ChannelSetup& setup) : setup_(setup) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Reads the settings, then sends `record` (`length` bytes, NUL-terminated).
  // One record at a time goes through the channel; other callers wait. What
  // it logs is logged after the lock is let go, so that a message handler
  // may send a report of its own. Throws only what taking the lock throws.
  Outcome report(const char* record, size_t length);

  // The lookup step alone: `address` is written only on kResolved.
  ResolveStatus resolve(const char* name, char (&address)[16]) const noexcept;

  // The lines of one record, kept until they can be logged. Each step of the
  // channel that fails writes one line, and at most two steps fail per record.
  class Notes {
   public:
    void add(const char* format) noexcept { add({format, Kind::kPlain, 0, nullptr}); }
    void add_number(const char* format, int number) noexcept {
      add({format, Kind::kNumber, number, nullptr});
    }
    void add_text(const char* format, const char* text) noexcept {
      add({format, Kind::kText, 0, text});
    }
    // Writes the lines to the message logger, in the order they were added.
    void log() const noexcept;

   private:
    enum class Kind { kPlain, kNumber, kText };
    struct Note {
      const char* format;
      Kind kind;
      int number;
      const char* text;
    };
    void add(const Note& note) noexcept {
      if (count_ < kMost) notes_[count_++] = note;
    }
    static constexpr size_t kMost = 4;
    Note notes_[kMost] = {};
    size_t count_ = 0;
  };

 private:
  bool read_settings(Notes& notes) noexcept;
  ResolveStatus resolve(const char* name, char (&address)[16], Notes& notes) const noexcept;
  bool send(const char* record, size_t length, Notes& notes) noexcept;

  ChannelSetup setup_{};
  std::mutex lock_;
  // The last resolved address and the name it was resolved from: a failed
  // lookup of the same name falls back to it, of any other name does not.
  char server_ip_[16] = {};
  char resolved_from_[64] = {};
  int32_t server_port_ = 0;
};

// The channel that the library's exports share.
Channel& module_channel() noexcept;

}  // namespace kiv::logsend
