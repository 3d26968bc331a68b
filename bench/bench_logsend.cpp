// Reports per second through link_report, against the least any sender has
// to do: compress the same record and send it with one sendto on a socket
// that stays open. Both run in this process against the same local port, on
// one thread and on 16 threads at once. The query library is loaded too, as
// a client has it.
//
// The settings file lies in a temporary folder that becomes the current one.
// The library's standard-output traces go to /dev/null (they are still
// formatted and written), the benchmark's own output to the original stdout.
// Messages go to a handler that drops them; the measured path logs none.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "platform.h"
#include "standard_output.h"
#include "test_system.h"

namespace {

constexpr char kRecord[] =
    "{\"act\":\"LinkService\",\"param\":{\"link_mode\":1,\"link_state\":2,"
    "\"link_service_ip\":\"203.0.113.17\",\"userType_Id\":5,"
    "\"link_service_name\":\"relay-east-07\",\"link_account\":\"player_4711\"}}";

namespace platform = kiv::platform;

// Threads of the concurrent figures.
constexpr int kThreads = 16;

// The sink's address and port, in network order.
const uint32_t kLoopback = platform::ipv4_from_text("127.0.0.1");
uint16_t g_sink_port = 0;

void BM_Baseline(benchmark::State& state) {
  const platform::Socket socket(platform::udp_socket());
  const size_t length = sizeof kRecord - 1;
  std::vector<Bytef> output(length + 13);
  for (auto _ : state) {
    uLongf size = static_cast<uLongf>(output.size());
    if (::compress(output.data(), &size, reinterpret_cast<const Bytef*>(kRecord), length) != Z_OK) {
      state.SkipWithError("compress failed");
      break;
    }
    platform::send_datagram(socket.get(), output.data(), size, kLoopback, g_sink_port);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline);

// The same stream from a deflate state set up once and reset for each
// record: compress + sendto without compress's own allocation of the state,
// the least a sender that keeps its state has to do.
void BM_KeptStateBaseline(benchmark::State& state) {
  const platform::Socket socket(platform::udp_socket());
  const size_t length = sizeof kRecord - 1;
  std::vector<Bytef> output(length + 13);
  z_stream stream{};
  if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) {
    state.SkipWithError("deflateInit failed");
    return;
  }
  for (auto _ : state) {
    deflateReset(&stream);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(kRecord));
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
      state.SkipWithError("deflate failed");
      break;
    }
    platform::send_datagram(socket.get(), output.data(), stream.total_out, kLoopback, g_sink_port);
  }
  deflateEnd(&stream);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KeptStateBaseline);
BENCHMARK(BM_Baseline)->Threads(kThreads)->UseRealTime();

void BM_LinkReport(benchmark::State& state) {
  for (auto _ : state) {
    link_report(1, 2, "203.0.113.17", "relay-east-07", "player_4711", 5);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LinkReport);
BENCHMARK(BM_LinkReport)->Threads(kThreads)->UseRealTime();

// Shows the runs and keeps each one's time per report.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // The median when the runs were repeated, else the single run.
  double time(const std::string& name) const {
    auto found = times_.find(name + "_median");
    if (found == times_.end()) found = times_.find(name);
    return found == times_.end() ? 0.0 : found->second;
  }

 private:
  std::map<std::string, double> times_;
};

void drop_message(const char*, void*) {}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);

  // A sink that is never read: the kernel drops what does not fit.
  const platform::Socket sink(platform::udp_bound_socket(kLoopback, 0, &g_sink_port));
  if (!sink) {
    std::perror("udp sink");
    return 1;
  }

  const std::string folder = platform::make_unique_folder("/tmp/bench_logsend.");
  if (folder.empty()) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path dir(folder);
  std::ofstream(dir / "loginurl.ini")
      << "[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port="
      << platform::network_to_host(g_sink_port) << "\n";
  std::filesystem::current_path(dir);
  kiv_set_message_handler(drop_message, nullptr);
  // Bound as a client binds it, with its libraries (libcurl, json-c) loaded.
  void* query_library = platform::load_library("libkiv_svcquery.so");

  std::fflush(stdout);
  std::FILE* null_file = std::fopen("/dev/null", "w");
  const int console = platform::divert_standard_output(null_file);
  std::fclose(null_file);
  std::ofstream out("/dev/fd/" + std::to_string(console), std::ios::app);

  RatioReporter reporter;
  reporter.SetOutputStream(&out);
  reporter.SetErrorStream(&out);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const double baseline = reporter.time("BM_Baseline");
  const double report = reporter.time("BM_LinkReport");
  if (baseline > 0 && report > 0) {
    out << "link_report rate / baseline rate: " << baseline / report << " (" << report / baseline
        << "x the baseline's time per record)\n";
  }
  const double kept_state = reporter.time("BM_KeptStateBaseline");
  if (kept_state > 0 && report > 0) {
    out << "link_report time / kept-state deflate + sendto time: " << report / kept_state << "\n";
  }
  // With real time per iteration over all threads, the times compare as the
  // reports per second do.
  const std::string threads = "/real_time/threads:" + std::to_string(kThreads);
  const double baseline_threads = reporter.time("BM_Baseline" + threads);
  const double report_threads = reporter.time("BM_LinkReport" + threads);
  if (baseline_threads > 0 && report_threads > 0) {
    out << kThreads << " threads: link_report reports per second / baseline's: "
        << baseline_threads / report_threads << "\n";
  }
  out.flush();
  benchmark::Shutdown();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);
  if (query_library != nullptr) platform::free_library(query_library);
  return 0;
}
