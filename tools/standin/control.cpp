#include "control.h"

#include <httplib.h>
#include <json-c/json.h>

#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "codec.h"
#include "guard.h"
#include "number.h"

namespace kiv::standin {
namespace {

constexpr long long kLongestWait = 60000;  // ms a reader may wait for entries
constexpr std::size_t kDefaultLimit = 1000;
constexpr std::size_t kLargestLimit = 100000;
// Readers that may wait for entries at once. Each holds a worker of the HTTP
// server while it waits: past this many, a reader is told to come back
// (503), so that waiting readers never take the workers the service needs.
constexpr int kMostWaitingReaders = 32;
// What the control interface holds at most, so that no script (or page) can
// grow the stand-in without bound.
constexpr std::size_t kMostRules = 1000;
constexpr std::size_t kMostAnswers = 1000;
constexpr std::size_t kMostFaults = 1000;
// The page and its parts: nothing but what the stand-in itself serves.
constexpr char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void reply_json(httplib::Response& res, int status, std::string body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_content(std::move(body), "application/json; charset=utf-8");
}

void reply_error(httplib::Response& res, const Refusal& refusal) {
  reply_json(res, refusal.status, "{\"error\":" + json_quoted(refusal.why) + "}");
  // A reader told to come back lets its connection (and worker) go.
  if (refusal.status == 503) close_after_answer(res);
}

// A reader allowed to wait, for as long as it waits; none when too many do.
class WaitSlot {
 public:
  WaitSlot(std::atomic<int>& waiting, bool waits) : waiting_(waits ? &waiting : nullptr) {
    if (waiting_ != nullptr && waiting_->fetch_add(1) >= kMostWaitingReaders) {
      waiting_->fetch_sub(1);
      throw Refusal{503, "too many readers are waiting (at most " +
                             std::to_string(kMostWaitingReaders) +
                             "); ask again, or without \"wait\""};
    }
  }
  ~WaitSlot() {
    if (waiting_ != nullptr) waiting_->fetch_sub(1);
  }
  WaitSlot(const WaitSlot&) = delete;
  WaitSlot& operator=(const WaitSlot&) = delete;

 private:
  std::atomic<int>* waiting_;
};

// Runs a handler; a Refusal becomes a JSON error, and so does anything else
// that goes wrong, so that every answer of the interface is JSON.
template <typename Handler>
auto guarded(Handler handler) {
  return [handler](const httplib::Request& req, httplib::Response& res) {
    try {
      handler(req, res);
    } catch (const Refusal& refusal) {
      reply_error(res, refusal);
    } catch (const std::exception& e) {
      reply_error(res, {500, e.what()});
    }
  };
}

// The parameters of the query string: the HTTP library also takes those of
// a form body, which a control request's JSON body (sent as a form by
// `curl -d`) is not.
std::vector<std::string> query_names(const httplib::Request& req) {
  std::vector<std::string> names;
  const size_t mark = req.target.find('?');
  if (mark == std::string::npos) return names;
  std::string_view query = std::string_view(req.target).substr(mark + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    if (!pair.empty())
      names.emplace_back(
          httplib::detail::decode_url(std::string(pair.substr(0, pair.find('='))), true));
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  }
  return names;
}

void only_parameters(const httplib::Request& req, std::set<std::string> allowed) {
  for (const auto& name : query_names(req)) {
    // The guard has looked at the token already.
    if (!allowed.contains(name) && name != kTokenParameter) {
      std::string names;
      for (const auto& a : allowed) names += (names.empty() ? "" : ", ") + a;
      throw Refusal{400, "unknown parameter \"" + name + "\" (this path takes " +
                             (names.empty() ? std::string("none") : names) + ")"};
    }
  }
}

uint64_t number(const httplib::Request& req, const char* name, uint64_t fallback,
                uint64_t highest) {
  if (!req.has_param(name)) return fallback;
  const std::string text = req.get_param_value(name);
  const auto value = parse_number<uint64_t>(text, 0, highest);
  if (!value) {
    throw Refusal{400, std::string("\"") + name + "\" must be a decimal number from 0 to " +
                           std::to_string(highest) + ", not \"" + text + "\""};
  }
  return *value;
}

JournalFilter filter_of(const httplib::Request& req) {
  JournalFilter filter;
  filter.kind = req.get_param_value("kind");
  if (!filter.kind.empty() && filter.kind != "http" && filter.kind != "udp") {
    throw Refusal{400, "\"kind\" must be http or udp, not \"" + filter.kind + "\""};
  }
  filter.path = req.get_param_value("path");
  filter.act = req.get_param_value("act");
  if (req.has_param("when")) {
    JsonValue when = parse_strict_json(req.get_param_value("when"));
    if (!when || !json_object_is_type(when.get(), json_type_object)) {
      throw Refusal{400, "\"when\" must be a JSON object of request members, as in a rule"};
    }
    filter.when = std::shared_ptr<json_object>(when.release(), JsonPut());
  }
  filter.since = number(req, "since", 0, UINT64_MAX);
  return filter;
}

std::chrono::milliseconds wait_of(const httplib::Request& req) {
  return std::chrono::milliseconds(static_cast<long long>(number(req, "wait", 0, kLongestWait)));
}

std::string figures(const JournalPage& page, std::size_t max_entries, std::size_t max_bytes) {
  return "\"last\":" + std::to_string(page.last) + ",\"dropped\":" + std::to_string(page.dropped) +
         ",\"kept\":" + std::to_string(page.kept) + ",\"bytes\":" + std::to_string(page.bytes) +
         ",\"max_entries\":" + std::to_string(max_entries) +
         ",\"max_bytes\":" + std::to_string(max_bytes);
}

JsonValue json_body(const httplib::Request& req, const char* what) {
  JsonValue value = parse_strict_json(req.body);
  if (!value) throw Refusal{400, std::string(what) + " must be one JSON value in UTF-8"};
  return value;
}

std::string key_from(const httplib::Request& req) {
  std::string key = answer_key(req.matches[1].str());
  if (key.empty()) throw Refusal{400, "the path after the prefix is empty"};
  return key;
}

// A POST handler that takes its body whole, up to a bound.
template <typename Handler>
auto with_body(Handler handler) {
  return [handler](const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader) {
    constexpr std::size_t kLimit = 16u << 20;
    std::string body;
    bool too_large = false;
    reader([&](const char* data, size_t n) {
      if (n > kLimit - body.size()) {
        too_large = true;
        return false;
      }
      body.append(data, n);
      return true;
    });
    guarded([&](const httplib::Request& r, httplib::Response& out) {
      if (too_large) throw Refusal{413, "the body is larger than 16 MiB"};
      handler(r, out, body);
    })(req, res);
  };
}

}  // namespace

void reply_refusal(httplib::Response& res, const Refusal& refusal) {
  reply_error(res, refusal);
  close_after_answer(res);
}

void close_after_answer(httplib::Response& res) {
  if (res.body.empty()) return;  // nothing to send: the library's own way
  auto body = std::make_shared<std::string>(std::move(res.body));
  res.body.clear();
  const std::string type = res.get_header_value("Content-Type");
  res.headers.erase("Content-Type");
  res.set_header("Connection", "close");
  res.set_content_provider(body->size(), type,
                           [body](size_t offset, size_t, httplib::DataSink& sink) {
                             sink.write(body->data() + offset, body->size() - offset);
                             return false;
                           });
}

void add_control_routes(httplib::Server& server, ControlTarget& target) {
  const std::string p(kControlPrefix);
  auto serve = [](std::string_view text, const char* type) {
    return guarded([text, type](const httplib::Request& req, httplib::Response& res) {
      only_parameters(req, {});
      res.set_header("Cache-Control", "no-store");
      res.set_header("Content-Security-Policy", kPagePolicy);
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_content(std::string(text), type);
    });
  };
  server.Get("/__kiv", serve(page_html(), "text/html; charset=utf-8"));
  server.Get(p, serve(page_html(), "text/html; charset=utf-8"));
  server.Get(p + "page.js", serve(page_script(), "text/javascript; charset=utf-8"));
  server.Get(p + "page.css", serve(page_style(), "text/css; charset=utf-8"));
  auto waiting = std::make_shared<std::atomic<int>>(0);

  server.Get(p + "journal",
             guarded([&target, waiting](const httplib::Request& req, httplib::Response& res) {
               only_parameters(req, {"kind", "path", "act", "when", "since", "limit", "wait"});
               const JournalFilter filter = filter_of(req);
               const auto limit =
                   static_cast<std::size_t>(number(req, "limit", kDefaultLimit, kLargestLimit));
               if (limit == 0) throw Refusal{400, "\"limit\" must be at least 1"};
               Journal& journal = target.journal();
               const auto wait = wait_of(req);
               const WaitSlot slot(*waiting, wait.count() > 0);
               const JournalPage page = journal.list(filter, limit, wait);
               std::string body = "{\"entries\":[";
               for (size_t i = 0; i < page.lines.size(); ++i) {
                 if (i > 0) body += ",";
                 body += page.lines[i];
               }
               body += "],\"next_since\":" + std::to_string(page.next_since) +
                       ",\"more\":" + (page.more ? "true" : "false") + "," +
                       figures(page, journal.max_entries(), journal.max_bytes()) + "}";
               reply_json(res, 200, std::move(body));
             }));
  server.Delete(p + "journal",
                guarded([&target](const httplib::Request& req, httplib::Response& res) {
                  only_parameters(req, {});
                  target.journal().clear();
                  reply_json(res, 200, "{\"cleared\":true}");
                }));
  server.Get(
      p + "count", guarded([&target, waiting](const httplib::Request& req, httplib::Response& res) {
        only_parameters(req, {"kind", "path", "act", "when", "since", "min", "wait"});
        const JournalFilter filter = filter_of(req);
        const auto at_least = static_cast<std::size_t>(number(req, "min", 0, kLargestLimit));
        uint64_t last = 0;
        const auto wait = wait_of(req);
        const WaitSlot slot(*waiting, wait.count() > 0 && at_least > 0);
        const std::size_t n = target.journal().count(filter, at_least, wait, &last);
        reply_json(res, 200,
                   "{\"count\":" + std::to_string(n) + ",\"last\":" + std::to_string(last) + "}");
      }));
  server.Get(p + "state", guarded([&target](const httplib::Request& req, httplib::Response& res) {
               only_parameters(req, {});
               Journal& journal = target.journal();
               JournalFilter none;
               none.since = UINT64_MAX;
               const JournalPage page = journal.list(none, 1, std::chrono::milliseconds(0));
               const std::string answers = target.answers_json();
               reply_json(res, 200,
                          "{" + answers + ",\"rules\":" + target.scenario().json() +
                              ",\"journal\":{" +
                              figures(page, journal.max_entries(), journal.max_bytes()) +
                              ",\"console_dropped\":" + std::to_string(target.console_dropped()) +
                              "}}");
             }));

  const std::string answers = p + "answers/(.*)";
  server.Put(answers, guarded([&target](const httplib::Request& req, httplib::Response& res) {
               only_parameters(req, {});
               const std::string key = key_from(req);
               json_body(req, "an answer");
               try {
                 if (!target.put_answer(key, req.body, kMostAnswers)) {
                   throw Refusal{413, "the stand-in holds at most " + std::to_string(kMostAnswers) +
                                          " answers; remove some first"};
                 }
               } catch (const std::runtime_error& e) {
                 throw Refusal{400, e.what()};
               }
               reply_json(res, 200, "{\"answer\":" + json_quoted(key) + "}");
             }));
  server.Delete(answers, guarded([&target](const httplib::Request& req, httplib::Response& res) {
                  only_parameters(req, {});
                  const std::string key = key_from(req);
                  if (!target.remove_answer(key)) {
                    throw Refusal{404, "no answer for " + key};
                  }
                  reply_json(res, 200, "{\"removed\":" + json_quoted(key) + "}");
                }));

  const std::string faults = p + "faults/(.*)";
  server.Put(faults, guarded([&target](const httplib::Request& req, httplib::Response& res) {
               only_parameters(req, {});
               const std::string key = key_from(req);
               const JsonValue body = json_body(req, "a fault");
               json_object* spec = nullptr;
               if (!json_object_is_type(body.get(), json_type_object) ||
                   json_object_object_length(body.get()) != 1 ||
                   !json_object_object_get_ex(body.get(), "fault", &spec) ||
                   !json_object_is_type(spec, json_type_string)) {
                 throw Refusal{
                     400, "a fault is {\"fault\":\"status=N,delay=MS,empty,not-zlib,not-json\"}"};
               }
               std::string why;
               const auto fault = parse_fault(json_object_get_string(spec), &why);
               if (!fault) throw Refusal{400, why};
               if (!target.put_fault(key, *fault, kMostFaults)) {
                 throw Refusal{413, "the stand-in holds at most " + std::to_string(kMostFaults) +
                                        " faults; remove some first"};
               }
               reply_json(res, 200,
                          "{\"fault\":" + json_quoted(fault->describe()) +
                              ",\"path\":" + json_quoted(key) + "}");
             }));
  server.Delete(faults, guarded([&target](const httplib::Request& req, httplib::Response& res) {
                  only_parameters(req, {});
                  const std::string key = key_from(req);
                  if (!target.remove_fault(key)) throw Refusal{404, "no fault on " + key};
                  reply_json(res, 200, "{\"removed\":" + json_quoted(key) + "}");
                }));

  server.Get(p + "rules", guarded([&target](const httplib::Request& req, httplib::Response& res) {
               only_parameters(req, {});
               reply_json(res, 200, "{\"rules\":" + target.scenario().json() + "}");
             }));
  // POST handlers read their body themselves: the service's own take every
  // path that way, and the HTTP library asks those first.
  server.Post(p + "rules", with_body([&target](const httplib::Request& req, httplib::Response& res,
                                               const std::string& body) {
                only_parameters(req, {});
                std::string why;
                auto rules = Scenario::parse(body, &why);
                if (!rules) throw Refusal{400, why};
                const size_t n = rules->size();
                if (!target.scenario().add_within(std::move(*rules), kMostRules)) {
                  throw Refusal{413, "the stand-in holds at most " + std::to_string(kMostRules) +
                                         " rules; clear them first"};
                }
                reply_json(res, 200, "{\"added\":" + std::to_string(n) + "}");
              }));
  server.Delete(p + "rules",
                guarded([&target](const httplib::Request& req, httplib::Response& res) {
                  only_parameters(req, {});
                  target.scenario().clear();
                  reply_json(res, 200, "{\"cleared\":true}");
                }));

  // Anything else below the prefix: a JSON error rather than a service answer.
  auto unknown = guarded([](const httplib::Request& req, httplib::Response&) {
    throw Refusal{404, "no control path " + req.method + " " + req.path +
                           " (see GET /__kiv/ for the page; journal, count, state, answers/PATH, "
                           "faults/PATH, rules)"};
  });
  const std::string rest = "/__kiv(/.*)?";
  server.Get(rest, unknown);
  server.Post(rest, with_body([unknown](const httplib::Request& req, httplib::Response& res,
                                        const std::string&) { unknown(req, res); }));
  server.Put(rest, unknown);
  server.Delete(rest, unknown);
  server.Patch(rest, unknown);
  server.Options(rest, unknown);
}

ControlReply control_request(const std::string& host, uint16_t port, const std::string& method,
                             const std::string& target, std::chrono::milliseconds timeout,
                             const std::string& body, const std::string& token) {
  httplib::Client client(host, port);
  if (!token.empty()) client.set_default_headers({{kTokenHeader, token}});
  client.set_connection_timeout(std::chrono::seconds(5));
  client.set_read_timeout(timeout);
  client.set_write_timeout(std::chrono::seconds(5));
  client.set_keep_alive(false);
  httplib::Result result(nullptr, httplib::Error::Unknown);
  if (method == "GET") {
    result = client.Get(target);
  } else if (method == "DELETE") {
    result = client.Delete(target, "", "application/json");
  } else if (method == "PUT") {
    result = client.Put(target, body, "application/json");
  } else {
    result = client.Post(target, body, "application/json");
  }
  ControlReply reply;
  if (!result) {
    reply.error = httplib::to_string(result.error());
    return reply;
  }
  reply.status = result->status;
  reply.body = result->body;
  return reply;
}

}  // namespace kiv::standin
