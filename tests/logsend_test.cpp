// The report library: record texts, the channel's settings, lookup and send
// rules, and the exports as a client process sees them.
#include <gtest/gtest.h>
#include <json-c/json.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "channel.h"
#include "child_process.h"
#include "message_capture.h"
#include "platform.h"
#include "record.h"
#include "report_guard.h"
#include "report_messages.h"
#include "resolver_cache.h"
#include "udp_sink.h"
#include "zlib_util.h"

namespace kiv::test {
namespace {

using namespace std::chrono_literals;
using logsend::Channel;
using logsend::ChannelSystem;
using logsend::format_record;
using logsend::number;
using logsend::raw;
using logsend::ResolveStatus;
using logsend::text;
using logsend::Value;
using Messages = std::vector<std::string>;

std::string formatted(std::string_view format, std::initializer_list<Value> values) {
  const auto record = format_record(format, {values.begin(), values.size()}, 2048);
  if (!record) return "<no record>";
  EXPECT_EQ(std::strlen(record.text.get()), record.length);
  return std::string(record.text.get(), record.length);
}

// What a failure report without a free text carries for `error`: the first
// line of the system's own text for it (strerror on Linux, FormatMessageA on
// Windows), without its line break.
std::string system_text_of(int error) {
  std::string text;
  if (!platform::system_error_text(error, &text)) return "(the system has no text)";
  return text.substr(0, text.find_first_of("\r\n"));
}

std::string settings_text(const std::string& dns, const std::string& port) {
  return "[LOG_SERVERS]\nlog_servers_dns=" + dns + "\nlog_servers_port=" + port + "\n";
}

// The two length traces of one sent record.
std::string length_traces(size_t length, size_t compressed) {
  char line[128];
  std::snprintf(line, sizeof line, logsend::msg::kSendLength, static_cast<int>(length));
  std::string out = line;
  std::snprintf(line, sizeof line, logsend::msg::kSendCompressedLength,
                static_cast<int>(compressed));
  return out + line;
}

// A json-c string member of the record's "param", or "<missing>".
std::string param_member(const std::string& record, const char* key) {
  json_object* root = json_tokener_parse(record.c_str());
  json_object* param = nullptr;
  json_object* member = nullptr;
  std::string value = "<missing>";
  if (root != nullptr && json_object_object_get_ex(root, "param", &param) &&
      json_object_object_get_ex(param, key, &member)) {
    value.assign(json_object_get_string(member), json_object_get_string_len(member));
  }
  json_object_put(root);
  return value;
}

// ---- record texts -------------------------------------------------------------

TEST(LogsendRecord, FormatsNumbersTextsAndRawValues) {
  EXPECT_EQ(formatted("{\"a\":%d,\"b\":\"%s\",\"c\":%s,\"p\":\"100%%\"}",
                      {number(-2147483647 - 1), text("x y"), raw("{\"k\":[1]}")}),
            "{\"a\":-2147483648,\"b\":\"x y\",\"c\":{\"k\":[1]},\"p\":\"100%\"}");
  // A raw value is copied as it is, quotes, backslashes and all.
  EXPECT_EQ(formatted("%s", {raw("\"\\\n")}), "\"\\\n");
  // Past the 2048-byte buffer the record grows and stays whole.
  const std::string long_text(5000, 'x');
  EXPECT_EQ(formatted("[%s]", {text(long_text)}), "[" + long_text + "]");
}

TEST(LogsendRecord, EscapesTextsForJsonAndKeepsGbkCharactersWhole) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {std::string("\x01\x1f", 2), "\\u0001\\u001f"},
      {"\x7f/", "\x7f/"},
      // Double-byte characters whose trail byte is '\\' or otherwise ASCII.
      {"\xD5\x5C", "\xD5\x5C"},
      {"\xD5\x5C\\", "\xD5\x5C\\\\"},
      {"\x81\x40\xFE\xFE", "\x81\x40\xFE\xFE"},
      // A lead byte without a valid trail byte stands alone; before an escape
      // it is escaped too, or a GBK reader would pair it with the backslash
      // and end the string at the escaped quote.
      {"\x81\"", "\\u0081\\\""},
      {"\x81\n\xFE\x1F", "\\u0081\\n\\u00fe\\u001f"},
      {"\x81 \x81", "\x81 \x81"},
      {"\x81\x7F", "\x81\x7F"},
      {"\xFF\\", "\xFF\\\\"},
      {"\x81", "\x81"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatted("%s", {text(c.in)}), c.out) << c.in;
}

TEST(LogsendBoundary, AnExceptionInsideAReportIsLoggedAndGoesNoFurther) {
  MessageCapture log;
  bool ran = false;
  logsend::guarded("link_report", [&] {
    ran = true;
    throw std::bad_alloc();
  });
  logsend::guarded("link_report", [] { throw 7; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(log.messages(), (Messages{"Error: Failed to alloc the memory!\n",
                                      "Error: the record is dropped, in link_report()\n"}));
}

TEST(LogsendRecord, SystemTextKeepsItsFirstLineWithoutTheCarriageReturn) {
  EXPECT_EQ(logsend::first_line("Access is denied.\r\n"), "Access is denied.");
  EXPECT_EQ(logsend::first_line("One\r\nTwo\r\n"), "One");
  EXPECT_EQ(logsend::first_line("No such file or directory"), "No such file or directory");
  EXPECT_EQ(logsend::first_line("\r\nrest"), "");
}

// ---- the channel, with parts of the system substituted ----------------------------

// Lookups answered from a table: a name that is not in it fails.
std::map<std::string, std::string> g_names;
platform::LookupResult table_lookup(const char* name, char (&out)[16]) noexcept {
  const auto found = g_names.find(name);
  if (found == g_names.end()) return platform::LookupResult::kFailed;
  if (found->second.empty()) return platform::LookupResult::kNoAddress;
  std::snprintf(out, sizeof out, "%s", found->second.c_str());
  return platform::LookupResult::kAddress;
}

// A socket layer that starts only on odd calls: the lookup's start succeeds,
// the send step's start fails.
int g_starts = 0;
bool start_every_other() noexcept {
  return ++g_starts % 2 == 1;
}
bool never_start() noexcept {
  return false;
}

class LogsendChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    g_names.clear();
    g_starts = 0;
    system_.settings_path = settings_path_.c_str();
    system_.lookup = table_lookup;
  }
  void point_at(const std::string& name) {
    dir_.write("loginurl.ini", settings_text(name, std::to_string(sink_.port())));
  }
  std::vector<Datagram> sent(size_t expected) {
    // Loopback delivery is done when sendto returns: a short wait shows any
    // datagram that should not have been sent.
    return expected == 0 ? sink_.wait_for(1, 100ms) : sink_.wait_for(expected, 5s);
  }

  UdpSink sink_;
  TempDir dir_;
  std::string settings_path_ = dir_.file("loginurl.ini");
  ChannelSystem system_;
  MessageCapture capture_;
};

TEST_F(LogsendChannel, FailedLookupFallsBackOnlyToAnAddressOfTheSameName) {
  Channel channel(system_);
  const char record[] = "{\"act\":\"x\"}";
  const std::string lookup_failed = "Error: Failed to call gethostbyname in log_report(), errno=";

  point_at("log.one");  // fails before any success: nothing to fall back to
  EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kNoSettings);
  ASSERT_EQ(capture_.messages().size(), 1u);
  EXPECT_EQ(capture_.messages()[0].rfind(lookup_failed, 0), 0u) << capture_.messages()[0];

  g_names["log.one"] = "127.0.0.1";
  EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kSent);
  g_names.erase("log.one");  // the same name fails now: its last address is used
  EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kSent);
  g_names["log.one"] = "";  // an answer without an address: the same
  EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kSent);
  EXPECT_EQ(sent(3).size(), 3u);

  sink_.clear();
  point_at("log.two");  // another name must not inherit log.one's address
  EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kNoSettings);
  EXPECT_TRUE(sent(0).empty());
}

TEST_F(LogsendChannel, ResolveReportsEachOutcome) {
  g_names["log.one"] = "192.0.2.7";
  g_names["empty"] = "";
  Channel channel(system_);
  char address[16] = "kept";
  EXPECT_EQ(channel.resolve("nowhere", address), ResolveStatus::kLookupFailed);
  EXPECT_EQ(channel.resolve("empty", address), ResolveStatus::kNoAddress);
  EXPECT_EQ(channel.resolve(nullptr, address), ResolveStatus::kBadArgument);
  EXPECT_STREQ(address, "kept");
  EXPECT_EQ(channel.resolve("log.one", address), ResolveStatus::kResolved);
  EXPECT_STREQ(address, "192.0.2.7");

  system_.start_sockets = never_start;
  Channel no_sockets(system_);
  EXPECT_EQ(no_sockets.resolve("log.one", address), ResolveStatus::kSocketsFailed);

  const Messages messages = capture_.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].rfind("Error: Failed to call gethostbyname in log_report(), errno=", 0),
            0u);
  EXPECT_EQ(messages[1], "Error: PARAM, in get_host_ip_by_name()");
  EXPECT_EQ(messages[2].rfind("Error: Failed to call WSAStartup in log_report, errno=", 0), 0u);
}

TEST_F(LogsendChannel, SocketLayerThatWillNotStartDropsTheRecordAndKeepsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  g_names["log.one"] = "127.0.0.1";
  point_at("log.one");
  system_.start_sockets = start_every_other;
  // The child exits with 7 only when the report came back as not sent with
  // the message; ending the process from inside the library gives 0.
  EXPECT_EXIT(
      {
        MessageCapture capture;
        Channel channel(system_);
        const bool dropped = channel.report("{}", 2) == Channel::Outcome::kNotSent &&
                             capture.messages() == Messages{"Error: Failed to init WS2_32.dll\n"};
        std::filesystem::remove_all(dir_.path());  // _Exit runs no destructor
        std::_Exit(dropped ? 7 : 1);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_TRUE(sent(0).empty());
}

// ---- the resolver cache in front of a resolver that takes its time --------------

// Answers from the table only once let go, and counts the questions.
struct HeldResolver {
  std::mutex lock;
  std::condition_variable changed;
  bool held = false;
  int asked = 0;
};
HeldResolver g_resolver;
platform::LookupResult held_lookup(const char* name, char (&out)[16]) noexcept {
  std::unique_lock guard(g_resolver.lock);
  ++g_resolver.asked;
  g_resolver.changed.notify_all();
  // Bounded, so that a test gone wrong ends instead of hanging.
  g_resolver.changed.wait_for(guard, 30s, [] { return !g_resolver.held; });
  return table_lookup(name, out);
}
uint64_t g_now_ms = 0;
uint64_t test_clock() noexcept {
  return g_now_ms;
}
platform::ResolverCache* g_cache = nullptr;
platform::LookupResult cached_held_lookup(const char* name, char (&out)[16]) noexcept {
  return g_cache->lookup(name, out);
}

TEST_F(LogsendChannel, ASlowResolverIsWaitedOnByOneReportPerInterval) {
  platform::ResolverCache cache(held_lookup, test_clock);
  g_cache = &cache;
  system_.lookup = cached_held_lookup;
  Channel channel(system_);
  const auto report = [&] { return channel.report("{}", 2); };
  const auto asked = [] {
    std::lock_guard guard(g_resolver.lock);
    return g_resolver.asked;
  };
  const auto hold = [](bool held) {
    std::lock_guard guard(g_resolver.lock);
    g_resolver.held = held;
    g_resolver.changed.notify_all();
  };
  // One report with the resolver held: it waits inside the lookup until let go.
  const auto held_report = [&](int asked_before) {
    hold(true);
    auto first = std::async(std::launch::async, report);
    {
      std::unique_lock guard(g_resolver.lock);
      g_resolver.changed.wait_for(guard, 30s, [&] { return g_resolver.asked > asked_before; });
    }
    EXPECT_EQ(first.wait_for(0s), std::future_status::timeout);
    hold(false);
    return first.get();
  };
  const auto hundred_sent = [&] {
    int sent_count = 0;
    for (int i = 0; i < 100; ++i) sent_count += report() == Channel::Outcome::kSent;
    return sent_count;
  };

  g_names["log.slow"] = "127.0.0.1";
  point_at("log.slow");
  EXPECT_EQ(held_report(0), Channel::Outcome::kSent);
  EXPECT_EQ(hundred_sent(), 100);
  EXPECT_EQ(asked(), 1);
  EXPECT_EQ(sent(101).size(), 101u);

  // The answer has grown old and the resolver is dead: one report waits and
  // learns nothing, the failure is remembered, and every record goes to the
  // address the name had.
  g_now_ms += platform::kAnswerKeptMs;
  g_names.erase("log.slow");
  sink_.clear();
  EXPECT_EQ(held_report(1), Channel::Outcome::kSent);
  EXPECT_EQ(hundred_sent(), 100);
  EXPECT_EQ(asked(), 2);
  EXPECT_EQ(sent(101).size(), 101u);

  // Once the failure has grown old the resolver is asked again; a changed
  // name is asked at once.
  g_now_ms += platform::kFailureKeptMs;
  EXPECT_EQ(report(), Channel::Outcome::kSent);
  EXPECT_EQ(asked(), 3);
  g_names["log.other"] = "127.0.0.1";
  point_at("log.other");
  EXPECT_EQ(report(), Channel::Outcome::kSent);
  EXPECT_EQ(asked(), 4);
  g_cache = nullptr;
}

// ---- the library in a client process ------------------------------------------

struct Report {
  ChildResult child;
  Messages messages;
  std::vector<Datagram> datagrams;
};

class LogsendClient : public ::testing::Test {
 protected:
  void SetUp() override { settings("127.0.0.1", std::to_string(sink_.port())); }
  void settings(const std::string& dns, const std::string& port) {
    dir_.write("loginurl.ini", settings_text(dns, port));
  }

  // Runs probe_report with `args` in the client folder and collects what it
  // logged and sent; waits for `expected` datagrams. `search` names the
  // folders its library search starts with (none: the environment's).
  Report run(const std::vector<std::string>& args, size_t expected = 1,
             const std::vector<std::string>& search = {}) {
    sink_.clear();
    ChildOptions options;
    options.argv = {test_program("probe_report")};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.cwd = dir_.path();
    if (!search.empty()) search_libraries_in(options, search);
    Report report;
    report.child = run_child(options);
    EXPECT_EQ(report.child.exit_code, 0) << report.child.err;
    report.messages = framed_messages(report.child.err);
    // The child has ended, so whatever it sent is in the sink's queue.
    report.datagrams = expected == 0 ? sink_.wait_for(1, 100ms) : sink_.wait_for(expected, 10s);
    return report;
  }

  UdpSink sink_;
  TempDir dir_;
};

TEST_F(LogsendClient, EveryReportSendsItsRecordAsCompressOutput) {
  const struct {
    std::vector<std::string> args;
    std::string record;
    bool send_data_trace;
  } cases[] = {
      {{"break", "1.0.3", "alice", "10.1.2.3", "2", "-7"},
       "{\"act\":\"OutLineState\",\"param\":{\"kiv_version\":\"1.0.3\",\"user_name\":\"alice\", "
       "\"server_ip\":\"10.1.2.3\",\"dial_mode\":2,\"disconnect_type\":-7}}",
       false},
      {{"bug", "3", "12", "-5", "curl_easy_perform", "timed out"},
       "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":12,\"error_number\":-5,"
       "\"error_func_name\":\"curl_easy_perform\",\"error_specify\":\"timed out\"}}",
       false},
      {{"login", "1.0.3", "alice", "1"},
       "{\"act\":\"LoginService\",\"param\":{\"kiv_version\":\"1.0.3\",\"user_name\":\"alice\","
       "\"login_state\":1}}",
       true},
      {{"disconnect", "1.0.3", "alice", "10.1.2.3", "east-1", "4"},
       "{\"act\":\"DisconnServer\",\"param\":{\"kiv_version\":\"1.0.3\",\"user_name\":\"alice\","
       "\"dial_module\":4,\"server_ip\":\"10.1.2.3\",\"server_name\":\"east-1\"}}",
       true},
      {{"open", "1.5"},
       "{\"act\":\"OpenLoginService\",\"param\":{\"kiv_version\":\"1.5\"}}",
       false},
      {{"link", "1", "2", "10.1.2.3", "east-1", "alice", "5"},
       "{\"act\":\"LinkService\",\"param\":{\"link_mode\":1,\"link_state\":2,"
       "\"link_service_ip\":\"10.1.2.3\",\"userType_Id\":5,\"link_service_name\":\"east-1\","
       "\"link_account\":\"alice\"}}",
       false},
      // The caller's JSON goes in raw, even when it is not JSON.
      {{"client", "{\"op\":\"x\",\"n\":[1,2]}"},
       "{\"act\":\"ClientOperate\",\"param\":{\"op\":\"x\",\"n\":[1,2]}}",
       true},
      {{"client", "not \"json"}, "{\"act\":\"ClientOperate\",\"param\":not \"json}", true},
  };
  EXPECT_EQ(std::string(cases[4].record).size(), 56u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const Report report = run(c.args);
    ASSERT_EQ(report.datagrams.size(), 1u);
    const Datagram& datagram = report.datagrams[0];
    EXPECT_EQ(datagram.text, c.record);
    EXPECT_EQ(datagram.raw, zlib_compress(c.record));
    EXPECT_LE(datagram.raw.size(), c.record.size() + 13);
    EXPECT_TRUE(report.messages.empty());
    const std::string trace = c.send_data_trace ? "send_data = " + c.record + "\n" : "";
    EXPECT_EQ(report.child.out, trace + length_traces(c.record.size(), datagram.raw.size()));
  }
}

TEST_F(LogsendClient, NullArgumentsSendNothing) {
  const std::vector<std::string> cases[] = {
      {"break", "@null", "u", "s", "1", "2"},
      {"break", "v", "@null", "s", "1", "2"},
      {"break", "v", "u", "@null", "1", "2"},
      {"client", "@null"},
      {"disconnect", "@null", "u", "s", "n", "1"},
      {"disconnect", "v", "@null", "s", "n", "1"},
      {"disconnect", "v", "u", "@null", "n", "1"},
      {"disconnect", "v", "u", "s", "@null", "1"},
      {"link", "1", "2", "@null", "n", "a", "3"},
      {"link", "1", "2", "s", "@null", "a", "3"},
      {"link", "1", "2", "s", "n", "@null", "3"},
      {"login", "@null", "u", "1"},
      {"login", "v", "@null", "1"},
      {"open", "@null"},
      {"bug", "3", "4", "5", "@null", "text"},
  };
  for (const auto& args : cases) {
    std::string call;
    for (const auto& arg : args) call += arg + " ";
    SCOPED_TRACE(call);
    const Report report = run(args, 0);
    const std::string expected = args[0] == "bug" ? "Error: Params are wrong!\n" : "Error: Param\n";
    EXPECT_EQ(report.messages, Messages{expected});
    EXPECT_TRUE(report.datagrams.empty());
    EXPECT_EQ(report.child.out, "");
  }
}

TEST_F(LogsendClient, SettingsThatCannotBeReadSendNothing) {
  const std::string port = std::to_string(sink_.port());
  const std::string no_file = "Error :./loginurl.ini dose not Exits\n";
  const std::string no_key = "Error: Failed to call GetPrivateProfileStringA\n";
  const std::string no_services = "Error: Failed to get services information\n";
  const std::string login_trace =
      "send_data = {\"act\":\"LoginService\",\"param\":{\"kiv_version\":\"v\",\"user_name\":\"u\","
      "\"login_state\":1}}\n";
  const struct {
    const char* settings;  // null: no file
    std::vector<std::string> args;
    Messages messages;
    std::string out;
  } cases[] = {
      {nullptr, {"link", "1", "2", "s", "n", "a", "3"}, {no_file, no_services}, ""},
      {nullptr, {"bug", "3", "4", "5", "f", "t"}, {no_file, no_services}, ""},
      // The login trace comes before the settings are read.
      {nullptr, {"login", "v", "u", "1"}, {no_file, no_services}, login_trace},
      // The window-opening report prints its failure instead of logging it.
      {nullptr, {"open", "v"}, {no_file}, no_services},
      {"[LOG_SERVERS]\nlog_servers_dns=\nlog_servers_port=PORT\n",
       {"link", "1", "2", "s", "n", "a", "3"},
       {no_key, no_services},
       ""},
      {"[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port=\n",
       {"open", "v"},
       {no_key},
       no_services},
      {"[OTHER]\nlog_servers_dns=127.0.0.1\nlog_servers_port=PORT\n",
       {"link", "1", "2", "s", "n", "a", "3"},
       {no_key, no_services},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings == nullptr ? "no file" : c.settings);
    std::remove(dir_.file("loginurl.ini").c_str());
    if (c.settings != nullptr) {
      std::string text = c.settings;
      if (const size_t at = text.find("PORT"); at != std::string::npos) text.replace(at, 4, port);
      dir_.write("loginurl.ini", text);
    }
    const Report report = run(c.args, 0);
    EXPECT_EQ(report.messages, c.messages);
    EXPECT_TRUE(report.datagrams.empty());
    EXPECT_EQ(report.child.out, c.out);
  }
}

// A settings file that is a folder, a FIFO or a device reads as one without
// the keys. Each report runs in a child process, so that a call that blocked
// (opening a FIFO waits for a writer) would end at the child's time-out.
TEST_F(LogsendClient, SettingsThatAreNotARegularFileSendNothingWithoutBlocking) {
  const std::string path = dir_.file("loginurl.ini");
  std::vector<std::pair<const char*, std::function<bool()>>> kinds = {
      {"folder", [&] { return std::filesystem::create_directory(path); }}};
#if !defined(_WIN32)
  // Windows has neither FIFOs nor /dev/zero.
  kinds.emplace_back("FIFO", [&] { return ::mkfifo(path.c_str(), 0600) == 0; });
  kinds.emplace_back("/dev/zero", [&] { return ::symlink("/dev/zero", path.c_str()) == 0; });
#endif
  for (const auto& [kind, make] : kinds) {
    SCOPED_TRACE(kind);
    std::filesystem::remove_all(path);
    ASSERT_TRUE(make());
    const Report report = run({"link", "1", "2", "s", "n", "a", "3"}, 0);
    EXPECT_FALSE(report.child.timed_out);
    EXPECT_EQ(report.messages, (Messages{"Error: Failed to call GetPrivateProfileStringA\n",
                                         "Error: Failed to get services information\n"}));
    EXPECT_TRUE(report.datagrams.empty());
  }
}

TEST_F(LogsendClient, ServerNameAndPortFollowTheSettingsRules) {
  const int port = sink_.port();
  const std::string digits = std::to_string(port);
  const struct {
    std::string dns, port;
    bool delivered;
  } cases[] = {
      {"localhost", digits, true},
      {"\"127.0.0.1\"", digits, true},
      {"127.0.0.1", std::to_string(port + 65536), true},  // modulo 65536
      {"127.0.0.1", std::to_string(port - 65536), true},
      {"127.0.0.1", "+" + digits + "abc", true},  // atoi stops at the first non-digit
      // Eight characters or more: only the first seven are read.
      {"127.0.0.1", std::string(7 - digits.size(), '0') + digits + "9", true},
      {"127.0.0.1", "abc", false},  // port 0: lost without a message
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dns + ":" + c.port);
    settings(c.dns, c.port);
    const Report report = run({"open", "1.5"}, c.delivered ? 1 : 0);
    EXPECT_EQ(report.datagrams.size(), c.delivered ? 1u : 0u);
    EXPECT_TRUE(report.messages.empty());
  }
}

TEST_F(LogsendClient, FailureReportCarriesTheFreeTextOrTheSystemText) {
  const std::string head =
      "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":7,\"error_number\":2,"
      "\"error_func_name\":\"open\",\"error_specify\":";
  const struct {
    std::string free_text;
    std::string specify;
  } cases[] = {
      {"", ""},
      {"disk \"C:\\\" full", "disk \\\"C:\\\\\\\" full"},
      {"@null", system_text_of(2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free_text);
    const Report report = run({"bug", "3", "7", "2", "open", c.free_text});
    ASSERT_EQ(report.datagrams.size(), 1u);
    EXPECT_EQ(report.datagrams[0].text, head + "\"" + c.specify + "\"}}");
    EXPECT_TRUE(report.messages.empty());
    EXPECT_EQ(report.child.out,
              length_traces(report.datagrams[0].text.size(), report.datagrams[0].raw.size()));
  }
  // A number the system has no text for sends nothing.
  const Report unknown = run({"bug", "3", "7", "987654", "open", "@null"}, 0);
  EXPECT_EQ(unknown.messages, Messages{"Error: Failed to get the format information\n"});
  EXPECT_TRUE(unknown.datagrams.empty());
}

TEST_F(LogsendClient, StringValuesReadBackUnchangedFromTheRecord) {
  const std::string quoted = "al\"ice\\\t";
  const Report login = run({"login", "1.0", quoted, "1"});
  ASSERT_EQ(login.datagrams.size(), 1u);
  EXPECT_EQ(param_member(login.datagrams[0].text, "user_name"), quoted);

  const Report bug = run({"bug", "3", "7", "2", "a\"b", "c\nd"});
  ASSERT_EQ(bug.datagrams.size(), 1u);
  EXPECT_EQ(param_member(bug.datagrams[0].text, "error_func_name"), "a\"b");
  EXPECT_EQ(param_member(bug.datagrams[0].text, "error_specify"), "c\nd");

  // A GBK character whose trail byte is '\\' stays two bytes, unescaped.
  const Report gbk = run({"link", "1", "2", "s", "\xD5\x5C", "a", "3"});
  ASSERT_EQ(gbk.datagrams.size(), 1u);
  EXPECT_NE(gbk.datagrams[0].text.find("\"link_service_name\":\"\xD5\x5C\","), std::string::npos)
      << gbk.datagrams[0].text;
}

TEST_F(LogsendClient, DatagramNeverExceedsTheRecordLengthPlusThirteen) {
  const size_t overhead = std::string("{\"act\":\"ClientOperate\",\"param\":}").size();
  // Incompressible bytes stored whole still fit.
  const Report fits = run({"client_random", "1500"});
  ASSERT_EQ(fits.datagrams.size(), 1u);
  EXPECT_EQ(fits.datagrams[0].text.size(), 1500 + overhead);
  EXPECT_LE(fits.datagrams[0].raw.size(), 1500 + overhead + 13);

  // A long one does not, and is not sent.
  const Report too_long = run({"client_random", "100000"}, 0);
  EXPECT_EQ(too_long.messages, Messages{"Error: Failed to compress the send_data\n"});
  EXPECT_TRUE(too_long.datagrams.empty());
}

TEST_F(LogsendClient, ZlibWithoutUncompressSendsNothing) {
  const Report report =
      run({"open", "1.5"}, 0, {stub_folder("zlib_without_uncompress"), KIV_TEST_LIB_DIR});
  EXPECT_EQ(report.messages, Messages{"Error: Failed to load zlib_dll\n"});
  EXPECT_TRUE(report.datagrams.empty());
}

TEST_F(LogsendClient, ReportsLeaveTheCallersOwnSocketsWorking) {
  const Report report = run({"own_socket", std::to_string(sink_.port())}, 3);
  EXPECT_NE(report.child.out.find("own datagram sent\n"), std::string::npos) << report.child.out;
  ASSERT_EQ(report.datagrams.size(), 3u);
  EXPECT_EQ(param_member(report.datagrams[0].text, "kiv_version"), "1.0");
  EXPECT_EQ(param_member(report.datagrams[1].text, "kiv_version"), "2.0");
  EXPECT_EQ(report.datagrams[2].raw, "own");
  EXPECT_TRUE(report.messages.empty());
}

TEST_F(LogsendClient, ConcurrentReportsArriveWhole) {
  constexpr int kThreads = 8;
  constexpr int kCount = 100;
  const Report report =
      run({"threads", std::to_string(kThreads), std::to_string(kCount)}, kThreads * kCount);
  ASSERT_EQ(report.datagrams.size(), static_cast<size_t>(kThreads * kCount));
  std::set<std::pair<int, int>> seen;
  for (const Datagram& datagram : report.datagrams) {
    int thread = -1;
    int index = -1;
    std::sscanf(datagram.text.c_str(),
                "{\"act\":\"LinkService\",\"param\":{\"link_mode\":%d,%*[^:]:%d", &thread, &index);
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "{\"act\":\"LinkService\",\"param\":{\"link_mode\":%d,\"link_state\":%d,"
                  "\"link_service_ip\":\"10.0.0.1\",\"userType_Id\":7,"
                  "\"link_service_name\":\"thread-%d\",\"link_account\":\"account\"}}",
                  thread, index, thread);
    EXPECT_EQ(datagram.text, expected);
    seen.emplace(thread, index);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kCount));
  EXPECT_TRUE(report.messages.empty());
}

// The query library binds bug_report at start-up; its failures reach the log
// server as failure records.
TEST_F(LogsendClient, QueryFailureReachesTheLogServer) {
  ChildOptions options;
  options.argv = {test_program("probe_service_list"), built_library("kiv_svcquery"), "servers",
                  "missing.lst"};
  options.cwd = dir_.path();
  // The report library of this build, named by the search path: under a
  // sanitizer the dlopen interceptor hides the query library's run path.
  search_libraries_in(options, {KIV_TEST_LIB_DIR});
  const ChildResult child = run_child(options);
  EXPECT_EQ(child.exit_code, 0) << child.err;
  EXPECT_NE(child.out.find("result=4 "), std::string::npos) << child.out;
  const auto datagrams = sink_.wait_for(1, 10s);
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_EQ(datagrams[0].text,
            "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":304,"
            "\"error_number\":2,\"error_func_name\":\"OpenFile\",\"error_specify\":\"" +
                system_text_of(2) + "\"}}");
}

}  // namespace
}  // namespace kiv::test
