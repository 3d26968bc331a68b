// The stand-in's control interface: on its own HTTP port, below a prefix that
// no path of the service uses, in JSON. A client's test reads the journal
// and changes answers, faults and rules there while the stand-in runs; the
// page that shows it all is served there too.
//
//   GET    /__kiv/                 the page
//   GET    /__kiv/journal          entries: kind, path, act, since, limit, wait (ms)
//   DELETE /__kiv/journal          forgets every entry
//   GET    /__kiv/count            matching entries: kind, path, act, since, min, wait (ms)
//   GET    /__kiv/state            answers, faults, rules, the journal's figures
//   PUT    /__kiv/answers/PATH     the body (JSON) answers PATH from now on
//   DELETE /__kiv/answers/PATH     PATH has no answer any more (404)
//   PUT    /__kiv/faults/PATH      {"fault":"status=500,delay=100"}
//   DELETE /__kiv/faults/PATH
//   GET    /__kiv/rules            the rules, each with its count of matching calls
//   POST   /__kiv/rules            a rule, or an array of them, added after the others
//   DELETE /__kiv/rules            every rule gone
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "guard.h"
#include "journal.h"
#include "scenario.h"
#include "standin.h"

namespace httplib {
class Server;
struct Response;
}  // namespace httplib

namespace kiv::standin {

inline constexpr std::string_view kControlPrefix = "/__kiv/";

// What the control interface acts on: the stand-in itself.
class ControlTarget {
 public:
  virtual Journal& journal() = 0;
  virtual Scenario& scenario() = 0;
  // Both put nothing and return false when `key` is new and `most` are
  // held already. Throws std::runtime_error when GBK cannot hold the text.
  virtual bool put_answer(const std::string& key, std::string_view utf8_text, std::size_t most) = 0;
  virtual bool remove_answer(const std::string& key) = 0;
  virtual bool put_fault(const std::string& key, const Fault& fault, std::size_t most) = 0;
  virtual bool remove_fault(const std::string& key) = 0;
  // The members "answers", "raw_answers" and "faults" of the state, without braces.
  virtual std::string answers_json() = 0;
  // Lines the console could not keep up with, since the start.
  virtual uint64_t console_dropped() = 0;

 protected:
  ~ControlTarget() = default;
};

// A refusal as the control interface gives it: a JSON error, and the
// connection closed (its body, if any, was not read).
void reply_refusal(httplib::Response& res, const Refusal& refusal);

// Closes the connection once the answer (already set) has been sent: what is
// left of the request unread must not be taken for the next one, and the
// worker goes free at once. The HTTP library keeps a connection open whatever
// the answer's Connection header says; a content provider that fails after
// writing everything makes it close.
void close_after_answer(httplib::Response& res);

// Adds the control routes; before the service's own, which take every path.
void add_control_routes(httplib::Server& server, ControlTarget& target);

// The page as page.html has it (generated from it), and as it is served:
// the page, its script and its style apart.
std::string_view control_page();
std::string_view page_html();
std::string_view page_script();
std::string_view page_style();

// One request to a control interface, for the tool.
struct ControlReply {
  int status = 0;     // 0: no answer came
  std::string body;   // the JSON text
  std::string error;  // why no answer came
};
// `token`, when not empty, goes in the guard's header.
ControlReply control_request(const std::string& host, uint16_t port, const std::string& method,
                             const std::string& target, std::chrono::milliseconds timeout,
                             const std::string& body = "", const std::string& token = "");

}  // namespace kiv::standin
