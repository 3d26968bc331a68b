// The one procedure behind every query export: validate, allocate and clear
// the answer buffer, ask the transport, parse, read "err", let the export
// fill its storage, release. An export is a table of its own values plus the
// lines that fill its storage.
#pragma once

#include <json-c/json.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

namespace kiv::svcquery::query {

// What a log line's conversions take besides its format.
enum class Arg : uint8_t {
  kNone,      // no conversion
  kName,      // "%s": the export's name
  kPosition,  // "%d, %s, %s": source position, source name, the export's name
  kErr,       // "%d": the answer's "err"
};

// The conversions of a printf format, one letter each ("dss" for "%d, %s,
// %s"); '?' for one this check does not know (a '*' width among them).
consteval std::array<char, 8> conversions(const char* format) {
  std::array<char, 8> found{};
  std::size_t count = 0;
  for (const char* c = format; *c != '\0'; ++c) {
    if (*c != '%') continue;
    ++c;
    if (*c == '%') continue;
    while (*c == '-' || *c == '+' || *c == ' ' || *c == '#' || *c == '0' || *c == '.' ||
           (*c >= '1' && *c <= '9')) {
      ++c;
    }
    while (*c == 'l' || *c == 'h' || *c == 'z') ++c;
    const char letter = *c == 'i' ? 'd' : *c;
    if (count + 1 < found.size()) found[count++] = letter == 'd' || letter == 's' ? letter : '?';
    if (*c == '\0') break;
  }
  return found;
}

consteval bool same(const std::array<char, 8>& found, const char* expected) {
  std::size_t i = 0;
  for (; expected[i] != '\0'; ++i) {
    if (found[i] != expected[i]) return false;
  }
  return found[i] == '\0';
}

// A log line of a table. The format is checked, as the table is compiled,
// against what log_line passes for its Arg: a mismatch does not compile (the
// logger's printf checks cannot see a format kept in a table).
struct Line {
  constexpr Line() = default;
  consteval Line(const char* format_text, Arg kind = Arg::kNone, int32_t source_position = 0)
      : format(format_text), arg(kind), position(source_position) {
    constexpr const char* kTakes[] = {"", "s", "dss", "d"};  // by Arg
    if (!same(conversions(format_text), kTakes[static_cast<int>(kind)])) {
      throw "a log line's format does not take what its Arg passes";
    }
  }

  const char* format = nullptr;  // null: nothing is logged
  Arg arg = Arg::kNone;
  int32_t position = 0;  // for Arg::kPosition
};

struct Lines {
  Line param = {};
  Line alloc = {};
  Line transport = {};
  Line parse = {};
  Line refusal = {};  // logged when "err" is 0
  Line entry = {};    // logged before anything else
  Line exit = {};     // logged after every outcome
};

struct Table {
  const char* name;         // the export's name, for "%s" lines
  int32_t func_id;          // of the allocation (and parameter) reports
  const char* report_name;  // of the parameter report; null: none is sent
  uint32_t answer_size;     // capacity handed to the transport
  int32_t parse_failure;    // result when the answer is not JSON
  // Result when the JSON library is not bound; none: parse_failure.
  std::optional<int32_t> json_unbound = std::nullopt;
  Lines lines;
  bool reads_err = true;           // false: "err" is not looked at
  bool stdout_trace = false;       // parse and refusal lines also go to stdout
  int32_t transport_override = 0;  // nonzero: every transport failure and an
                                   // empty answer give this code
};

// The request head that every query hands to the transport unchanged.
struct Head {
  const char* host;
  const char* url;
  uint32_t port;
  const char* protocol;
  const char* request_data;
  int32_t request_size;
};

// A non-owning reference to a callable, valid for the call it is passed to.
template <typename Signature>
class FunctionRef;

template <typename R, typename... A>
class FunctionRef<R(A...)> {
 public:
  FunctionRef() = default;
  template <typename F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>) FunctionRef(F&& f)
  noexcept  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* object, A... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(args...);
        }) {}
  explicit operator bool() const noexcept { return call_ != nullptr; }
  R operator()(A... args) const { return call_(object_, args...); }

 private:
  void* object_ = nullptr;
  R (*call_)(void*, A...) = nullptr;
};

// Fills the caller's storage from the parsed answer and returns the result.
// `err` is the answer's "err" (0 when missing or not read).
using Fill = FunctionRef<int32_t(json_object* root, int32_t err)>;
// Runs once the transport has succeeded, before the answer is parsed.
using OnAnswer = FunctionRef<void()>;

// `outputs_present`: whether every output argument the export requires is given.
int32_t run(const Table& table, const Head& head, bool outputs_present, Fill fill,
            OnAnswer on_answer = {}) noexcept;

// Writes one log line of `table`.
void log_line(const Table& table, const Line& line, int32_t err = 0) noexcept;

// Copies members' texts into caller buffers as large as the export's answer
// buffer (or the size given): the whole text with its NUL (an absent member
// gives the empty text). Only a member that is not a string can have a JSON
// text longer than the answer; it is cut to the buffer. Every text is made
// before the first one is written, so that a text the JSON library had no
// memory to make leaves the caller's storage untouched as a whole.
class TextCopier {
 public:
  static constexpr std::size_t kMostTexts = 4;

  TextCopier(const Table& table, json_object* root) noexcept : table_(table), root_(root) {}
  // Makes the member's text for `out`; nothing is written yet.
  void operator()(char* out, const char* member, std::size_t size = 0) noexcept;
  // When every text was made: runs `write_rest` (the storage's other
  // fields), writes the texts and returns `code`. Otherwise writes nothing
  // and returns 1, logged and reported as the export's allocation failure.
  template <typename WriteRest>
  int32_t commit(int32_t code, WriteRest&& write_rest) noexcept {
    if (failed_) return fail();
    write_rest();
    write_texts();
    return code;
  }
  int32_t commit(int32_t code) noexcept {
    return commit(code, [] {});
  }

 private:
  struct Staged {
    char* out;
    std::size_t size;
    const char* text;  // null: the empty text
  };
  int32_t fail() const noexcept;
  void write_texts() const noexcept;

  const Table& table_;
  json_object* root_;
  std::array<Staged, kMostTexts> staged_{};
  std::size_t count_ = 0;
  bool failed_ = false;
};

// The export's allocation failure, logged and reported; returns 1.
int32_t out_of_memory(const Table& table) noexcept;

// Writes a trace line to the process's standard output and flushes it, so
// that it is not lost when the process ends abnormally.
void stdout_line(const char* format, const char* name = nullptr) noexcept;

// Source name carried by the position lines.
inline constexpr char kSourceName[] = "kiv_parse_json";

}  // namespace kiv::svcquery::query
