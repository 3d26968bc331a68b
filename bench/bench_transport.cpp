// One loopback round trip through http_access_protocol1 against a bare
// libcurl + zlib client doing the same exchange (fresh transfer handle, same
// options, same compression and decompression), both against one in-process
// server. Prints the median time ratio ours/baseline for a small answer and a
// 20 KB answer: from separate repeated runs, and from paired runs where both
// sides take turns in every iteration (the steadier figure on a busy machine).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "codec.h"
#include "kiv_clientlog.h"
#include "kiv_svcquery.h"

namespace {

using kiv::codec::zlib_compress;

constexpr size_t kAnswerCapacity = 64 * 1024;
constexpr int kRepetitions = 12;
constexpr double kMinSeconds = 0.25;

// A short JSON answer, as most queries get.
std::string small_answer() {
  return R"({"err":1,"VPNIP":"10.20.30.40","LocalOutIP":"203.0.113.7","VPNPort":1723,)"
         R"("msg":"ok","ut":"2026-01-01 00:00:00"})";
}

// About 20 KB on the wire: text that zlib can barely shrink.
std::string large_answer() {
  std::mt19937 random(12345);
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text = R"({"err":1,"data":")";
  while (text.size() < 26 * 1024) text.push_back(kAlphabet[random() % 64]);
  text += R"("})";
  return text;
}

const std::string kRequest =
    R"({"user":"bench-user","password":"0123456789abcdef","mac":"00-11-22-33-44-55",)"
    R"("version":"3.1.0.1","client":"bench"})";

class Server {
 public:
  Server() {
    bodies_["small"] = zlib_compress(small_answer());
    bodies_["large"] = zlib_compress(large_answer());
    server_.Post(R"(/(small|large))",
                 [this](const httplib::Request& request, httplib::Response& response) {
                   response.set_content(bodies_.at(request.matches[1]), "text/xml");
                 });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind the loopback server");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Server() {
    server_.stop();
    thread_.join();
  }
  uint32_t port() const { return static_cast<uint32_t>(port_); }
  size_t body_size(const std::string& path) const { return bodies_.at(path).size(); }

 private:
  std::map<std::string, std::string> bodies_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

Server* g_server = nullptr;

const char* path_of(const benchmark::State& state) {
  return state.range(0) == 0 ? "small" : "large";
}

bool ours_exchange(const char* path, std::vector<char>& answer) {
  uint32_t size = static_cast<uint32_t>(answer.size());
  const int32_t rc =
      http_access_protocol1("127.0.0.1", path, g_server->port(), "bench", kRequest.c_str(),
                            static_cast<int32_t>(kRequest.size()), answer.data(), &size);
  benchmark::DoNotOptimize(size);
  return rc == 0;
}

void BM_Protocol1(benchmark::State& state) {
  std::vector<char> answer(kAnswerCapacity);
  const char* path = path_of(state);
  for (auto _ : state) {
    if (!ours_exchange(path, answer)) {
      state.SkipWithError("http_access_protocol1 failed");
      break;
    }
  }
  state.counters["body_bytes"] = static_cast<double>(g_server->body_size(path));
}

// ---- the baseline: the same exchange written directly on libcurl and zlib ----

size_t append_body(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

int baseline_exchange(const std::string& url, const std::string& request, char* answer,
                      uLongf* answer_size) {
  uLongf packed_size = compressBound(request.size());
  std::vector<Bytef> packed(packed_size);
  if (compress(packed.data(), &packed_size, reinterpret_cast<const Bytef*>(request.data()),
               request.size()) != Z_OK) {
    return 1;
  }
  CURL* transfer = curl_easy_init();
  if (transfer == nullptr) return 2;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml");
  char error_text[CURL_ERROR_SIZE] = {};
  std::string body;
  curl_easy_setopt(transfer, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(transfer, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(transfer, CURLOPT_TIMEOUT, 2L);
  curl_easy_setopt(transfer, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(transfer, CURLOPT_URL, url.c_str());
  curl_easy_setopt(transfer, CURLOPT_POSTFIELDS, packed.data());
  curl_easy_setopt(transfer, CURLOPT_POSTFIELDSIZE, static_cast<long>(packed_size));
  curl_easy_setopt(transfer, CURLOPT_WRITEFUNCTION, &append_body);
  curl_easy_setopt(transfer, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(transfer, CURLOPT_POST, 1L);
  curl_easy_setopt(transfer, CURLOPT_FOLLOWLOCATION, 1L);
  int rc = 0;
  long status = 0;
  if (curl_easy_perform(transfer) != CURLE_OK) {
    rc = 3;
  } else if (curl_easy_getinfo(transfer, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
             status != 200) {
    rc = 4;
  }
  curl_easy_cleanup(transfer);
  curl_slist_free_all(headers);
  if (rc != 0) return rc;
  if (uncompress(reinterpret_cast<Bytef*>(answer), answer_size,
                 reinterpret_cast<const Bytef*>(body.data()), body.size()) != Z_OK) {
    return 5;
  }
  return 0;
}

bool baseline_round_trip(const char* path, std::vector<char>& answer) {
  uLongf size = answer.size();
  // Built per request, as the library does.
  const std::string url = "http://127.0.0.1:" + std::to_string(g_server->port()) + "/" + path;
  const bool done = baseline_exchange(url, kRequest, answer.data(), &size) == 0;
  benchmark::DoNotOptimize(size);
  return done;
}

void BM_Baseline(benchmark::State& state) {
  std::vector<char> answer(kAnswerCapacity);
  const char* path = path_of(state);
  for (auto _ : state) {
    if (!baseline_round_trip(path, answer)) {
      state.SkipWithError("baseline exchange failed");
      break;
    }
  }
  state.counters["body_bytes"] = static_cast<double>(g_server->body_size(path));
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Both sides in every iteration, alternating which goes first, each timed on
// its own: the median ratio is then immune to load that comes and goes.
void BM_Paired(benchmark::State& state) {
  std::vector<char> answer(kAnswerCapacity);
  const char* path = path_of(state);
  std::vector<double> ours;
  std::vector<double> base;
  bool ours_first = true;
  using Clock = std::chrono::steady_clock;
  const auto timed = [&](bool (*exchange)(const char*, std::vector<char>&),
                         std::vector<double>& into) {
    const auto start = Clock::now();
    const bool done = exchange(path, answer);
    into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return done;
  };
  for (auto _ : state) {
    const bool done = ours_first ? timed(ours_exchange, ours) && timed(baseline_round_trip, base)
                                 : timed(baseline_round_trip, base) && timed(ours_exchange, ours);
    if (!done) {
      state.SkipWithError("an exchange failed");
      break;
    }
    ours_first = !ours_first;
  }
  const double ours_median = median(ours);
  const double base_median = median(base);
  state.counters["ours_us"] = ours_median;
  state.counters["baseline_us"] = base_median;
  state.counters["ratio"] = base_median > 0 ? ours_median / base_median : 0;
}

BENCHMARK(BM_Protocol1)
    ->ArgName("large")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->MinTime(kMinSeconds)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Baseline)
    ->ArgName("large")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->MinTime(kMinSeconds)
    ->Repetitions(kRepetitions);

BENCHMARK(BM_Paired)->ArgName("large")->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);

// Prints as usual and keeps each benchmark's median real time.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Plain columns: the output usually ends up in a log.
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
          !run.error_occurred) {
        medians_[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedRealTime();
      }
      if (run.run_name.function_name == "BM_Paired" && !run.error_occurred) {
        const auto ratio = run.counters.find("ratio");
        if (ratio != run.counters.end()) paired_[run.run_name.args] = ratio->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void print_ratio(const char* label, const std::string& args) {
    std::ostream& out = GetOutputStream();
    char line[160];
    const auto ours = medians_.find("BM_Protocol1/" + args);
    const auto base = medians_.find("BM_Baseline/" + args);
    if (ours != medians_.end() && base != medians_.end() && base->second > 0) {
      std::snprintf(line, sizeof line,
                    "median ratio ours/baseline, %s, separate runs: %.3f (ours %.1f us, "
                    "baseline %.1f us)\n",
                    label, ours->second / base->second, ours->second / 1000.0,
                    base->second / 1000.0);
      out << line;
    }
    const auto paired = paired_.find(args);
    if (paired != paired_.end()) {
      std::snprintf(line, sizeof line, "median ratio ours/baseline, %s, paired: %.3f\n", label,
                    paired->second);
      out << line;
    }
    out.flush();
  }

 private:
  std::map<std::string, double> medians_;
  std::map<std::string, double> paired_;
};

void silent(const char*, void*) {}

}  // namespace

int main(int argc, char** argv) {
  // Neither side logs while it is measured.
  kiv_set_message_handler(&silent, nullptr);
  curl_global_init(CURL_GLOBAL_ALL);

  // Alternate the benchmarks' repetitions so that drift on a shared machine
  // hits both sides alike (an explicit flag on the command line wins).
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  Server server;
  g_server = &server;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratio("small answer", "large:0");
  reporter.print_ratio("20 KB answer", "large:1");
  benchmark::Shutdown();
  g_server = nullptr;
  return 0;
}
