#include "journal.h"

#include <json-c/json.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "codec.h"
#include "gbk_text.h"
#include "kiv_reports.h"
#include "program.h"

namespace kiv::standin {
namespace {

// What an entry costs beyond its texts (the struct, the deque, the numbers).
constexpr std::size_t kEntryOverhead = 512;

void put(json_object* object, const char* key, json_object* value) {
  json_object_object_add(object, key, value);
}

// Client text as UTF-8 that any reader takes; bytes that are not GBK as \xNN,
// with `not_gbk` set so that a reader knows a backslash may be one of ours.
std::string safe_text(std::string_view gbk, bool* not_gbk) {
  if (auto exact = codec::gbk_to_utf8_exact(gbk)) {
    *not_gbk = false;
    return std::move(*exact);
  }
  *not_gbk = true;
  return kiv::text::gbk_to_utf8(gbk);
}

// A text of a client or the service, cut to `limit` bytes (never inside a
// GBK character) with the number of bytes left out beside it, so that one
// huge text cannot outgrow the journal's bound many times over once escaped.
void put_text(json_object* o, const std::string& name, std::string_view gbk, std::size_t limit) {
  bool not_gbk = false;
  const std::size_t kept =
      gbk.size() > limit ? kiv::text::gbk_clean_prefix(gbk, limit) : gbk.size();
  put(o, name.c_str(), json_text(safe_text(gbk.substr(0, kept), &not_gbk)));
  if (not_gbk) put(o, (name + "_not_gbk").c_str(), json_object_new_boolean(1));
  if (kept < gbk.size()) {
    put(o, (name + "_left_out").c_str(),
        json_object_new_int64(static_cast<int64_t>(gbk.size() - kept)));
  }
}

void cut(std::optional<std::string>& text, std::size_t limit) {
  if (text && text->size() > limit) text->resize(kiv::text::gbk_clean_prefix(*text, limit));
}

JsonValue parsed_record(const Datagram& d) {
  if (!d.record) return nullptr;
  const auto utf8 = codec::gbk_to_utf8_exact(*d.record);
  return utf8 ? parse_strict_json(*utf8) : nullptr;
}

std::string key_of_path(std::string_view path) {
  return answer_key(path);
}

}  // namespace

bool request_holds(json_object* when, const std::optional<std::string>& request) {
  if (when == nullptr) return true;
  if (!request) return false;
  const auto utf8 = codec::gbk_to_utf8_exact(*request);
  if (!utf8) return false;
  const JsonValue text = parse_strict_json(*utf8);
  if (!text || !json_object_is_type(text.get(), json_type_object)) return false;
  json_object_object_foreach(when, name, value) {
    json_object* found = nullptr;
    if (!json_object_object_get_ex(text.get(), name, &found)) return false;
    if (!json_object_equal(found, value)) return false;
  }
  return true;
}

std::string journal_time() {
  const platform::LocalTime t = platform::local_time_now();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

std::string request_problem(const HttpExchange& ex) {
  if (ex.method != "POST") return "";
  if (ex.request_cut) return "";  // too long to be looked at whole
  if (!ex.request) return "not a zlib stream: " + ex.request_error;
  const auto utf8 = codec::gbk_to_utf8_exact(*ex.request);
  if (!utf8) return "not GBK text";
  const JsonValue value = parse_strict_json(*utf8);
  if (!value) return "not JSON";
  if (!json_object_is_type(value.get(), json_type_object)) return "not a JSON object";
  return "";
}

std::string record_act(const Datagram& d) {
  const JsonValue value = parsed_record(d);
  json_object* act = nullptr;
  if (!value || !json_object_object_get_ex(value.get(), "act", &act) ||
      !json_object_is_type(act, json_type_string)) {
    return "";
  }
  return json_object_get_string(act);
}

std::string record_problem(const Datagram& d) {
  if (!d.record) return "not a zlib stream: " + d.error;
  const auto utf8 = codec::gbk_to_utf8_exact(*d.record);
  if (!utf8) return "not GBK text";
  const JsonValue value = parse_strict_json(*utf8);
  if (!value) return "not JSON";
  if (!json_object_is_type(value.get(), json_type_object)) return "not a JSON object";
  json_object* act = nullptr;
  if (!json_object_object_get_ex(value.get(), "act", &act) ||
      !json_object_is_type(act, json_type_string)) {
    return "no \"act\" text";
  }
  const std::string name = json_object_get_string(act);
  json_object* param = nullptr;
  if (!json_object_object_get_ex(value.get(), "param", &param)) return "no \"param\"";
  for (const ReportRecord& report : report_records()) {
    if (name != report.act) continue;
    if (report.members.empty()) return "";
    if (!json_object_is_type(param, json_type_object)) return "\"param\" is not an object";
    for (const std::string_view member : report.members) {
      if (!json_object_object_get_ex(param, std::string(member).c_str(), nullptr)) {
        return name + " without \"" + std::string(member) + "\"";
      }
    }
    return "";
  }
  return "unknown act \"" + name + "\"";
}

Journal::Journal(std::size_t max_entries, std::size_t max_bytes, const std::string& file)
    : max_entries_(std::max<std::size_t>(max_entries, 1)),
      max_bytes_(max_bytes),
      text_limit_(std::max<std::size_t>(max_bytes / 8, 4096)) {
  if (!file.empty()) {
    // A FIFO or a device would block the stand-in or swallow the journal.
    file_.reset(platform::open_regular_for_append(file.c_str()));
    if (!file_) {
      throw std::runtime_error("cannot append to the journal file " + file + ": " +
                               platform::file_error_line(platform::last_error()));
    }
  }
}

std::string Journal::add(HttpExchange ex) {
  JournalEntry entry;
  entry.http = true;
  entry.key = key_of_path(ex.path);
  json_object* o = json_object_new_object();
  put(o, "kind", json_text("http"));
  put(o, "time", json_text(ex.time));
  put(o, "from", json_text(ex.from));
  put(o, "method", json_text(ex.method));
  put(o, "path", json_text(ex.path));
  json_object* headers = json_object_new_object();
  for (const auto& [raw_name, raw_value] : ex.headers) {
    bool not_gbk = false;
    const std::string name = safe_text(raw_name, &not_gbk);
    std::string value = safe_text(raw_value, &not_gbk);
    // A header given twice is one list, as HTTP reads it.
    json_object* earlier = nullptr;
    if (json_object_object_get_ex(headers, name.c_str(), &earlier)) {
      value = std::string(json_object_get_string(earlier)) + ", " + value;
    }
    put(headers, name.c_str(), json_text(value));
  }
  put(o, "headers", headers);
  put(o, "body_bytes", json_object_new_int64(static_cast<int64_t>(ex.body_bytes)));
  if (ex.request) {
    put(o, "request_bytes",
        json_object_new_int64(
            static_cast<int64_t>(std::max(ex.request_bytes, ex.request->size()))));
    put_text(o, "request", *ex.request, text_limit_);
    // Only its start was kept when it was inflated.
    if (ex.request_cut) put(o, "request_cut", json_object_new_boolean(1));
  } else if (ex.method == "POST") {
    put(o, "request_error", json_text(ex.request_error));
  }
  const std::string problem = request_problem(ex);
  if (!problem.empty()) put(o, "request_problem", json_text(problem));
  put(o, "status", json_object_new_int(ex.status));
  put(o, "answer", json_text(ex.answer));
  put(o, "answer_bytes", json_object_new_int64(static_cast<int64_t>(ex.answer_bytes)));
  if (ex.answer_text) put_text(o, "answer_text", *ex.answer_text, text_limit_);
  if (!ex.fault.empty()) put(o, "fault", json_text(ex.fault));
  if (!ex.rule.empty()) put(o, "rule", json_text(ex.rule));
  if (!ex.record.empty()) put(o, "record", json_text(ex.record));
  put(o, "duration_ms", json_object_new_double(ex.duration_ms));
  entry.line = json_line(o);
  cut(ex.request, text_limit_);
  cut(ex.answer_text, text_limit_);
  entry.bytes = kEntryOverhead + 2 * entry.line.size() + ex.path.size() +
                (ex.request ? ex.request->size() : 0) +
                (ex.answer_text ? ex.answer_text->size() : 0) + ex.answer.size();
  entry.what = std::move(ex);
  return keep(std::move(entry));
}

std::string Journal::add(Datagram d) {
  JournalEntry entry;
  entry.http = false;
  entry.key = record_act(d);
  json_object* o = json_object_new_object();
  put(o, "kind", json_text("udp"));
  put(o, "time", json_text(d.time));
  put(o, "from", json_text(d.from));
  put(o, "bytes", json_object_new_int64(static_cast<int64_t>(d.bytes)));
  if (d.record) {
    put(o, "record_bytes", json_object_new_int64(static_cast<int64_t>(d.record->size())));
    JsonValue value = d.record->size() <= text_limit_ ? parsed_record(d) : nullptr;
    if (value) {
      put(o, "record", value.release());
    } else {
      put_text(o, "record_text", *d.record, text_limit_);
    }
  } else {
    put(o, "error", json_text(d.error));
  }
  if (!entry.key.empty()) put(o, "act", json_text(entry.key));
  const std::string problem = record_problem(d);
  if (!problem.empty()) put(o, "record_problem", json_text(problem));
  if (!d.forward_error.empty()) put(o, "forward_error", json_text(d.forward_error));
  entry.line = json_line(o);
  cut(d.record, text_limit_);
  if (d.raw.size() > text_limit_) d.raw.resize(text_limit_);
  entry.bytes =
      kEntryOverhead + 2 * entry.line.size() + (d.record ? d.record->size() : 0) + d.raw.size();
  entry.what = std::move(d);
  return keep(std::move(entry));
}

std::string Journal::keep(JournalEntry entry) {
  std::string line;
  // Numbered and written under the file's lock, so that the file's lines
  // come in the order of their numbers; readers wait only for the first.
  std::unique_lock file_guard(file_lock_, std::defer_lock);
  if (file_) file_guard.lock();
  {
    std::lock_guard guard(lock_);
    entry.sequence = ++last_;
    // The sequence number leads, so that a reader of the file sees it first.
    line = "{\"seq\":" + std::to_string(entry.sequence) + "," + entry.line.substr(1);
    entry.bytes += line.size() - entry.line.size();
    entry.line = line;
    bytes_ += entry.bytes;
    entries_.push_back(std::move(entry));
    // An entry larger than the byte bound on its own is kept alone.
    while (entries_.size() > 1 && (entries_.size() > max_entries_ || bytes_ > max_bytes_)) {
      bytes_ -= entries_.front().bytes;
      entries_.pop_front();
      ++dropped_;
    }
  }
  added_.notify_all();
  if (file_) {
    const std::string text = line + "\n";
    size_t written = 0;
    if (!platform::write_file(file_.get(), text.data(), text.size(), &written)) {
      ++file_failures_;
      // Part of a line would spoil the next one.
      if (written > 0) platform::cut_file_end(file_.get(), written);
    }
  }
  return line;
}

bool Journal::matches(const JournalEntry& entry, const JournalFilter& filter) const {
  if (entry.sequence <= filter.since) return false;
  if (filter.kind == "http" && !entry.http) return false;
  if (filter.kind == "udp" && entry.http) return false;
  if (!filter.path.empty() && (!entry.http || entry.key != answer_key(filter.path))) return false;
  if (!filter.act.empty() && (entry.http || entry.key != filter.act)) return false;
  if (filter.when && (!entry.http || !request_holds(filter.when.get(),
                                                    std::get<HttpExchange>(entry.what).request))) {
    return false;
  }
  return true;
}

std::size_t Journal::first_after(uint64_t since) const {
  // Sequence numbers are consecutive within the deque.
  if (entries_.empty() || since < entries_.front().sequence) return 0;
  return std::min<std::size_t>(entries_.size(),
                               static_cast<std::size_t>(since - entries_.front().sequence + 1));
}

JournalPage Journal::list(const JournalFilter& filter, std::size_t limit,
                          std::chrono::milliseconds wait) {
  JournalPage page;
  std::unique_lock guard(lock_);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  uint64_t looked = filter.since;  // entries up to here hold no match
  for (;;) {
    for (std::size_t i = first_after(looked); i < entries_.size(); ++i) {
      const JournalEntry& entry = entries_[i];
      looked = entry.sequence;
      if (!matches(entry, filter)) continue;
      if (page.lines.size() == limit) {
        page.more = true;
        break;
      }
      page.lines.push_back(entry.line);
      page.next_since = entry.sequence;
    }
    looked = std::max(looked, last_);
    if (!page.lines.empty() || closed_ ||
        added_.wait_until(guard, deadline) == std::cv_status::timeout) {
      break;
    }
  }
  // With a page cut short, the next one goes on after its last entry;
  // otherwise everything seen so far has been looked at.
  if (!page.more) page.next_since = std::max({page.next_since, looked, filter.since});
  page.last = last_;
  page.dropped = dropped_;
  page.kept = entries_.size();
  page.bytes = bytes_;
  return page;
}

std::size_t Journal::count(const JournalFilter& filter, std::size_t at_least,
                           std::chrono::milliseconds wait, uint64_t* last) {
  std::unique_lock guard(lock_);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::size_t counted = 0;
  uint64_t looked = filter.since;
  for (;;) {
    // Only new entries need looking at while waiting; dropped ones are
    // taken out by the count at the end.
    for (std::size_t i = first_after(looked); i < entries_.size(); ++i) {
      if (matches(entries_[i], filter)) ++counted;
    }
    looked = std::max(looked, last_);
    if (counted >= at_least || closed_ ||
        added_.wait_until(guard, deadline) == std::cv_status::timeout) {
      break;
    }
  }
  counted = 0;
  for (std::size_t i = first_after(filter.since); i < entries_.size(); ++i) {
    if (matches(entries_[i], filter)) ++counted;
  }
  if (last != nullptr) *last = last_;
  return counted;
}

void Journal::clear() {
  std::lock_guard guard(lock_);
  entries_.clear();
  bytes_ = 0;
}

void Journal::close() {
  {
    std::lock_guard guard(lock_);
    closed_ = true;
  }
  added_.notify_all();
}

std::vector<HttpExchange> Journal::take_exchanges() {
  std::lock_guard guard(lock_);
  std::vector<HttpExchange> out;
  for (std::size_t i = first_after(taken_http_); i < entries_.size(); ++i) {
    if (entries_[i].http) out.push_back(std::get<HttpExchange>(entries_[i].what));
  }
  taken_http_ = last_;
  return out;
}

std::vector<Datagram> Journal::take_datagrams(std::size_t count,
                                              std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  auto waiting = [&] {
    std::size_t n = 0;
    for (std::size_t i = first_after(taken_udp_); i < entries_.size() && n < count; ++i) {
      if (!entries_[i].http) ++n;
    }
    return n;
  };
  added_.wait_for(guard, timeout, [&] { return closed_ || waiting() >= count; });
  std::vector<Datagram> out;
  for (std::size_t i = first_after(taken_udp_); i < entries_.size() && out.size() < count; ++i) {
    if (entries_[i].http) continue;
    out.push_back(std::get<Datagram>(entries_[i].what));
    taken_udp_ = entries_[i].sequence;
  }
  return out;
}

uint64_t Journal::dropped() const {
  std::lock_guard guard(lock_);
  return dropped_;
}

uint64_t Journal::received() const {
  std::lock_guard guard(lock_);
  return last_;
}

uint64_t Journal::file_failures() const {
  std::lock_guard guard(file_lock_);
  return file_failures_;
}

}  // namespace kiv::standin
