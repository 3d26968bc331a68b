#include <chrono>
#include <stdexcept>
#include <utility>

#include "codec.h"
#include "program.h"
#include "service_impl.h"
#include "worker_pool.h"

namespace kiv::standin {
namespace {

// Whether the request this thread handles has been journaled: the HTTP
// library's logger journals those it answered without a handler.
thread_local bool t_journaled = false;

// HTTP connections: one worker each, up to this many at once; a slow or
// idle client is cut off after a few seconds of silence.
constexpr std::size_t kMaxWorkers = 256;
constexpr int kListenBacklog = 256;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 5;
// The header a refused Content-Encoding travels in to the handler.
constexpr char kRefusedEncoding[] = "X-Kiv-Refused-Content-Encoding";

}  // namespace

void Service::Impl::start_http() {
  control_apart = !options.control_address.empty() && options.control_address != options.address;
  control_address = control_apart ? options.control_address : options.address;
  if (!parse_ipv4(control_address)) {
    throw std::runtime_error("not an IPv4 address: " + control_address);
  }
  // Beyond loopback, anyone who can reach it could read the journal and
  // change the answers: a token is asked for.
  const bool needs_token =
      !is_loopback_address(options.address) || !is_loopback_address(control_address);
  guard.emplace(control_address, needs_token ? new_token() : std::string());

  configure(server);
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return front(req, res, !control_apart);
  });
  // Whatever the HTTP library answered without a handler is journaled too.
  server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    const bool journaled = std::exchange(t_journaled, false);
    if (!journaled && !is_control_path(req.path)) keep_unrouted(req, res);
  });
  // First: the service's own routes take every path.
  if (!control_apart) add_control_routes(server, *this);
  server.Post(R"(/.*)",
              [this](const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& reader) { answer_post(req, res, reader); });
  server.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
    answer(req, std::string(), res);
  });
  http_port = listen(server, http_thread, options.address, options.http_port);

  if (control_apart) {
    configure(control_server);
    control_server.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) {
          std::optional<Refusal> refusal =
              is_control_path(req.path)
                  ? guard->check(req)
                  : Refusal{404, "only the control interface listens here, below " +
                                     std::string(kControlPrefix)};
          if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
          reply_refusal(res, *refusal);
          return httplib::Server::HandlerResponse::Handled;
        });
    add_control_routes(control_server, *this);
    control_port = listen(control_server, control_thread, control_address, options.control_port);
  } else {
    control_port = http_port;
  }
  guard->set_port(control_port);
}

// What both listeners share: a worker per connection, time limits, a
// bound on bodies.
void Service::Impl::configure(httplib::Server& http) {
  // The HTTP library asks for a plain pointer and owns (and deletes) it.
  http.new_task_queue = [] { return new GrowingPool(kMaxWorkers); };
  // An answer's head and body leave at once, not a delayed acknowledgement apart.
  http.set_tcp_nodelay(true);
  http.set_read_timeout(kReadTimeoutSeconds, 0);
  http.set_write_timeout(kReadTimeoutSeconds, 0);
  http.set_keep_alive_timeout(kKeepAliveSeconds);
  // The accept loop looks up now and then, so that stop() reaches it.
  http.set_idle_interval(0, 100000);
  // A body announced larger is skipped unread and answered with 413.
  http.set_payload_max_length(codec::kBodyLimit);
}

// Binds `http` and runs it on `thread`; returns the port.
uint16_t Service::Impl::listen(CuttingServer& http, std::thread& thread, const std::string& address,
                               uint16_t port) {
  bool bound = false;
  if (port == 0) {
    const int any = http.bind_to_any_port(address);
    bound = any > 0;
    if (bound) port = static_cast<uint16_t>(any);
  } else {
    bound = http.bind_to_port(address, port);
  }
  if (!bound) {
    throw std::runtime_error("cannot listen on http " + address + ":" + std::to_string(port) +
                             " (port in use, or an address this host does not have)");
  }
  // Room for bursts.
  http.widen_backlog(kListenBacklog);
  thread = std::thread([&http] { http.listen_after_bind(); });
  // stop() only reaches a server that has entered its loop.
  for (int i = 0; i < 5000 && !http.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return port;
}

// What comes before any handler. The control interface's guard, on its
// paths; on the service's, any method but POST (and GET, answered with
// 405 by the service itself) is refused and journaled, and a body with a
// Content-Encoding is set aside to be refused.
httplib::Server::HandlerResponse Service::Impl::front(const httplib::Request& req,
                                                      httplib::Response& res, bool control_here) {
  using Outcome = httplib::Server::HandlerResponse;
  if (is_control_path(req.path)) {
    std::optional<Refusal> refusal;
    if (!control_here) {
      refusal = Refusal{404, "the control interface is not on this port: it is at http://" +
                                 control_address + ":" + std::to_string(control_port) +
                                 std::string(kControlPrefix)};
    } else {
      refusal = guard->check(req);
    }
    if (!refusal) return Outcome::Unhandled;
    reply_refusal(res, *refusal);
    return Outcome::Handled;
  }
  // The HTTP library would inflate a body sent with a Content-Encoding
  // itself, past any limit of ours. The service takes zlib bodies without
  // one: the header is moved aside, so that the body is read as it came
  // (bounded) and refused. The request itself is not const: only the
  // handler's view of it is.
  auto& headers = const_cast<httplib::Headers&>(req.headers);
  if (const auto it = headers.find("Content-Encoding"); it != headers.end()) {
    std::string value = it->second;
    headers.erase("Content-Encoding");
    if (value != "identity") headers.emplace(kRefusedEncoding, std::move(value));
  }
  if (req.method != "POST" && req.method != "GET" && req.method != "HEAD") {
    // Unread, the body would be taken for the next request: the
    // connection is closed after the answer.
    refuse(req, res, 405, "the service takes POST, not " + req.method, 0);
    res.set_header("Allow", "POST");
    return Outcome::Handled;
  }
  return Outcome::Unhandled;
}

// What is known of a request before its body: who, what, and its headers
// (those the HTTP library adds of its own left out).
HttpExchange Service::Impl::exchange_of(const httplib::Request& req) {
  HttpExchange ex;
  ex.time = journal_time();
  ex.from = req.remote_addr.empty() ? std::string()
                                    : req.remote_addr + ":" + std::to_string(req.remote_port);
  ex.method = req.method;
  ex.path = req.path;
  for (const auto& [name, value] : req.headers) {
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT") {
      continue;
    }
    ex.headers.emplace_back(name == kRefusedEncoding ? "Content-Encoding" : name, value);
  }
  return ex;
}

void Service::Impl::keep(HttpExchange ex) {
  t_journaled = true;
  if (options.on_http) options.on_http(ex);
  {
    std::lock_guard guard(lock);
    ++http_requests;
  }
  journal_->add(std::move(ex));
}

// A request the HTTP library answered itself (a malformed request line or
// header, a target too long): journaled as far as it was read.
void Service::Impl::keep_unrouted(const httplib::Request& req, const httplib::Response& res) {
  HttpExchange ex = exchange_of(req);
  ex.body_bytes = req.body.size();
  ex.status = res.status;
  ex.request_error = "not read: the request was malformed";
  ex.answer = "malformed request, answered " + std::to_string(res.status) +
              " by the HTTP server before the service saw it";
  ex.answer_bytes = res.body.size();
  keep(std::move(ex));
}

// A request whose body is refused unread or cut off: answered with
// `status`, and the connection closed after it.
void Service::Impl::refuse(const httplib::Request& req, httplib::Response& res, int status,
                           std::string why, size_t body_bytes) {
  HttpExchange ex = exchange_of(req);
  ex.body_bytes = body_bytes;
  ex.request_error = why;
  ex.status = status;
  ex.answer = why;
  res.status = status;
  res.set_content(why, "text/plain");
  close_after_answer(res);
  ex.answer_bytes = why.size();
  keep(std::move(ex));
}

void Service::Impl::answer_post(const httplib::Request& req, httplib::Response& res,
                                const httplib::ContentReader& reader) {
  if (req.has_header(kRefusedEncoding)) {
    refuse(req, res, 415,
           "bodies with Content-Encoding \"" + req.get_header_value(kRefusedEncoding) +
               "\" are not taken (the service takes zlib bodies without it)",
           0);
    return;
  }
  std::string body;
  bool too_large = false;
  const bool whole = reader([&](const char* data, size_t n) {
    if (n > codec::kBodyLimit - body.size()) {
      too_large = true;
      return false;
    }
    body.append(data, n);
    return true;
  });
  if (too_large || res.status == 413) {
    refuse(req, res, 413,
           "the body is larger than the " + std::to_string(codec::kBodyLimit) + "-byte limit",
           body.size());
    return;
  }
  if (!whole) {
    refuse(req, res, 400, "the body did not arrive whole", body.size());
    return;
  }
  answer(req, body, res);
}

void Service::Impl::stop_http() {
  // Connections that are idle, slow or mid-request would each hold their
  // worker until their own time-out: they are cut off.
  for (auto [http, thread] :
       {std::pair{&server, &http_thread}, std::pair{&control_server, &control_thread}}) {
    if (!thread->joinable()) continue;
    http->stop_and_cut_off();
    thread->join();
  }
}

}  // namespace kiv::standin
