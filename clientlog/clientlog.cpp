// The message logger: formats each call into one message and hands it to the
// caller's handler or writes it, as one line, to the default sink.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
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
std::mutex g_setter_lock;
std::mutex g_sink_lock;
#else
constinit std::mutex g_lock;
constinit std::mutex g_setter_lock;
constinit std::mutex g_sink_lock;
#endif
// The handler and its context, and which handler each running call started
// with: a change of handler moves the calls of the one replaced from
// g_current_calls to g_replaced_calls, so that a setter waits only for calls
// of handlers set before it, however busy the new one is. All under g_lock;
// g_replaced_calls is also read without it while a setter waits.
constinit kiv_message_handler g_handler = nullptr;
constinit void* g_context = nullptr;
constinit uint64_t g_generation = 0;
constinit int g_current_calls = 0;
constinit std::atomic<int> g_replaced_calls{0};
// The default sink: chosen once under g_sink_lock, which also keeps each
// line's write whole. g_lock is never held while the sink is written, so a
// stalled sink holds up only the threads writing to it, never a handler.
constinit std::atomic<SinkMode> g_mode{SinkMode::kUnset};
constinit platform::FileHandle g_file = platform::kInvalidFile;
constinit bool g_utf8 = false;
// Calls of a handler running on this thread; messages it logs itself go to
// the default sink instead of recursing into it.
thread_local int t_in_handler = 0;

// The message as one line of the default sink: local time, thread, text.
std::string sink_line(std::string_view message) {
  const platform::LocalTime now = platform::local_time_now();
  char prefix[96];
  const int n =
      std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%llu] ", now.year,
                    now.month, now.day, now.hour, now.minute, now.second, now.millisecond,
                    static_cast<unsigned long long>(platform::current_thread_id()));
  std::string line(prefix, n > 0 ? static_cast<size_t>(n) : 0);
  kiv::text::append_display_line(message, g_utf8, line);
  return line;
}

// Under g_sink_lock. KIV_LOG may name only something that takes lines at
// once: a file, or a character device such as a terminal. Anything else (a
// FIFO would block the opening thread until a reader comes) is refused with
// one line, and standard error is used.
SinkMode choose_sink_locked() {
  g_utf8 = platform::locale_is_utf8();
  const char* target = platform::environment("KIV_LOG");
  if (target == nullptr || target[0] == '\0') return SinkMode::kStandardError;
  if (std::strcmp(target, "off") == 0) return SinkMode::kOff;
  bool refused = false;
  g_file = platform::open_for_append(target, &refused);
  if (g_file != platform::kInvalidFile) return SinkMode::kFile;
  if (!refused) return SinkMode::kOff;  // a file that cannot be opened drops the lines
  try {
    const std::string line = sink_line(
        "KIV_LOG names neither a file nor a character device; the messages go to standard error");
    platform::write_standard_error(line.data(), line.size());
  } catch (...) {
  }
  return SinkMode::kStandardError;
}

SinkMode sink_mode() {
  SinkMode mode = g_mode.load(std::memory_order_acquire);
  if (mode != SinkMode::kUnset) return mode;
  std::lock_guard guard(g_sink_lock);
  mode = g_mode.load(std::memory_order_relaxed);
  if (mode == SinkMode::kUnset) {
    mode = choose_sink_locked();
    g_mode.store(mode, std::memory_order_release);
  }
  return mode;
}

void write_default_sink(std::string_view message) noexcept {
  try {
    const SinkMode mode = sink_mode();
    if (mode == SinkMode::kOff) return;
    const std::string line = sink_line(message);
    std::lock_guard guard(g_sink_lock);
    if (mode == SinkMode::kFile) {
      platform::write_file(g_file, line.data(), line.size(), nullptr);
    } else {
      platform::write_standard_error(line.data(), line.size());
    }
  } catch (...) {
    // A message that cannot be written is dropped.
  }
}

// One call of the handler, counted against the handler it started with.
class HandlerCall {
 public:
  explicit HandlerCall(uint64_t generation) noexcept : generation_(generation) { ++t_in_handler; }
  // Balanced even when the handler throws, so that a later handler change
  // does not wait for ever.
  ~HandlerCall() {
    --t_in_handler;
    try {
      std::lock_guard guard(g_lock);
      if (generation_ == g_generation) {
        --g_current_calls;
      } else {
        g_replaced_calls.fetch_sub(1, std::memory_order_acq_rel);
      }
    } catch (...) {
      // Taking a lock that was taken before does not fail.
    }
  }
  HandlerCall(const HandlerCall&) = delete;
  HandlerCall& operator=(const HandlerCall&) = delete;

 private:
  uint64_t generation_;
};

// Throws only when the lock fails or the handler throws. No lock is held
// while the handler runs, so it may call anything, this logger included.
void deliver(const char* message, size_t length) {
  kiv_message_handler handler = nullptr;
  void* context = nullptr;
  uint64_t generation = 0;
  if (t_in_handler == 0) {
    std::lock_guard guard(g_lock);
    handler = g_handler;
    context = g_context;
    generation = g_generation;
    if (handler != nullptr) ++g_current_calls;
  }
  if (handler == nullptr) {
    write_default_sink(std::string_view(message, length));
    return;
  }
  const HandlerCall call(generation);
  handler(message, context);
}

// Sets the handler; false when the logger's lock failed.
bool install(kiv_message_handler handler, void* context) noexcept {
  try {
    std::lock_guard guard(g_lock);
    g_handler = handler;
    g_context = context;
    ++g_generation;
    g_replaced_calls.fetch_add(g_current_calls, std::memory_order_acq_rel);
    g_current_calls = 0;
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

extern "C" KIV_CLIENTLOG_API void kiv_show_message(const char* format, ...) {
  if (format == nullptr) return;
  const int saved_error = platform::last_error();  // logging never disturbs the caller's error

  // One byte more than a message on the stack may have: when no memory is
  // left for a longer one, the byte after the cut shows whether the cut
  // splits a character.
  char stack_text[kStackMessage + 1];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(stack_text, sizeof stack_text, format, args);
  va_end(args);

  const char* text = stack_text;
  size_t length = 0;
  kiv::HeapPtr<char> long_text;
  if (needed >= 0 && static_cast<size_t>(needed) < kStackMessage) {
    length = static_cast<size_t>(needed);
  } else if (needed >= 0) {
    long_text = kiv::heap_allocate(static_cast<size_t>(needed) + 1);
    if (long_text != nullptr) {
      std::vsnprintf(long_text.get(), static_cast<size_t>(needed) + 1, format, again);
      text = long_text.get();
      length = static_cast<size_t>(needed);
    } else {
      // No memory for the whole message: keep what fits, without half a character.
      length = kiv::text::gbk_clean_prefix(std::string_view(stack_text, kStackMessage),
                                           kStackMessage - 1);
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
  // From inside a handler nothing is waited for: two handlers that each
  // waited for the other would never return.
  if (t_in_handler > 0) {
    install(handler, context);
    return;
  }
  // Setters one at a time: each waits for the handlers set before it, and no
  // later change can keep refilling what it waits for. Should the lock fail,
  // the handler is still set and waited for.
  std::unique_lock setter(g_setter_lock, std::defer_lock);
  try {
    setter.lock();
  } catch (...) {
  }
  if (!install(handler, context)) return;  // the handler stays as it was
  // Wait until no other thread is still inside a replaced handler, so that a
  // caller may free what the old handler used once this returns.
  for (int round = 0; g_replaced_calls.load(std::memory_order_acquire) > 0; ++round) {
    if (round < 100) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}
