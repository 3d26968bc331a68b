// Allocation-failure torture. Every export runs a representative scenario
// again and again with the N-th allocation of the run failing, for every N
// up to the run's allocation count (or every K-th with --stride K, and each
// of the last few still). Each run
// must return (the reports quietly), leave no block behind, and end with
// either a failure code of the export or the code of the undisturbed run
// together with exactly what that run filled. What a failed run filled must
// be part of what the undisturbed run filled: untouched fields, a prefix of
// the rows, only whole datagrams.
//
// Run with libkiv_alloc_failer.so preloaded (LD_PRELOAD); it fails the N-th
// allocation of this thread only, so the loopback service and the log sink
// on their own threads are left alone.
//
// usage: torture_runner [--stride K] [--only NAME]... [--list]
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "child_process.h"
#include "http_server.h"
#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"
#include "udp_sink.h"
#include "zlib_util.h"

namespace {

using namespace std::chrono_literals;
using kiv::test::LoopbackHttpServer;
using kiv::test::UdpSink;

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
  fn = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
  return fn != nullptr;
}

bool find_failer() {
  return find(g_failer.arm, "kiv_torture_arm") && find(g_failer.disarm, "kiv_torture_disarm") &&
         find(g_failer.live_blocks, "kiv_torture_live_blocks") &&
         find(g_failer.live_info, "kiv_torture_live_info") &&
         find(g_failer.failed_caller, "kiv_torture_failed_caller") &&
         find(g_failer.exempt, "kiv_torture_exempt");
}

// "function (library)" for a code address, as far as the dynamic symbols tell.
std::string where(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0) return "?";
  std::string text = info.dli_sname != nullptr ? info.dli_sname : "?";
  if (info.dli_fname != nullptr) {
    text += " (" + std::filesystem::path(info.dli_fname).filename().string() + ")";
  }
  return text;
}

// The blocks a run left, with the allocations that took them, for the fault's line.
std::string left_behind(long live) {
  unsigned long indexes[4];
  void* callers[4];
  const unsigned long n = g_failer.live_info(indexes, callers, 4);
  std::string text = std::to_string(live) + " block(s) left behind:";
  for (unsigned long i = 0; i < n; ++i) {
    text += " #" + std::to_string(indexes[i]) + " from " + where(callers[i]) + ";";
  }
  return text;
}

// ---- what a run filled, written without allocating ------------------------------------

// Lines of text in a fixed buffer, so that recording inside a run never
// touches the heap; read back as strings once the run is over.
class Trace {
 public:
  void clear() {
    length_ = 0;
    overflow_ = false;
  }
  Trace& text(std::string_view value) {
    if (value.size() > sizeof bytes_ - length_) {
      overflow_ = true;
      return *this;
    }
    std::memcpy(bytes_ + length_, value.data(), value.size());
    length_ += value.size();
    return *this;
  }
  Trace& text(const char* value) { return text(std::string_view(value ? value : "(null)")); }
  Trace& number(int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return text(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  Trace& real(float value) {
    char digits[48];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return text(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  void end_line() { text("\n"); }

  bool overflow() const { return overflow_; }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::string_view rest(bytes_, length_);
    while (!rest.empty()) {
      const size_t end = rest.find('\n');
      out.emplace_back(rest.substr(0, end));
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return out;
  }

 private:
  char bytes_[1 << 16];
  size_t length_ = 0;
  bool overflow_ = false;
};
Trace g_trace;

// ---- the world the exports talk to ----------------------------------------------------

LoopbackHttpServer* g_server = nullptr;
UdpSink* g_sink = nullptr;
uint32_t g_port = 0;
std::string g_folder;      // the process's current folder, with loginurl.ini
std::string g_list_file;   // a saved service list
std::string g_saved_file;  // where http_access_protocol2 saves

constexpr char kHost[] = "127.0.0.1";
constexpr char kProtocol[] = "http";
constexpr char kRequest[] = "request-text";
constexpr int32_t kRequestSize = sizeof kRequest - 1;
constexpr int32_t kOptionRefused = static_cast<int32_t>(0xE0FF00FFu);

// The service's answers, by path. Members that are numbers but are read as
// texts make the JSON library allocate while the answer is read.
const std::map<std::string, std::string> kAnswers = {
    {"/protocol", R"({"err":1,"text":"hello"})"},
    {"/verification", R"({"err":1,"haveTime":3600,"expired":0,"usepay":1,"ut":20270218,"msg":"ok",)"
                      R"("bindUnvalide":0,"ed":"2027-12-31","endBind":"2027-06-30"})"},
    {"/local_ip", R"({"err":1,"ip":"203.0.113.45"})"},
    // "err" 2: the result is the answer's own value, told apart from code 1.
    {"/ad_link",
     R"({"err":2,"key":"spring","ref":"banner","url":"http://www.example.com/promo","ref1":7})"},
    {"/client_title",
     R"({"err":2,"id":27,"title":"notice","url":"http://www.example.com/n/27","usertype":2,)"
     R"("msg":"maintenance","isopen":1,"isbind":0})"},
    {"/loginvpn", R"({"err":1,"msg":"dial-up checked"})"},
    {"/hangup", R"({"err":1,"usermsg":"42 minutes"})"},
    {"/vpn_info", R"({"VPNIP":"198.51.100.7","LocalOutIP":"203.0.113.45","VPNPort":1723})"},
    {"/gameroute", R"({"err":1,"gameroute":[{"gameid":1001,"route":["198.51.100.0/24"]}]})"},
    {"/usertypelist", R"({"err":1,"usertypelist":[{"id":1,"name":"vip"}]})"},
    {"/gameprocess", R"({"err":1,"gameprocess":[{"gameid":1001,"process":["game.exe"]}]})"},
    {"/serverdelay", R"({"err":1,"gamedelay":[{"gameid":1001,"serverid":101,"delay":38},)"
                     R"({"gameid":1002,"serverid":201,"delay":61}]})"},
    {"/areadelay", R"({"err":1,"gamedelay":[{"nodeId":11,"areaId":3,"delay":25}]})"},
    {"/save_game_route", R"({"err":1})"},
};

constexpr char kServiceList[] =
    R"({"err":1,"server":[{"id":101,"payId":2,"product":1,"area":3,"charge":true,)"
    R"("serverip":[{"id":1,"ip":"198.51.100.21","net":1,"IPv6":0},{"id":2,"ip":"198.51.100.22",)"
    R"("net":2}],"userbw":"20M","paramValue2":80,"maxOnline":500,"serverName":"relay one",)"
    R"("serverType":42,"paramValue1":1.5,"userablePer":0.75,"msg":"fast"},)"
    R"({"id":102,"serverip":[],"serverName":"relay two"}],)"
    R"("serverType":[{"id":12,"name":"vip","pid":"0","level":1},{"id":"13","name":"free"}]})";

// ---- recording callbacks and caller storage --------------------------------------------

enum class Cell : uint8_t { kInt, kText, kFloat, kSlot };

char g_address_marker;

void record_row(const char* kind, int32_t count, char** names, void** values,
                std::initializer_list<Cell> cells) {
  g_trace.text(kind).text(" ").number(count);
  int32_t i = 0;
  for (const Cell cell : cells) {
    if (i >= count) break;
    g_trace.text(" ").text(names[i]).text("=");
    switch (cell) {
      case Cell::kInt: {
        int32_t value;
        std::memcpy(&value, values[i], sizeof value);
        g_trace.number(value);
        break;
      }
      case Cell::kText:
        g_trace.text(static_cast<const char*>(values[i]));
        break;
      case Cell::kFloat: {
        float value;
        std::memcpy(&value, values[i], sizeof value);
        g_trace.real(value);
        break;
      }
      case Cell::kSlot:
        g_trace.text(values[i] == &g_address_marker ? "list" : values[i] ? "other" : "null");
        break;
    }
    ++i;
  }
  g_trace.end_line();
}

constexpr Cell I = Cell::kInt, T = Cell::kText, F = Cell::kFloat, S = Cell::kSlot;

void on_server(int32_t count, char** names, void** values, void*) {
  record_row("server", count, names, values, {I, I, I, I, I, S, T, I, I, T, T, F, F, T});
}
void on_address(int32_t count, char** names, void** values, void* slot) {
  record_row("address", count, names, values, {T, I, I, I});
  *static_cast<void**>(slot) = &g_address_marker;
}
void on_type(int32_t count, char** names, void** values, void*) {
  record_row("type", count, names, values, {T, T, T, I});
}
void on_delay(int32_t count, char** names, void** values, void*) {
  record_row("delay", count, names, values, {I, I, I});
}
void on_text(const char* text, void*) {
  g_trace.text("text ").text(text).end_line();
}

// Caller text buffers, as large as the largest answer buffer that fills them.
struct TextBuffers {
  char a[1024], b[1024], c[1024], d[1024];
  void reset() {
    for (char* buffer : {a, b, c, d}) std::strcpy(buffer, "<untouched>");
  }
};
TextBuffers g_texts;
verification_info g_verification;
ad_link_info g_ad_link;
client_title_info g_title;
vpn_connection_info g_vpn;
int32_t g_err;
char g_respond[1024];
uint32_t g_respond_size;
int g_context;

constexpr int32_t kUntouched = -12345;

// A field of the caller's storage, written to the trace after the rows.
constexpr std::string_view kField = "field ";
void field(const char* name, int32_t value) {
  g_trace.text(kField).text(name).text("=").number(value).end_line();
}
void field(const char* name, const char* value) {
  g_trace.text(kField).text(name).text("=").text(value).end_line();
}

// ---- scenarios ------------------------------------------------------------------------

// Where a run leaves its outcome: in the caller's storage (rows delivered to
// callbacks, then fields), or as datagrams at the log sink.
enum class Shape { kCaller, kDatagrams };

struct Scenario {
  const char* name;
  Shape shape;
  std::set<int32_t> failure_codes;
  void (*reset)();    // before each run; the caller's storage to its untouched state
  int32_t (*run)();   // armed: the export's call and nothing else that allocates
  void (*collect)();  // after the run: the caller's fields, into the trace
  // An answer that cannot be parsed (as when the parser runs out of memory)
  // still gives the undisturbed run's code, with nothing filled.
  bool unread_answer_succeeds = false;
};

const std::set<int32_t> kQueryFailures = {1, 101, 102, 113, 114, kOptionRefused};
const std::set<int32_t> kListQueryFailures = {1, 101, 102, 113, 114, kOptionRefused, 10003};
const std::set<int32_t> kReaderFailures = {1, 4, 7, 8, 102, 114, 10003};

#define HEAD(path) kHost, path, g_port, kProtocol, kRequest, kRequestSize

void reset_nothing() {}
void collect_nothing() {}

const Scenario kScenarios[] = {
    // ---- transport
    {"http_access_protocol1", Shape::kCaller, kQueryFailures,
     [] {
       std::memset(g_respond, '~', sizeof g_respond);
       g_respond_size = sizeof g_respond;
     },
     [] { return http_access_protocol1(HEAD("protocol"), g_respond, &g_respond_size); },
     [] {
       field("size", static_cast<int32_t>(g_respond_size));
       // Written only on success: the text, when it is one.
       const bool text = ::memchr(g_respond, '\0', sizeof g_respond) != nullptr;
       field("text", text ? g_respond : "<untouched>");
     }},
    {"http_access_protocol2",
     Shape::kCaller,
     {1, 5, 101, 113, 114, 210605, kOptionRefused},
     [] { std::filesystem::remove(g_saved_file); },
     [] { return http_access_protocol2(HEAD("protocol"), g_saved_file.c_str()); },
     [] {
       std::string saved = "<untouched>";
       if (std::filesystem::exists(g_saved_file)) {
         std::string text;
         saved = kiv::test::zlib_inflate(kiv::test::read_file(g_saved_file), &text)
                     ? text
                     : "<not a zlib stream>";
       }
       field("file", saved.c_str());
     }},
    // ---- cached-list readers
    {"get_data_from_file", Shape::kCaller, kReaderFailures, [] { g_err = kUntouched; },
     [] {
       return get_data_from_file(g_list_file.c_str(), on_server, on_address, &g_context, &g_err);
     },
     [] { field("err", g_err); }},
    {"get_servertype_from_file", Shape::kCaller, kReaderFailures, [] { g_err = kUntouched; },
     [] { return get_servertype_from_file(g_list_file.c_str(), &g_context, on_type, &g_err); },
     [] { field("err", g_err); }},
    // ---- account and connection queries
    {"get_verification_from_service", Shape::kCaller, kQueryFailures,
     [] {
       g_texts.reset();
       g_verification = {kUntouched, kUntouched, kUntouched, kUntouched, g_texts.a,
                         g_texts.b,  kUntouched, g_texts.c,  g_texts.d};
     },
     [] { return get_verification_from_service(HEAD("verification"), &g_verification); },
     [] {
       const verification_info& v = g_verification;
       field("err", v.err);
       field("haveTime", v.haveTime);
       field("expired", v.expired);
       field("usepay", v.usepay);
       field("ut", v.ut);
       field("msg", v.msg);
       field("bindUnvalide", v.bindUnvalide);
       field("ed", v.ed);
       field("endBind", v.endBind);
     }},
    {"get_local_ip_from_service", Shape::kCaller, kQueryFailures, [] { g_texts.reset(); },
     [] { return get_local_ip_from_service(HEAD("local_ip"), g_texts.a); },
     [] { field("ip", g_texts.a); }},
    {"get_kiv_adLink_from_service", Shape::kCaller, kQueryFailures,
     [] {
       g_texts.reset();
       g_ad_link = {g_texts.a, g_texts.b, g_texts.c, g_texts.d};
     },
     [] { return get_kiv_adLink_from_service(HEAD("ad_link"), &g_ad_link); },
     [] {
       field("key", g_ad_link.key);
       field("ref", g_ad_link.ref);
       field("url", g_ad_link.url);
       field("ref1", g_ad_link.ref1);
     }},
    {"get_kiv_client_title_from_service", Shape::kCaller, kQueryFailures,
     [] {
       g_texts.reset();
       g_title = {kUntouched, g_texts.a, g_texts.b, kUntouched, g_texts.c, kUntouched, kUntouched};
     },
     [] { return get_kiv_client_title_from_service(HEAD("client_title"), &g_title); },
     [] {
       field("id", g_title.id);
       field("title", g_title.title);
       field("url", g_title.url);
       field("usertype", g_title.usertype);
       field("msg", g_title.msg);
       field("isopen", g_title.isopen);
       field("isbind", g_title.isbind);
     }},
    {"get_loginvpn_from_service", Shape::kCaller, kQueryFailures,
     [] {
       g_texts.reset();
       g_err = kUntouched;
     },
     [] { return get_loginvpn_from_service(HEAD("loginvpn"), &g_err, g_texts.a); },
     [] {
       field("err", g_err);
       field("msg", g_texts.a);
     }},
    {"check_hangup_from_service", Shape::kCaller, kQueryFailures,
     [] {
       g_texts.reset();
       g_err = kUntouched;
     },
     [] { return check_hangup_from_service(HEAD("hangup"), &g_err, g_texts.a); },
     [] {
       field("err", g_err);
       field("usermsg", g_texts.a);
     }},
    // The record is cleared once the answer is in: its untouched state is the
    // cleared one, so that a parse that fails after it stays consistent.
    {"get_vpn_info", Shape::kCaller, kQueryFailures, [] { g_vpn = {}; },
     [] { return get_vpn_info(HEAD("vpn_info"), &g_vpn); },
     [] {
       field("VPNIP", g_vpn.VPNIP);
       field("LocalOutIP", g_vpn.LocalOutIP);
       field("VPNPort", g_vpn.VPNPort);
     }},
    // ---- game queries
    {"get_gameroute_from_server", Shape::kCaller, kListQueryFailures, reset_nothing,
     [] { return get_gameroute_from_server(HEAD("gameroute"), on_text, &g_context); },
     collect_nothing},
    {"get_usertypelist_from_server", Shape::kCaller, kListQueryFailures, reset_nothing,
     [] { return get_usertypelist_from_server(HEAD("usertypelist"), on_text, &g_context); },
     collect_nothing},
    {"get_gameprocess_from_server", Shape::kCaller, kListQueryFailures, reset_nothing,
     [] { return get_gameprocess_from_server(HEAD("gameprocess"), on_text, &g_context); },
     collect_nothing},
    {"get_serverdelay_from_server", Shape::kCaller, kListQueryFailures, reset_nothing,
     [] { return get_serverdelay_from_server(HEAD("serverdelay"), on_delay, &g_context); },
     collect_nothing},
    {"get_areadelay_from_server", Shape::kCaller, kListQueryFailures, reset_nothing,
     [] { return get_areadelay_from_server(HEAD("areadelay"), on_delay, &g_context); },
     collect_nothing},
    {"save_game_route_info",
     Shape::kCaller,
     {1, 113},
     [] { g_err = kUntouched; },
     [] { return save_game_route_info(HEAD("save_game_route"), &g_err); },
     [] { field("err", g_err); },
     true},
    // ---- the message logger, with a message too long for its stack buffer
    {"kiv_show_message",
     Shape::kCaller,
     {},
     reset_nothing,
     [] {
       static char long_text[3000];
       std::memset(long_text, 'x', sizeof long_text - 1);
       kiv_show_message("%s %d", long_text, 7);
       return 0;
     },
     collect_nothing},
    // ---- reports, to the log sink named in ./loginurl.ini
    {"break_report",
     Shape::kDatagrams,
     {},
     reset_nothing,
     [] {
       break_report("1.0.3", "user", "192.0.2.1", 1, 2);
       return 0;
     },
     collect_nothing},
    {"bug_report",
     Shape::kDatagrams,
     {},
     reset_nothing,
     [] {
       bug_report(3, 304, 2, "OpenFile", nullptr);  // with the system's text for 2
       return 0;
     },
     collect_nothing},
    {"client_operate_report",
     Shape::kDatagrams,
     {},
     reset_nothing,
     [] {
       client_operate_report(R"({"op":"start","game":1001})");
       return 0;
     },
     collect_nothing},
    {"kiv_disconnect_report",
     Shape::kDatagrams,
     {},
     reset_nothing,
     [] {
       kiv_disconnect_report("1.0.3", "user", "192.0.2.1", "relay one", 1);
       return 0;
     },
     collect_nothing},
    {"link_report",
     Shape::kDatagrams,
     {},
     reset_nothing,
     [] {
       link_report(1, 2, "192.0.2.1", "relay \"one\"", "user", 3);
       return 0;
     },
     collect_nothing},
    {"login_state_report",
     Shape::kDatagrams,
     {},
     reset_nothing,
     [] {
       login_state_report("1.0.3", "user", 1);
       return 0;
     },
     collect_nothing},
    {"open_login_report",
     Shape::kDatagrams,
     {},
     reset_nothing,
     [] {
       open_login_report("1.0.3");
       return 0;
     },
     collect_nothing},
};

// ---- the torture -------------------------------------------------------------------

// Named in the crash handler's line: which run was under way.
const char* volatile g_current = "";
volatile unsigned long g_fail_at = 0;

void on_crash(int signal_number) {
  char line[256];
  const int n =
      std::snprintf(line, sizeof line, "\ncrashed (signal %d) in %s, allocation %lu failing\n",
                    signal_number, g_current, g_fail_at);
  if (n > 0) static_cast<void>(::write(STDERR_FILENO, line, static_cast<size_t>(n)));
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
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
  for (size_t i = 0; i < fields.size(); ++i) {
    const bool as_golden = fields[i] == golden_fields[i];
    if (complete ? !as_golden : !(as_golden || fields[i] == untouched[i])) {
      return "result " + std::to_string(got.code) + " left " + fields[i] + " (expected " +
             golden_fields[i] + (complete ? "" : " or " + untouched[i]) + ")";
    }
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
      const std::string site = n == 0 ? "" : " (" + where(g_failer.failed_caller()) + ")";
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
  for (const int signal_number : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
    ::signal(signal_number, on_crash);
  }
  ::signal(SIGPIPE, SIG_IGN);

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
      codes += " " + std::to_string(code) + "x" + std::to_string(count);
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
