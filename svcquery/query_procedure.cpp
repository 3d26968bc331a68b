#include "query_procedure.h"

#include <cstdio>
#include <cstring>

#include "binding.h"
#include "export_guard.h"
#include "failure_report.h"
#include "heap.h"
#include "json_access.h"
#include "kiv_clientlog.h"
#include "kiv_svcquery.h"
#include "platform.h"
#include "query_messages.h"
#include "report_numbers.h"

namespace kiv::svcquery::query {
namespace {

bool head_present(const Head& head) noexcept {
  return head.host != nullptr && head.url != nullptr && head.protocol != nullptr &&
         head.request_data != nullptr;
}

// May throw only what a caller's callback throws; run() stops it.
int32_t run_steps(const Table& table, const Head& head, bool outputs_present, Fill fill,
                  OnAnswer on_answer) {
  if (!head_present(head) || !outputs_present) {
    log_line(table, table.lines.param);
    if (table.report_name != nullptr) report::missing_argument(table.func_id, table.report_name);
    return KIV_E_MISSING_ARGUMENT;
  }
  // Never ask the service a question whose answer could not be read.
  if (!json_bound()) {
    kiv_show_message("ERROR: JSON library not bound, in %s()", table.name);
    return table.json_unbound.value_or(table.parse_failure);
  }

  // Not cleared: the transport writes the answer, which is ended below; one
  // byte beyond the capacity holds the end of an answer that fills it.
  HeapPtr<char> answer = heap_allocate<char>(std::size_t{table.answer_size} + 1);
  if (!answer) return out_of_memory(table);

  uint32_t capacity = table.answer_size;
  int32_t code =
      http_access_protocol1(head.host, head.url, head.port, head.protocol, head.request_data,
                            head.request_size, answer.get(), &capacity);
  if (code == KIV_OK) answer.get()[capacity] = '\0';
  if (table.transport_override != 0 && code == KIV_OK && answer.get()[0] == '\0') {
    code = table.transport_override;
  }
  if (code != KIV_OK) {
    log_line(table, table.lines.transport);
    return table.transport_override != 0 ? table.transport_override : code;
  }
  if (on_answer) on_answer();

  const json::Document document = json::Document::parse(answer.get());
  if (!document) {
    if (table.stdout_trace) stdout_line(msg::kParseFailed);
    log_line(table, table.lines.parse);
    return table.parse_failure;
  }
  const int32_t err = table.reads_err ? json::int_member(document.root(), "err") : 0;
  if (table.reads_err && err == 0) {
    if (table.stdout_trace) stdout_line(table.lines.refusal.format, table.name);
    log_line(table, table.lines.refusal, err);
  }
  return fill(document.root(), err);
}

}  // namespace

int32_t run(const Table& table, const Head& head, bool outputs_present, Fill fill,
            OnAnswer on_answer) noexcept {
  log_line(table, table.lines.entry);
  const int32_t result = guarded(table.name, KIV_E_NO_MEMORY, [&] {
    return run_steps(table, head, outputs_present, fill, on_answer);
  });
  log_line(table, table.lines.exit);
  return result;
}

void log_line(const Table& table, const Line& line, int32_t err) noexcept {
  if (line.format == nullptr) return;
  switch (line.arg) {
    case Arg::kNone:
      kiv_show_message("%s", line.format);  // a line without conversions is its own text
      break;
    case Arg::kName:
      kiv_show_message(line.format, table.name);
      break;
    case Arg::kPosition:
      kiv_show_message(line.format, line.position, kSourceName, table.name);
      break;
    case Arg::kErr:
      kiv_show_message(line.format, err);
      break;
  }
}

void TextCopier::operator()(char* out, const char* member, std::size_t size) noexcept {
  const char* text = nullptr;
  if (count_ == staged_.size() || !json::member_text(root_, member, &text)) {
    failed_ = true;
    return;
  }
  staged_[count_++] = {out, size != 0 ? size : std::size_t{table_.answer_size}, text};
}

int32_t TextCopier::fail() const noexcept {
  return out_of_memory(table_);
}

void TextCopier::write_texts() const noexcept {
  for (std::size_t i = 0; i < count_; ++i) {
    json::copy_bounded(staged_[i].out, staged_[i].size, staged_[i].text);
  }
}

int32_t out_of_memory(const Table& table) noexcept {
  const int error = platform::last_error();
  log_line(table, table.lines.alloc);
  platform::set_last_error(error);  // the report carries the allocator's error
  report::system_call_failed(table.func_id, "malloc");
  return KIV_E_NO_MEMORY;
}

void stdout_line(const char* format, const char* name) noexcept {
  if (format == nullptr) return;
  if (name == nullptr) {
    std::fputs(format, stdout);
  } else {
    std::printf(format, name);
  }
  std::fflush(stdout);
}

}  // namespace kiv::svcquery::query
