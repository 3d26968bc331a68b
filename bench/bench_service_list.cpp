// get_data_from_file on a realistic cached service list (100 servers with
// three addresses each, close to the 30,720-byte text bound) against a
// baseline that reads, inflates and walks the same file with zlib and json-c
// directly and hands the same rows to the same callbacks.
#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "kiv_clientlog.h"
#include "kiv_svcquery.h"
#include "test_process.h"

namespace {

constexpr std::size_t kTextCapacity = 30720;

std::string make_list_text(int servers) {
  std::string text = "{\"err\":1,\"server\":[";
  char element[1024];
  for (int s = 0; s < servers; ++s) {
    std::string addresses;
    for (int a = 0; a < 3; ++a) {
      std::snprintf(element, sizeof element, "%s{\"ip\":\"10.%d.%d.%d\",\"net\":%d,\"id\":%d}",
                    a == 0 ? "" : ",", s / 200, s % 200, a + 1, a + 1, s * 3 + a);
      addresses += element;
    }
    std::snprintf(element, sizeof element,
                  "%s{\"payId\":%d,\"product\":2,\"id\":%d,\"area\":%d,\"charge\":%s,"
                  "\"serverip\":[%s],\"paramValue2\":%d,\"maxOnline\":500,"
                  "\"serverName\":\"Relay %03d\",\"serverType\":\"vip\",\"paramValue1\":1.5,"
                  "\"userablePer\":0.%d,\"msg\":\"ok\"}",
                  s == 0 ? "" : ",", s % 4, 1000 + s, s % 9, s % 2 ? "true" : "false",
                  addresses.c_str(), s, s, s % 10);
    text += element;
  }
  text += "]}";
  return text;
}

std::vector<unsigned char> compress_text(const std::string& text) {
  uLongf size = compressBound(text.size());
  std::vector<unsigned char> out(size);
  if (compress(out.data(), &size, reinterpret_cast<const Bytef*>(text.data()), text.size()) !=
      Z_OK) {
    std::abort();
  }
  out.resize(size);
  return out;
}

struct Sink {
  int64_t rows = 0;
  int64_t sum = 0;
};

void on_server(int32_t count, char** names, void** values, void* context) {
  auto* sink = static_cast<Sink*>(context);
  sink->rows += count + names[0][0];
  sink->sum += *static_cast<int32_t*>(values[2]);
}

int64_t g_address_sum = 0;

void on_address(int32_t, char**, void** values, void* slot) {
  g_address_sum += *static_cast<int32_t*>(values[3]);
  *static_cast<void**>(slot) = values[0];
}

std::string g_file;

void BM_get_data_from_file(benchmark::State& state) {
  Sink sink;
  for (auto _ : state) {
    int32_t err = 0;
    const int32_t code = get_data_from_file(g_file.c_str(), on_server, on_address, &sink, &err);
    if (code != 0 || err != 1) state.SkipWithError("get_data_from_file failed");
  }
  benchmark::DoNotOptimize(sink.sum);
  benchmark::DoNotOptimize(g_address_sum);
}

// What a hand-written reader does with the same file: one read, one inflate,
// one parse, the same members read per element and the same callbacks.
void read_directly(const char* file_name, Sink* sink) {
  std::vector<unsigned char> packed(std::filesystem::file_size(file_name));
  std::FILE* in = std::fopen(file_name, "rb");
  if (in == nullptr || std::fread(packed.data(), 1, packed.size(), in) != packed.size()) {
    std::abort();
  }
  std::fclose(in);
  std::vector<char> text(kTextCapacity + 1, '\0');
  uLongf text_size = kTextCapacity;
  if (uncompress(reinterpret_cast<Bytef*>(text.data()), &text_size, packed.data(), packed.size()) !=
      Z_OK) {
    std::abort();
  }
  json_object* root = json_tokener_parse(text.data());
  if (json_object_get_int(json_object_object_get(root, "err")) == 0) std::abort();

  int32_t ints[7] = {};
  float floats[2] = {};
  char userbw[64] = "", name[64] = "", type[17] = "", msg[128] = "", ip[17] = "";
  int32_t address_ints[3] = {};
  char server_names[14][16];
  char* names[14];
  void* values[14];
  static const char* const kNames[14] = {"payId",       "product",    "serverId",   "area",
                                         "charge",      "serverIp",   "userbw",     "paramValue2",
                                         "maxOnline",   "serverName", "serverType", "paramValue1",
                                         "userablePer", "msg"};
  auto copy = [](char* out, std::size_t size, json_object* value) {
    const char* s = value ? json_object_get_string(value) : "";
    std::size_t n = std::strlen(s);
    if (n > size - 1) n = size - 1;
    std::memcpy(out, s, n);
    out[n] = '\0';
  };
  auto get_int = [](json_object* object, const char* key, int32_t* out) {
    if (json_object* value = json_object_object_get(object, key)) *out = json_object_get_int(value);
  };

  json_object* servers = json_object_object_get(root, "server");
  const std::size_t count = json_object_array_length(servers);
  for (std::size_t i = 0; i < count; ++i) {
    json_object* server = json_object_array_get_idx(servers, i);
    if (server == nullptr) continue;
    get_int(server, "payId", &ints[0]);
    get_int(server, "product", &ints[1]);
    get_int(server, "id", &ints[2]);
    get_int(server, "area", &ints[3]);
    if (json_object* v = json_object_object_get(server, "charge")) {
      ints[4] = json_object_get_boolean(v);
    }
    void* slot = nullptr;
    json_object* addresses = json_object_object_get(server, "serverip");
    const std::size_t address_count = addresses ? json_object_array_length(addresses) : 0;
    for (std::size_t a = 0; a < address_count; ++a) {
      json_object* address = json_object_array_get_idx(addresses, a);
      if (address == nullptr) continue;
      get_int(address, "IPv6", &address_ints[1]);
      get_int(address, "net", &address_ints[0]);
      copy(ip, sizeof ip, json_object_object_get(address, "ip"));
      address_ints[2] = 0;
      get_int(address, "id", &address_ints[2]);
      char address_names[4][8] = {"ip", "net", "IPv6", "id"};
      char* an[4] = {address_names[0], address_names[1], address_names[2], address_names[3]};
      void* av[4] = {ip, &address_ints[0], &address_ints[1], &address_ints[2]};
      on_address(4, an, av, &slot);
    }
    copy(userbw, sizeof userbw, json_object_object_get(server, "userbw"));
    get_int(server, "paramValue2", &ints[5]);
    get_int(server, "maxOnline", &ints[6]);
    copy(name, sizeof name, json_object_object_get(server, "serverName"));
    copy(type, sizeof type, json_object_object_get(server, "serverType"));
    if (json_object* v = json_object_object_get(server, "paramValue1")) {
      floats[0] = static_cast<float>(json_object_get_double(v));
    }
    if (json_object* v = json_object_object_get(server, "userablePer")) {
      floats[1] = static_cast<float>(json_object_get_double(v));
    }
    copy(msg, sizeof msg, json_object_object_get(server, "msg"));
    for (int f = 0; f < 14; ++f) {
      std::strcpy(server_names[f], kNames[f]);
      names[f] = server_names[f];
    }
    void* server_values[14] = {&ints[0], &ints[1],   &ints[2],   &ints[3], &ints[4],
                               slot,     userbw,     &ints[5],   &ints[6], name,
                               type,     &floats[0], &floats[1], msg};
    std::memcpy(values, server_values, sizeof values);
    on_server(14, names, values, sink);
  }
  json_object_put(root);
}

void BM_direct_baseline(benchmark::State& state) {
  Sink sink;
  for (auto _ : state) read_directly(g_file.c_str(), &sink);
  benchmark::DoNotOptimize(sink.sum);
}

BENCHMARK(BM_get_data_from_file);
BENCHMARK(BM_direct_baseline);

// Keeps each benchmark's CPU time per iteration (the median when the runs
// are repeated) so that the ratio can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        times[name] = run.GetAdjustedCPUTime();
        medians[name] = true;
      } else if (run.run_type == Run::RT_Iteration && !medians[name]) {
        times[name] = run.GetAdjustedCPUTime();
      }
    }
  }
  std::map<std::string, double> times;
  std::map<std::string, bool> medians;
};

void discard_message(const char*, void*) {}

}  // namespace

int main(int argc, char** argv) {
  kiv_set_message_handler(discard_message, nullptr);

  const std::string text = make_list_text(100);
  if (text.size() > kTextCapacity) {
    std::fprintf(stderr, "list text of %zu bytes exceeds the bound\n", text.size());
    return 1;
  }
  const std::vector<unsigned char> packed = compress_text(text);
  g_file =
      (std::filesystem::temp_directory_path() /
       ("kiv_bench_service_list_" + std::to_string(kiv::platform::current_process_id()) + ".dat"))
          .string();
  {
    std::ofstream out(g_file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(packed.data()),
              static_cast<std::streamsize>(packed.size()));
  }
  std::printf("service list: %zu bytes of text, %zu bytes in the file\n", text.size(),
              packed.size());

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove(g_file);

  const auto ours = reporter.times.find("BM_get_data_from_file");
  const auto base = reporter.times.find("BM_direct_baseline");
  if (ours != reporter.times.end() && base != reporter.times.end() && base->second > 0) {
    std::printf("get_data_from_file / direct json-c baseline: %.2f\n", ours->second / base->second);
  }
  return 0;
}
