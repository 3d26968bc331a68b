// The stand-in's journal: everything it received, in order, as a client
// developer asks about it afterwards ("did my client ask these questions, with
// these request texts, and send a login-state report?"). It is the only
// history the stand-in keeps, bounded by a number of entries and of bytes:
// the oldest go first, and the journal counts them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json_tools.h"
#include "platform.h"
#include "standin.h"

struct json_object;

namespace kiv::standin {

// Whether a request's text (GBK) is a JSON object holding every member of
// `when` with its value; any request does when `when` is null.
bool request_holds(json_object* when, const std::optional<std::string>& request);

// Local time with milliseconds, "YYYY-MM-DD hh:mm:ss.mmm".
std::string journal_time();

// Why a request's text is not what every path of the service takes (a JSON
// object in GBK), or empty when it is. GET requests carry no text.
std::string request_problem(const HttpExchange& ex);
// Why a datagram is not one of the seven report records (a JSON object with
// a known "act" and the members of its "param"), or empty when it is.
std::string record_problem(const Datagram& d);
// The "act" of a datagram's record, or empty.
std::string record_act(const Datagram& d);

// Which entries a reader wants; empty members take any.
struct JournalFilter {
  std::string kind;  // "http" or "udp"
  std::string path;  // HTTP requests on this path (leading slashes do not count)
  std::string act;   // datagrams whose record has this "act"
  // HTTP requests whose text holds these members, as a rule's "when" asks.
  std::shared_ptr<json_object> when;
  uint64_t since = 0;  // entries with a greater sequence number
};

struct JournalEntry {
  uint64_t sequence = 0;
  bool http = false;
  std::string key;   // the answer key of the path, or the record's "act"
  std::string line;  // the entry as one line of JSON, without a line break
  std::variant<HttpExchange, Datagram> what;
  std::size_t bytes = 0;  // what it holds, for the byte bound
};

// One answer to a reader.
struct JournalPage {
  std::vector<std::string> lines;  // matching entries, oldest first
  uint64_t next_since = 0;         // the `since` that continues after these
  uint64_t last = 0;               // the greatest sequence number given so far
  uint64_t dropped = 0;            // entries dropped to keep the bounds, since the start
  std::size_t kept = 0;            // entries held now
  std::size_t bytes = 0;           // bytes held now
  bool more = false;               // more matched than the limit let through
};

class Journal {
 public:
  // `file`, when not empty, receives every entry as a JSON line too (whole,
  // whatever the bounds). Throws std::runtime_error when it cannot be opened.
  Journal(std::size_t max_entries, std::size_t max_bytes, const std::string& file = "");
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Keeps an entry and returns its JSON line.
  std::string add(HttpExchange ex);
  std::string add(Datagram d);

  // The matching entries after `filter.since`, at most `limit`; when there
  // are none, waits up to `wait` for one to come.
  JournalPage list(const JournalFilter& filter, std::size_t limit, std::chrono::milliseconds wait);
  // How many entries match; waits up to `wait` until at least `at_least` do.
  std::size_t count(const JournalFilter& filter, std::size_t at_least,
                    std::chrono::milliseconds wait, uint64_t* last);
  // Forgets every entry; the sequence numbers go on.
  void clear();
  // Wakes every waiting reader, for good (the stand-in is stopping).
  void close();

  // For in-process readers: the HTTP exchanges since the last call, and up
  // to `count` datagrams not taken yet, oldest first, waiting up to `timeout`
  // for them to come.
  std::vector<HttpExchange> take_exchanges();
  std::vector<Datagram> take_datagrams(std::size_t count, std::chrono::milliseconds timeout);

  std::size_t max_entries() const { return max_entries_; }
  std::size_t max_bytes() const { return max_bytes_; }
  uint64_t dropped() const;
  // Entries made since the start.
  uint64_t received() const;
  // Lines the journal file could not take.
  uint64_t file_failures() const;

 private:
  std::string keep(JournalEntry entry);
  bool matches(const JournalEntry& entry, const JournalFilter& filter) const;
  // Index of the first entry after sequence number `since`.
  std::size_t first_after(uint64_t since) const;

  const std::size_t max_entries_;
  const std::size_t max_bytes_;
  // Each text of an entry is kept up to this many bytes (an eighth of the
  // byte bound), with the number of bytes left out.
  const std::size_t text_limit_;
  mutable std::mutex lock_;
  std::condition_variable added_;
  std::deque<JournalEntry> entries_;
  std::size_t bytes_ = 0;
  uint64_t last_ = 0;
  uint64_t dropped_ = 0;
  uint64_t taken_http_ = 0;
  uint64_t taken_udp_ = 0;
  bool closed_ = false;

  mutable std::mutex file_lock_;
  platform::File file_;
  uint64_t file_failures_ = 0;
};

}  // namespace kiv::standin
