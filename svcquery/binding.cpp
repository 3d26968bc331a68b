#include "binding.h"

#include <atomic>

#include "kiv_clientlog.h"
#include "lasting.h"
#include "query_messages.h"

namespace kiv::svcquery {
namespace {

// Never destroyed: at process exit other threads may still be calling
// through it. Only detach() releases what it holds.
constinit Lasting<Bindings> g_lasting;
constinit Bindings& g_state = *g_lasting;

// Calls of the exports running now, and whether the library is being
// detached. An export counts itself in and then looks at g_detaching; detach
// sets g_detaching and then looks at the count. Both sequentially
// consistent, so either the export sees the detach and touches nothing, or
// the detach sees the call and releases nothing.
constinit std::atomic<int> g_running_calls{0};
constinit std::atomic<bool> g_detaching{false};

// Codes of the binding routines, only ever seen in the attach lines.
namespace bind_code {
constexpr int kBound = 0;
constexpr int kLibraryAbsent = 116;
constexpr int kEntryMissing = 117;
constexpr int kReportLibraryAbsent = 1;
constexpr int kBugReportMissing = 2;
constexpr int kOtherReportMissing = 3;
}  // namespace bind_code

}  // namespace

const Bindings& bindings() noexcept {
  return g_state;
}

bool json_bound() noexcept {
  const JsonApi& j = g_state.json;
  return j.tokener_parse && j.object_get && j.get_string && j.get_int && j.array_length &&
         j.get_double && j.get_boolean && j.array_get_idx && j.put;
}

bool compress_bound() noexcept {
  return g_state.zlib.compress != nullptr;
}
bool uncompress_bound() noexcept {
  return g_state.zlib.uncompress != nullptr;
}
bool failure_hook_bound() noexcept {
  return g_state.report.bug_report != nullptr;
}

int bind_json_library(Bindings& state) noexcept {
  state.json_library = platform::Library(platform::kJsonLibraryFile);
  if (!state.json_library) return bind_code::kLibraryAbsent;
  const platform::Library& lib = state.json_library;
  JsonApi& j = state.json;
  // Stops at the first missing name: the ones after it stay unbound.
  const bool all = lib.bind("json_tokener_parse", j.tokener_parse) &&
                   lib.bind("json_object_object_get", j.object_get) &&
                   lib.bind("json_object_get_string", j.get_string) &&
                   lib.bind("json_object_get_int", j.get_int) &&
                   lib.bind("json_object_array_length", j.array_length) &&
                   lib.bind("json_object_get_array", j.get_array) &&
                   lib.bind("json_object_get_double", j.get_double) &&
                   lib.bind("json_object_get_boolean", j.get_boolean) &&
                   lib.bind("json_object_array_get_idx", j.array_get_idx) &&
                   lib.bind("json_object_put", j.put);
  if (!all) return bind_code::kEntryMissing;
  // Optional: its absence changes neither the code nor the ten above.
  lib.bind("json_object_get_type", j.get_type);
  return bind_code::kBound;
}

int bind_zlib_library(Bindings& state) noexcept {
  state.zlib_library = platform::Library(platform::kZlibLibraryFile);
  if (!state.zlib_library) return bind_code::kLibraryAbsent;
  const platform::Library& lib = state.zlib_library;
  const bool all =
      lib.bind("compress", state.zlib.compress) && lib.bind("uncompress", state.zlib.uncompress);
  return all ? bind_code::kBound : bind_code::kEntryMissing;
}

int bind_report_library(Bindings& state) noexcept {
  state.report_library =
      platform::Library::adopt(platform::load_library_beside_module(platform::kReportLibraryFile));
  if (!state.report_library) return bind_code::kReportLibraryAbsent;
  const platform::Library& lib = state.report_library;
  if (!lib.bind("bug_report", state.report.bug_report)) return bind_code::kBugReportMissing;
  if (!lib.bind("link_report", state.report.link_report) ||
      !lib.bind("login_state_report", state.report.login_state_report)) {
    return bind_code::kOtherReportMissing;
  }
  return bind_code::kBound;
}

void attach() noexcept {
  g_detaching.store(false);
  const int json = bind_json_library(g_state);
  if (json == bind_code::kBound) {
    kiv_show_message("Success: Load kiv_json.dll");
  } else {
    kiv_show_message(msg::kLoadJsonFailed, json);
  }

  const int zlib = bind_zlib_library(g_state);
  if (zlib == bind_code::kBound) {
    kiv_show_message("Success: Load zlib1.dll");
  } else {
    kiv_show_message(msg::kLoadZlibFailed, zlib);
  }

  // Bound last, so that the two failures above are only logged.
  const int report = bind_report_library(g_state);
  if (report != bind_code::kBound) {
    kiv_show_message("Error: Failed to load log dll(kiv_logsend.dll, in kiv_dial.dll) ret = %d\n",
                     report);
  }
}

ExportCall::ExportCall() noexcept {
  g_running_calls.fetch_add(1);
  admitted_ = !g_detaching.load();
}

ExportCall::~ExportCall() {
  g_running_calls.fetch_sub(1, std::memory_order_release);
}

void detach() noexcept {
  g_detaching.store(true);
  // A process that exits while other threads are inside the exports runs
  // this with those calls still going: the bindings stay as they are, and
  // the system takes the libraries back with the process.
  if (g_running_calls.load() != 0) return;
  // Nothing may call through a pointer into a released library.
  g_state.json = {};
  g_state.zlib = {};
  g_state.report = {};
  g_state.json_library.reset();
  g_state.zlib_library.reset();
  g_state.report_library.reset();
}

}  // namespace kiv::svcquery
