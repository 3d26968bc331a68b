// Allocation-failure torture. Every export runs a representative scenario
// again and again with the N-th allocation of the run failing, for every N
// up to the run's allocation count (or every K-th with --stride K, and each
// of the last few still). Each run
// must return (the reports quietly), leave no block behind, and end with
// either a failure code of the export or the code of the undisturbed run
// together with exactly what that run filled. What a failed run filled must
// be part of what the undisturbed run filled: a prefix of the rows, the
// caller's storage untouched or as complete as a whole, only whole
// datagrams.
//
// Run with libkiv_alloc_failer.so preloaded (LD_PRELOAD); it fails the N-th
// allocation of this thread only, so the loopback service and the log sink
// on their own threads are left alone.
//
// usage: torture_runner [--stride K] [--only NAME]... [--list]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "http_server.h"
#include "kiv_logsend.h"
#include "platform.h"
#include "scenarios.h"
#include "test_system.h"
#include "udp_sink.h"
#include "zlib_util.h"

namespace {

using namespace std::chrono_literals;
using kiv::test::LoopbackHttpServer;
using kiv::test::UdpSink;
using kiv::torture::g_list_file;
using kiv::torture::g_port;
using kiv::torture::g_saved_file;
using kiv::torture::g_trace;
using kiv::torture::kAnswers;
using kiv::torture::kField;
using kiv::torture::kScenarios;
using kiv::torture::kServiceList;
using kiv::torture::Scenario;
using kiv::torture::Shape;

// ---- the interposer's controls ----------------------------------------------------

struct Failer {
  void (*arm)(unsigned long fail_at) = nullptr;
  unsigned long (*disarm)() = nullptr;
  long (*live_blocks)() = nullptr;
  unsigned long (*live_info)(unsigned long* index, void** caller, unsigned long most) = nullptr;
  void* (*failed_caller)() = nullptr;
  void (*exempt)(const char* library, const char* function) = nullptr;
};
Failer g_failer;

template <typename Fn>
bool find(Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(kiv::platform::global_symbol(name));
  return fn != nullptr;
}

bool find_failer() {
  return find(g_failer.arm, "kiv_torture_arm") && find(g_failer.disarm, "kiv_torture_disarm") &&
         find(g_failer.live_blocks, "kiv_torture_live_blocks") &&
         find(g_failer.live_info, "kiv_torture_live_info") &&
         find(g_failer.failed_caller, "kiv_torture_failed_caller") &&
         find(g_failer.exempt, "kiv_torture_exempt");
}

// The blocks a run left, with the allocations that took them, for the fault's line.
std::string left_behind(long live) {
  unsigned long indexes[4];
  void* callers[4];
  const unsigned long n = g_failer.live_info(indexes, callers, 4);
  std::string text = std::to_string(live) + " block(s) left behind:";
  for (unsigned long i = 0; i < n; ++i) {
    text += " #" + std::to_string(indexes[i]) + " from " +
            kiv::platform::code_address_name(callers[i]) + ";";
  }
  return text;
}

// ---- the world the exports talk to ----------------------------------------------------

LoopbackHttpServer* g_server = nullptr;
UdpSink* g_sink = nullptr;
std::string g_folder;  // the process's current folder, with loginurl.ini

// ---- the torture -------------------------------------------------------------------

// Named in the crash handler's line: which run was under way.
const char* volatile g_current = "";
volatile unsigned long g_fail_at = 0;

// Says, in the crash's signal handler, which run crashed.
void announce_crash(int signal_number) {
  char line[256];
  const int n =
      std::snprintf(line, sizeof line, "\ncrashed (signal %d) in %s, allocation %lu failing\n",
                    signal_number, g_current, g_fail_at);
  if (n > 0) kiv::platform::write_standard_error(line, static_cast<size_t>(n));
}

// The datagrams that have reached the sink so far, taken from it.
std::vector<std::string> take_datagrams() {
  std::vector<std::string> texts;
  for (const auto& datagram : g_sink->received()) texts.push_back(datagram.text);
  g_sink->clear();
  return texts;
}

// Waits until the sink has been quiet for a moment, and empties it.
void settle_sink() {
  for (size_t seen = g_sink->received().size();;) {
    std::this_thread::sleep_for(100ms);
    const size_t now = g_sink->received().size();
    if (now == seen) break;
    seen = now;
  }
  g_sink->clear();
}

struct Outcome {
  int32_t code = 0;
  std::vector<std::string> lines;
};

// What the run left: the datagrams, or the rows its callbacks recorded
// followed by the caller's fields.
Outcome observe(const Scenario& scenario, int32_t code) {
  Outcome outcome{code, {}};
  if (scenario.shape == Shape::kDatagrams) {
    outcome.lines = take_datagrams();
  } else {
    scenario.collect();
    outcome.lines = g_trace.lines();
  }
  return outcome;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += "    " + line + "\n";
  return out;
}

void split(const std::vector<std::string>& lines, std::vector<std::string>* rows,
           std::vector<std::string>* fields) {
  for (const auto& line : lines) (line.starts_with(kField) ? fields : rows)->push_back(line);
}

// Empty when the outcome of a disturbed run is consistent; otherwise why not.
// Complete (the undisturbed run's code): exactly the undisturbed outcome.
// Failed: a failure code, a prefix of the rows, each field untouched or as
// complete. Datagrams: each exactly the undisturbed record.
std::string inconsistency(const Scenario& scenario, const Outcome& golden, const Outcome& baseline,
                          const Outcome& got) {
  if (scenario.shape == Shape::kDatagrams) {
    for (const auto& text : got.lines) {
      if (text != golden.lines.at(0)) return "a datagram that is not the record:\n    " + text;
    }
    return {};
  }
  const bool complete = got.code == golden.code;
  if (!complete && scenario.failure_codes.count(got.code) == 0) {
    return "result " + std::to_string(got.code) + " is neither a failure code nor " +
           std::to_string(golden.code);
  }
  std::vector<std::string> rows, fields, golden_rows, golden_fields, no_rows, untouched;
  split(got.lines, &rows, &fields);
  split(golden.lines, &golden_rows, &golden_fields);
  split(baseline.lines, &no_rows, &untouched);
  const bool prefix = rows.size() <= golden_rows.size() &&
                      std::equal(rows.begin(), rows.end(), golden_rows.begin());
  if (complete ? rows != golden_rows : !prefix) {
    return "result " + std::to_string(got.code) + " with rows\n" + joined(rows) +
           "  where the undisturbed run had\n" + joined(golden_rows);
  }
  if (fields.size() != golden_fields.size() || fields.size() != untouched.size()) {
    return "fields missing";
  }
  if (complete && scenario.unread_answer_succeeds && rows.empty() && fields == untouched) return {};
  if (complete) {
    for (size_t i = 0; i < fields.size(); ++i) {
      if (fields[i] != golden_fields[i]) {
        return "result " + std::to_string(got.code) + " left " + fields[i] + " (expected " +
               golden_fields[i] + ")";
      }
    }
    return {};
  }
  // A failure leaves the caller's storage as one: all of it untouched, or
  // all of it as the undisturbed run left it, never a mix.
  if (fields != untouched && fields != golden_fields) {
    return "result " + std::to_string(got.code) + " left the storage partly written:\n" +
           joined(fields) + "  where untouched is\n" + joined(untouched) + "  and complete is\n" +
           joined(golden_fields);
  }
  return {};
}

constexpr unsigned long kDenseTail = 24;

struct Tally {
  unsigned long runs = 0;
  unsigned long allocations = 0;  // of the undisturbed run
  std::map<int32_t, unsigned long> codes;
  std::vector<std::string> faults;
};

Outcome run_once(const Scenario& scenario, unsigned long fail_at, bool armed, long* live,
                 unsigned long* calls) {
  scenario.reset();
  g_trace.clear();
  int32_t code;
  if (armed) {
    g_fail_at = fail_at;
    g_failer.arm(fail_at);
    code = scenario.run();
    *calls = g_failer.disarm();
    // A helper thread of a library (libcurl's name resolver) may still hold
    // a block of the call and free it when it ends.
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while ((*live = g_failer.live_blocks()) > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
  } else {
    code = scenario.run();
  }
  return observe(scenario, code);
}

Tally torture(const Scenario& scenario, unsigned long stride) {
  Tally tally;
  g_current = scenario.name;
  const auto fault = [&](unsigned long n, const std::string& what) {
    if (tally.faults.size() < 10) {
      const std::string site =
          n == 0 ? "" : " (" + kiv::platform::code_address_name(g_failer.failed_caller()) + ")";
      tally.faults.push_back("allocation " + std::to_string(n) + site + ": " + what);
    }
  };

  // The untouched state, then two undisturbed runs: the first sets up what
  // the process keeps for good (libcurl, the logger's sink, the report
  // channel), the second is the reference.
  scenario.reset();
  g_trace.clear();
  const Outcome baseline = scenario.shape == Shape::kCaller ? observe(scenario, 0) : Outcome{};
  long live = 0;
  unsigned long calls = 0;
  run_once(scenario, 0, false, &live, &calls);
  if (scenario.shape == Shape::kDatagrams) settle_sink();
  Outcome golden = run_once(scenario, 0, false, &live, &calls);
  if (scenario.shape == Shape::kDatagrams) {
    if (golden.lines.empty() && !g_sink->wait_for(1, 5s).empty()) golden.lines = take_datagrams();
    if (golden.lines.size() != 1) {
      fault(0, "the undisturbed report did not arrive exactly once");
      return tally;
    }
  }
  if (g_trace.overflow()) fault(0, "the trace overflowed");
  if (scenario.failure_codes.count(golden.code) != 0) {
    fault(0, "the undisturbed run failed with " + std::to_string(golden.code));
    return tally;
  }

  // Counted without a failure: the allocation count, and no block may stay.
  run_once(scenario, 0, true, &live, &calls);
  tally.allocations = calls;
  if (live != 0) fault(0, "undisturbed run: " + left_behind(live));
  if (scenario.shape == Shape::kDatagrams) settle_sink();

  // The last allocations of a run are where answers are read and handed
  // over: each of them fails in every run, whatever the stride.
  const unsigned long dense_from =
      tally.allocations > kDenseTail ? tally.allocations - kDenseTail : 1;
  for (unsigned long n = 1;; n += n + stride >= dense_from ? 1 : stride) {
    const Outcome got = run_once(scenario, n, true, &live, &calls);
    ++tally.runs;
    ++tally.codes[got.code];
    if (live != 0) fault(n, left_behind(live));
    const std::string why = inconsistency(scenario, golden, baseline, got);
    if (!why.empty()) fault(n, why);
    if (calls < n) break;  // the run ended before its n-th allocation: all done
  }
  if (scenario.shape == Shape::kDatagrams) {
    // Late datagrams are checked as well.
    std::this_thread::sleep_for(200ms);
    const Outcome late{0, take_datagrams()};
    const std::string why = inconsistency(scenario, golden, baseline, late);
    if (!why.empty()) fault(0, why);
  }
  return tally;
}

void write_settings(uint16_t sink_port) {
  const std::string text =
      "[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port=" + std::to_string(sink_port) +
      "\n";
  std::FILE* file = std::fopen("loginurl.ini", "w");
  if (file == nullptr) return;
  std::fputs(text.c_str(), file);
  std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long stride = 1;
  std::set<std::string> only;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--stride" && i + 1 < argc) {
      stride = std::max(1ul, std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--only" && i + 1 < argc) {
      only.insert(argv[++i]);
    } else if (arg == "--list") {
      list = true;
    } else {
      std::fprintf(stderr, "usage: %s [--stride K] [--only NAME]... [--list]\n", argv[0]);
      return 2;
    }
  }
  if (list) {
    for (const Scenario& scenario : kScenarios) std::printf("%s\n", scenario.name);
    return 0;
  }
  if (!find_failer()) {
    std::fprintf(stderr, "the allocation failer is not loaded: run with LD_PRELOAD=%s\n",
                 "libkiv_alloc_failer.so");
    return 2;
  }
  // Where json-c 0.16's parser does not survive a failed allocation, so that
  // failing there would only show json-c's own faults: it uses the copy of
  // an object key without testing it (a crash), and when an object's member
  // table cannot grow it drops the member silently (and leaks it), so that
  // the document comes out incomplete without any error.
  g_failer.exempt("libjson-c", nullptr);
  g_failer.exempt("libjson-c", "lh_table_new");
  kiv::platform::catch_crash_signals(announce_crash);

  kiv::test::TempDir folder;
  g_folder = folder.path();
  std::filesystem::current_path(g_folder);
  LoopbackHttpServer server;
  UdpSink sink;
  g_server = &server;
  g_sink = &sink;
  g_port = server.port();
  for (const auto& [path, text] : kAnswers) server.set_reply(path, kiv::test::json_reply(text));
  write_settings(sink.port());
  g_list_file = folder.file("services.dat");
  folder.write("services.dat", kiv::test::zlib_compress(kServiceList));
  g_saved_file = folder.file("saved.dat");

  // The libraries' traces on the standard output go to a file, and its
  // buffer is taken once for the process: now, not inside the first report
  // that prints a trace. The runner speaks on the standard error.
  if (std::freopen(folder.file("stdout.txt").c_str(), "w", stdout) == nullptr) return 2;
  std::printf("allocation-failure torture\n");
  std::fflush(stdout);
  // The report library keeps its compression state's memory from its first
  // record on: that record is sent now, not inside a counted run (where a
  // failure report may be the process's first).
  link_report(0, 0, "192.0.2.1", "warm-up", "warm-up", 0);
  settle_sink();
  int faulty = 0;
  const auto started = std::chrono::steady_clock::now();
  for (const Scenario& scenario : kScenarios) {
    if (!only.empty() && only.count(scenario.name) == 0) continue;
    const auto begun = std::chrono::steady_clock::now();
    const Tally tally = torture(scenario, stride);
    server.clear_requests();
    settle_sink();
    std::string codes;
    for (const auto& [code, count] : tally.codes) {
      codes.append(" ").append(std::to_string(code)).append("x").append(std::to_string(count));
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - begun)
                        .count();
    std::fprintf(stderr, "%-34s %5lu allocations, %5lu runs, %6lld ms, results:%s\n", scenario.name,
                 tally.allocations, tally.runs, static_cast<long long>(ms), codes.c_str());
    for (const auto& what : tally.faults) std::fprintf(stderr, "  FAULT %s\n", what.c_str());
    if (!tally.faults.empty()) ++faulty;
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
          .count();
  std::fprintf(stderr, "%d scenario(s) with faults, %lld s\n", faulty,
               static_cast<long long>(seconds));
  std::filesystem::current_path("/");
  return faulty == 0 ? 0 : 1;
}
