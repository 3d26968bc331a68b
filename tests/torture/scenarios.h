// The allocation-failure torture's scenarios: a representative call of
// every export, what it fills, and which of its results are failures.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::torture {

// ---- what a run filled, written without allocating ------------------------------------

// Lines of text in a fixed buffer, so that recording inside a run never
// touches the heap; read back as strings once the run is over.
class Trace {
 public:
  void clear() {
    length_ = 0;
    overflow_ = false;
  }
  Trace& text(std::string_view value) {
    if (value.size() > sizeof bytes_ - length_) {
      overflow_ = true;
      return *this;
    }
    std::memcpy(bytes_ + length_, value.data(), value.size());
    length_ += value.size();
    return *this;
  }
  Trace& text(const char* value) { return text(std::string_view(value ? value : "(null)")); }
  Trace& number(int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return text(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  Trace& real(float value) {
    char digits[48];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return text(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  void end_line() { text("\n"); }

  bool overflow() const { return overflow_; }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::string_view rest(bytes_, length_);
    while (!rest.empty()) {
      const size_t end = rest.find('\n');
      out.emplace_back(rest.substr(0, end));
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return out;
  }

 private:
  char bytes_[1 << 16];
  size_t length_ = 0;
  bool overflow_ = false;
};
extern Trace g_trace;

// ---- the world the exports talk to, set up by the runner ------------------------------

extern uint32_t g_port;
extern std::string g_list_file;   // a saved service list
extern std::string g_saved_file;  // where http_access_protocol2 saves
// The service's answers, by path, and the saved service list's JSON text.
extern const std::map<std::string, std::string> kAnswers;
extern const char kServiceList[];

// ---- scenarios ------------------------------------------------------------------------

// Where a run leaves its outcome: in the caller's storage (rows delivered to
// callbacks, then fields), or as datagrams at the log sink.
enum class Shape { kCaller, kDatagrams };

struct Scenario {
  const char* name;
  Shape shape;
  std::set<int32_t> failure_codes;
  void (*reset)();    // before each run; the caller's storage to its untouched state
  int32_t (*run)();   // armed: the export's call and nothing else that allocates
  void (*collect)();  // after the run: the caller's fields, into the trace
  // An answer that cannot be parsed (as when the parser runs out of memory)
  // still gives the undisturbed run's code, with nothing filled.
  bool unread_answer_succeeds = false;
};

// The first word of a trace line that holds a field of the caller's storage.
inline constexpr std::string_view kField = "field ";

extern const std::span<const Scenario> kScenarios;

}  // namespace kiv::torture
