// The message logger: formats each call into one message and hands it to the
// caller's handler or writes it, as one line, to the default sink.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "gbk_text.h"
#include "heap.h"
#include "kiv_clientlog.h"
#include "platform.h"

namespace {

namespace platform = kiv::platform;

// Messages up to this size are formatted without touching the heap.
constexpr size_t kStackMessage = 1024;

enum class SinkMode { kUnset, kStandardError, kFile, kOff };

// All state is constant-initialised, so the logger works from any library's
// constructor and stays usable until the process ends. The MinGW-w64 mutex
// has no constant initialiser; on Windows this DLL is initialised before any
// DLL or program that uses it, so there the lock may be built at load time.
#if defined(_WIN32)
std::mutex g_lock;
#else
constinit std::mutex g_lock;
#endif
constinit kiv_message_handler g_handler = nullptr;
constinit void* g_context = nullptr;
constinit std::atomic<int> g_handler_calls{0};
constinit SinkMode g_mode = SinkMode::kUnset;
constinit platform::FileHandle g_file = platform::kInvalidFile;
constinit bool g_utf8 = false;
// Calls of a handler running on this thread; messages it logs itself go to
// the default sink instead of recursing into it.
thread_local int t_in_handler = 0;

void choose_sink_locked() {
  g_utf8 = platform::locale_is_utf8();
  const char* target = platform::environment("KIV_LOG");
  if (target == nullptr || target[0] == '\0') {
    g_mode = SinkMode::kStandardError;
  } else if (std::strcmp(target, "off") == 0) {
    g_mode = SinkMode::kOff;
  } else {
    g_file = platform::open_for_append(target);
    g_mode = g_file != platform::kInvalidFile ? SinkMode::kFile : SinkMode::kOff;
  }
}

void write_default_sink(std::string_view message) noexcept {
  try {
    std::lock_guard guard(g_lock);
    if (g_mode == SinkMode::kUnset) choose_sink_locked();
    if (g_mode == SinkMode::kOff) return;

    const platform::LocalTime now = platform::local_time_now();
    char prefix[96];
    const int n =
        std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%llu] ", now.year,
                      now.month, now.day, now.hour, now.minute, now.second, now.millisecond,
                      static_cast<unsigned long long>(platform::current_thread_id()));
    std::string line(prefix, n > 0 ? static_cast<size_t>(n) : 0);
    kiv::text::append_display_line(message, g_utf8, line);
    if (g_mode == SinkMode::kFile) {
      platform::write_file(g_file, line.data(), line.size(), nullptr);
    } else {
      platform::write_standard_error(line.data(), line.size());
    }
  } catch (...) {
    // A message that cannot be written is dropped.
  }
}

// Throws only when the lock fails or the handler throws.
void deliver(const char* message, size_t length) {
  kiv_message_handler handler = nullptr;
  void* context = nullptr;
  if (t_in_handler == 0) {
    std::lock_guard guard(g_lock);
    handler = g_handler;
    context = g_context;
    if (handler != nullptr) g_handler_calls.fetch_add(1, std::memory_order_acq_rel);
  }
  if (handler == nullptr) {
    write_default_sink(std::string_view(message, length));
    return;
  }
  // Balanced even when the handler throws, so that a later handler change
  // does not wait for ever.
  struct InHandler {
    InHandler() noexcept { ++t_in_handler; }
    ~InHandler() {
      --t_in_handler;
      g_handler_calls.fetch_sub(1, std::memory_order_acq_rel);
    }
    InHandler(const InHandler&) = delete;
    InHandler& operator=(const InHandler&) = delete;
  } in_handler;
  handler(message, context);
}

}  // namespace

extern "C" KIV_CLIENTLOG_API void kiv_show_message(const char* format, ...) {
  if (format == nullptr) return;
  const int saved_error = platform::last_error();  // logging never disturbs the caller's error

  char stack_text[kStackMessage];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(stack_text, sizeof stack_text, format, args);
  va_end(args);

  const char* text = stack_text;
  size_t length = 0;
  kiv::HeapPtr<char> long_text;
  if (needed >= 0 && static_cast<size_t>(needed) < sizeof stack_text) {
    length = static_cast<size_t>(needed);
  } else if (needed >= 0) {
    long_text = kiv::heap_allocate(static_cast<size_t>(needed) + 1);
    if (long_text != nullptr) {
      std::vsnprintf(long_text.get(), static_cast<size_t>(needed) + 1, format, again);
      text = long_text.get();
      length = static_cast<size_t>(needed);
    } else {
      // No memory for the whole message: keep what fits, without half a character.
      length = kiv::text::gbk_clean_prefix(std::string_view(stack_text, sizeof stack_text - 1),
                                           sizeof stack_text - 1);
      stack_text[length] = '\0';
    }
  }
  va_end(again);

  if (needed >= 0) {
    try {
      deliver(text, length);
    } catch (...) {
      // The lock failed or the handler threw: the message is dropped.
    }
  }
  platform::set_last_error(saved_error);
}

extern "C" KIV_CLIENTLOG_API void kiv_set_message_handler(kiv_message_handler handler,
                                                          void* context) {
  try {
    std::lock_guard guard(g_lock);
    g_handler = handler;
    g_context = context;
  } catch (...) {
    return;  // the logger's lock failed: the handler stays as it was
  }
  // Wait until no other thread is still inside a previous handler, so that a
  // caller may free what the old handler used once this returns.
  while (g_handler_calls.load(std::memory_order_acquire) > t_in_handler) {
    std::this_thread::yield();
  }
}
