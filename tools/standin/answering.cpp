#include <json-c/json.h>

#include <chrono>
#include <stdexcept>
#include <utility>

#include "codec.h"
#include "service_impl.h"

namespace kiv::standin {
namespace {

// What a busy front end answers instead of the service's JSON.
constexpr std::string_view kNotJsonText =
    "<html><head><title>503 Service Unavailable</title></head>"
    "<body>The service is busy, please try again later.</body></html>";

}  // namespace

std::string Service::Impl::encode(std::string_view key, std::string_view text) {
  std::string why;
  auto gbk = codec::utf8_to_gbk(text, &why);
  if (!gbk) throw std::runtime_error("answer " + std::string(key) + ": " + why);
  return std::move(*gbk);
}

Reply Service::Impl::own_reply(const httplib::Request& req, const std::string& key,
                               HttpExchange& ex, const std::optional<std::string>& chosen) {
  Reply reply;
  std::optional<std::string> text = chosen;
  std::optional<std::string> raw;
  if (!chosen) {
    std::lock_guard guard(lock);
    if (auto it = served.find(key); it != served.end()) text = it->second;
    if (auto it = served_raw.find(key); it != served_raw.end()) raw = it->second;
  }
  if (req.method != "POST") {
    reply.status = 405;
    ex.answer = "only POST is answered";
    reply.body = ex.answer;
  } else if (raw || text) {
    reply.status = 200;
    reply.answered = true;
    reply.body = raw ? std::move(*raw) : codec::zlib_compress(*text);
    reply.plain =
        raw ? codec::zlib_inflate(reply.body, codec::kBodyLimit, nullptr) : std::move(text);
    ex.answer = chosen ? "answer of the rule" : "answer \"" + key + (raw ? "\" (raw)" : "\"");
  } else {
    reply.status = 404;
    ex.answer = "no answer for this path";
    reply.body = ex.answer;
  }
  return reply;
}

void Service::Impl::apply(const Fault& fault, Reply& reply) {
  if (fault.not_json) {
    reply.plain = std::string(kNotJsonText);
    reply.body = codec::zlib_compress(kNotJsonText);
  }
  if (fault.not_zlib && reply.plain) reply.body = *reply.plain;
  if (fault.empty_body) reply.body.clear();
  if (fault.status) reply.status = *fault.status;
}

void Service::Impl::answer(const httplib::Request& req, const std::string& body,
                           httplib::Response& res) {
  const auto arrived = std::chrono::steady_clock::now();
  HttpExchange ex = exchange_of(req);
  ex.body_bytes = body.size();
  ex.request = codec::zlib_inflate_start(body, kRequestKept, codec::kBodyLimit, &ex.request_bytes,
                                         &ex.request_error);
  ex.request_cut = ex.request && ex.request_bytes > ex.request->size();

  const std::string key = answer_key(req.path);
  std::optional<Fault> fault;
  {
    std::lock_guard guard(lock);
    if (auto it = faults.find(key); it != faults.end()) fault = it->second;
  }
  std::optional<std::string> chosen;
  if (req.method == "POST") {
    if (auto choice = scenario_.choose(key, ex.request)) {
      // The rule decides both: its answer (or the path's) and its fault (or none).
      ex.rule = std::move(choice->rule);
      chosen = std::move(choice->answer);
      fault = std::move(choice->fault);
    }
  }
  if (fault) {
    ex.fault = fault->describe();
    if (fault->delay.count() > 0) {
      std::unique_lock guard(lock);
      changed.wait_for(guard, fault->delay, [this] { return stopping; });
    }
  }

  Reply reply = upstream && req.method == "POST" && !chosen ? upstream->forward(req, body, ex)
                                                            : own_reply(req, key, ex, chosen);
  // What the service said, not what the faults made of it; a rule's
  // answer is the test's, not the service's.
  if (recorder && reply.answered && reply.status == 200 && !chosen) {
    try {
      ex.record = "recorded " + recorder->record(key, body, reply.body);
    } catch (const std::runtime_error& e) {
      ex.record = "NOT recorded: " + std::string(e.what());
    }
  }
  if (fault && reply.answered) apply(*fault, reply);

  ex.status = reply.status;
  ex.answer_bytes = reply.body.size();
  if (!reply.cut) {
    size_t whole = 0;
    ex.answer_text =
        codec::zlib_inflate_start(reply.body, kRequestKept, codec::kBodyLimit, &whole, nullptr);
  }
  res.status = reply.status;
  if (reply.cut) {
    // One byte announced and none sent: the client's transfer fails.
    res.set_content_provider(1, reply.content_type,
                             [](size_t, size_t, httplib::DataSink&) { return false; });
  } else {
    res.set_content(reply.body, reply.content_type);
  }
  ex.duration_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - arrived).count();
  keep(std::move(ex));
}

}  // namespace kiv::standin
