#include "standin.h"

#include <json-c/json.h>

#include <stdexcept>
#include <utility>

#include "codec.h"
#include "gbk_text.h"
#include "service_impl.h"

namespace kiv::standin {

bool Service::Impl::put_answer(const std::string& key, std::string_view utf8_text, size_t most) {
  std::string gbk = encode(key, utf8_text);
  std::lock_guard hold(lock);
  if (!served.contains(key) && !served_raw.contains(key) &&
      served.size() + served_raw.size() >= most) {
    return false;
  }
  served.insert_or_assign(key, std::move(gbk));
  served_raw.erase(key);
  return true;
}

bool Service::Impl::remove_answer(const std::string& key) {
  std::lock_guard guard(lock);
  const bool text = served.erase(key) > 0;
  const bool raw = served_raw.erase(key) > 0;
  return text || raw;
}

bool Service::Impl::put_fault(const std::string& key, const Fault& fault, size_t most) {
  std::lock_guard hold(lock);
  if (!faults.contains(key) && faults.size() >= most) return false;
  faults.insert_or_assign(key, fault);
  return true;
}

uint64_t Service::Impl::console_dropped() {
  return options.console_dropped ? options.console_dropped() : 0;
}

bool Service::Impl::remove_fault(const std::string& key) {
  std::lock_guard guard(lock);
  return faults.erase(key) > 0;
}

std::string Service::Impl::answers_json() {
  json_object* answers = json_object_new_object();
  json_object* raws = json_object_new_object();
  json_object* fault_list = json_object_new_object();
  {
    std::lock_guard guard(lock);
    for (const auto& [key, gbk] : served) {
      const auto utf8 = codec::gbk_to_utf8_exact(gbk);
      JsonValue value = utf8 ? parse_strict_json(*utf8) : nullptr;
      json_object_object_add(
          answers, key.c_str(),
          value ? value.release() : json_object_new_string(kiv::text::gbk_to_utf8(gbk).c_str()));
    }
    for (const auto& [key, bytes] : served_raw) {
      json_object_object_add(raws, key.c_str(),
                             json_object_new_int64(static_cast<int64_t>(bytes.size())));
    }
    for (const auto& [key, fault] : faults) {
      json_object_object_add(fault_list, key.c_str(),
                             json_object_new_string(fault.describe().c_str()));
    }
  }
  return "\"answers\":" + json_line(answers) + ",\"raw_answers\":" + json_line(raws) +
         ",\"faults\":" + json_line(fault_list);
}

void Service::Impl::stop() {
  {
    std::lock_guard guard(lock);
    if (stopping) return;
    stopping = true;
  }
  changed.notify_all();
  // Readers waiting on the journal let their workers go.
  if (journal_) journal_->close();
  if (upstream) upstream->stop();
  stop_http();
  if (datagrams) datagrams->stop();
}

Service::Service(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->journal_ = std::make_unique<Journal>(
      impl_->options.journal_entries, impl_->options.journal_bytes, impl_->options.journal_file);
  if (!impl_->options.rules.empty()) {
    std::string why;
    auto rules = Scenario::parse(impl_->options.rules, &why);
    if (!rules) throw std::runtime_error("rules: " + why);
    impl_->scenario_.add(std::move(*rules));
  }
  for (const auto& [key, text] : impl_->options.answers.texts()) {
    impl_->served.emplace(key, impl_->encode(key, text));
  }
  impl_->served_raw = impl_->options.answers.raws();
  if (!impl_->options.record_folder.empty()) {
    impl_->recorder = std::make_unique<Recorder>(impl_->options.record_folder);
  }
  if (impl_->options.upstream) {
    impl_->upstream =
        std::make_unique<Upstream>(*impl_->options.upstream, impl_->options.upstream_timeout);
  }
  try {
    impl_->datagrams = std::make_unique<DatagramSide>(impl_->options, *impl_->journal_);
    impl_->start_http();
  } catch (...) {
    impl_->stop();
    throw;
  }
}

Service::~Service() {
  impl_->stop();
}

const std::string& Service::address() const {
  return impl_->options.address;
}
uint16_t Service::http_port() const {
  return impl_->http_port;
}
uint16_t Service::udp_port() const {
  return impl_->datagrams->port();
}
const std::string& Service::control_address() const {
  return impl_->control_address;
}
uint16_t Service::control_port() const {
  return impl_->control_port;
}
const std::string& Service::control_token() const {
  return impl_->guard->token();
}

void Service::set_answer(std::string_view path, std::string_view utf8_text) {
  const std::string key = answer_key(path);
  std::string gbk = impl_->encode(key, utf8_text);
  std::lock_guard guard(impl_->lock);
  impl_->served.insert_or_assign(key, std::move(gbk));
  impl_->served_raw.erase(key);
}

void Service::set_fault(std::string_view path, const Fault& fault) {
  std::lock_guard guard(impl_->lock);
  impl_->faults.insert_or_assign(answer_key(path), fault);
}

void Service::clear_fault(std::string_view path) {
  std::lock_guard guard(impl_->lock);
  const auto it = impl_->faults.find(answer_key(path));
  if (it != impl_->faults.end()) impl_->faults.erase(it);
}

std::vector<HttpExchange> Service::take_exchanges() {
  return impl_->journal_->take_exchanges();
}

std::vector<Datagram> Service::wait_for_datagrams(std::size_t count,
                                                  std::chrono::milliseconds timeout) {
  return impl_->journal_->take_datagrams(count, timeout);
}

Counters Service::counters() const {
  Counters out;
  {
    std::lock_guard guard(impl_->lock);
    out.http_requests = impl_->http_requests;
    out.history_dropped = impl_->journal_->dropped();
  }
  if (impl_->datagrams) impl_->datagrams->count(out);
  return out;
}

void Service::stop() {
  impl_->stop();
}

JournalFigures Service::journal_figures() const {
  const Journal& journal = *impl_->journal_;
  return {journal.received(), journal.dropped(), journal.file_failures()};
}

}  // namespace kiv::standin
