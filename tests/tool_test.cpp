// End-to-end tests of the kiv tool, run as a process: the demonstration, the
// stand-in service with queries against it, the readers on a list the tool
// saved, reports reaching the stand-in's sink, and the bad-input cases.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "codec.h"
#include "recording.h"
#include "standin.h"

namespace {

using kiv::test::BackgroundChild;
using kiv::test::ChildOptions;
using kiv::test::ChildResult;
using kiv::test::run_child;
using kiv::test::TempDir;
using namespace std::chrono_literals;

const std::string kKiv = kiv::test::built_program("kiv");

// The tool's command line. A Windows command line is in the ANSI code page
// (936 here, as a Chinese client's is): the texts are given to it in GBK.
std::vector<std::string> kiv_command(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kKiv};
  for (const auto& arg : args) {
#if defined(_WIN32)
    std::string why;
    auto gbk = kiv::standin::utf8_to_gbk(arg, &why);
    if (!gbk) throw std::invalid_argument(arg + ": " + why);
    argv.push_back(std::move(*gbk));
#else
    argv.push_back(arg);
#endif
  }
  return argv;
}

struct JsonPut {
  void operator()(json_object* o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

Json parse(const std::string& text) {
  return Json(json_tokener_parse(text.c_str()));
}

// The default answer the stand-in serves for `path`, as it ships.
Json answer(const std::string& path) {
  return parse(
      kiv::test::read_file(std::string(KIV_TEST_SOURCE_DIR) + "/tools/answers/" + path + ".json"));
}

json_object* at(json_object* object, const char* name) {
  json_object* value = nullptr;
  json_object_object_get_ex(object, name, &value);
  return value;
}

std::string text_at(json_object* object, const char* name) {
  json_object* value = at(object, name);
  return value == nullptr ? "<absent>" : json_object_get_string(value);
}

int int_at(json_object* object, const char* name) {
  return json_object_get_int(at(object, name));
}

ChildResult kiv(std::vector<std::string> args, const std::string& cwd = "") {
  ChildOptions options;
  options.argv = kiv_command(args);
  options.cwd = cwd;
  ChildResult result = run_child(options);
  result.out = kiv::test::text_lines(result.out);
  result.err = kiv::test::text_lines(result.err);
  return result;
}

// `kiv serve` running in the background for one test, stopped like Ctrl-C.
class Serve {
 public:
  explicit Serve(std::vector<std::string> args) : child_(serve_command(std::move(args))) {
    // The first lines name the ports it took.
    child_.wait_for_output("ready", 10s);
    http_port_ = port_after("http 127.0.0.1:");
    udp_port_ = port_after("udp 127.0.0.1:");
  }

  int http_port() const { return http_port_; }
  int udp_port() const { return udp_port_; }
  std::string port_text() const { return std::to_string(http_port_); }
  const std::string& output() const { return child_.output(); }
  bool wait_for_output(const std::string& text) { return child_.wait_for_output(text, 10s); }

  // Stops it, with everything it printed kept, and returns its exit status.
  int stop() { return child_.stop(); }
  bool stop_was_requested() const { return child_.stop_was_requested(); }

 private:
  static std::vector<std::string> serve_command(std::vector<std::string> args) {
    args.insert(args.begin(), "serve");
    return kiv_command(args);
  }

  int port_after(const std::string& prefix) const {
    const size_t at = output().find(prefix);
    return at == std::string::npos ? 0 : std::atoi(output().c_str() + at + prefix.size());
  }

  BackgroundChild child_;
  int http_port_ = 0;
  int udp_port_ = 0;
};

// Runs `kiv query NAME --json` against the stand-in and parses its output.
Json query_json(const Serve& serve, const std::string& name, std::vector<std::string> more,
                int expected_exit) {
  std::vector<std::string> args = {
      "query", name, "--port", serve.port_text(), "--request", "{\"user\":\"demo01\"}", "--json"};
  args.insert(args.end(), more.begin(), more.end());
  const ChildResult r = kiv(args);
  EXPECT_EQ(r.exit_code, expected_exit) << name << "\n" << r.out << r.err;
  EXPECT_EQ(r.err, "") << name;
  Json doc = parse(r.out);
  EXPECT_NE(doc, nullptr) << "not one JSON document:\n" << r.out;
  return doc;
}

TEST(Tool, DemoRunsEveryStepToSuccess) {
  const ChildResult r = kiv({"demo"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("steps gave what the stand-in was set to give"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("[FAIL]"), std::string::npos) << r.out;
  // Messages of the libraries stay out of the way without -v.
  EXPECT_EQ(r.err, "");
}

TEST(Tool, ServeStopsCleanlyWhenAskedTo) {
  Serve serve({});
  ASSERT_GT(serve.http_port(), 0) << serve.output();
  const int status = serve.stop();
  if (!serve.stop_was_requested()) {
    GTEST_SKIP() << "Ctrl-Break cannot reach the stand-in here (no console): it was terminated";
  }
  EXPECT_EQ(status, 0) << serve.output();
  // Its last lines sum up what came and what was lost.
  EXPECT_NE(serve.output().find("ready; stop with Ctrl-C\nsummary: 0 HTTP requests, 0 datagrams; "
                                "datagrams dropped: "),
            std::string::npos)
      << serve.output();
  EXPECT_TRUE(serve.output().ends_with(
      ", 0 by the stand-in\njournal: 0 entries, 0 dropped from memory\nstopped\n"))
      << serve.output();
}

TEST(Tool, QueriesAgainstTheStandInReportEveryFieldTheAnswerGave) {
  Serve serve({});
  ASSERT_GT(serve.http_port(), 0) << serve.output();
  ASSERT_GT(serve.udp_port(), 0) << serve.output();

  {  // a record with texts held inside it
    Json doc = query_json(serve, "get_vpn_info", {}, 0);
    Json expected = answer("vpn_info");
    EXPECT_EQ(int_at(doc.get(), "result"), 0);
    EXPECT_EQ(text_at(doc.get(), "code"), "KIV_OK");
    EXPECT_EQ(text_at(doc.get(), "meaning"), "success");
    json_object* out = at(doc.get(), "output");
    EXPECT_EQ(text_at(out, "VPNIP"), text_at(expected.get(), "VPNIP"));
    EXPECT_EQ(text_at(out, "LocalOutIP"), text_at(expected.get(), "LocalOutIP"));
    EXPECT_EQ(int_at(out, "VPNPort"), int_at(expected.get(), "VPNPort"));
  }
  {  // texts in caller buffers, GBK on the wire, shown as UTF-8
    Json doc = query_json(serve, "get_verification_from_service", {}, 0);
    Json expected = answer("verification");
    json_object* out = at(doc.get(), "output");
    for (const char* name : {"err", "haveTime", "expired", "usepay", "bindUnvalide"}) {
      EXPECT_EQ(int_at(out, name), int_at(expected.get(), name)) << name;
    }
    for (const char* name : {"ut", "msg", "ed", "endBind"}) {
      EXPECT_EQ(text_at(out, name), text_at(expected.get(), name)) << name;
    }
  }
  {  // rows of a delay query, named as the library names them
    Json doc = query_json(serve, "get_areadelay_from_server", {}, 0);
    json_object* rows = at(at(doc.get(), "output"), "rows");
    ASSERT_TRUE(json_object_is_type(rows, json_type_array));
    Json answer_doc = answer("areadelay");
    json_object* expected = at(answer_doc.get(), "gamedelay");
    ASSERT_EQ(json_object_array_length(rows), json_object_array_length(expected));
    for (size_t i = 0; i < json_object_array_length(rows); ++i) {
      for (const char* name : {"nodeId", "areaId", "delay"}) {
        EXPECT_EQ(int_at(json_object_array_get_idx(rows, i), name),
                  int_at(json_object_array_get_idx(expected, i), name))
            << name << " of row " << i;
      }
    }
  }
  {  // the JSON text handed to the callback says what the answer's member says
    Json doc = query_json(serve, "get_usertypelist_from_server", {}, 0);
    json_object* out = at(doc.get(), "output");
    EXPECT_EQ(int_at(out, "calls"), 1);
    Json text = parse(text_at(out, "text"));
    Json expected = answer("usertypelist");
    EXPECT_TRUE(json_object_equal(text.get(), at(expected.get(), "usertypelist")))
        << text_at(out, "text");
  }
  {  // the link's export returns "err" itself: not 0, so the exit status is 1
    Json doc = query_json(serve, "get_kiv_adLink_from_service", {}, 1);
    EXPECT_EQ(int_at(doc.get(), "result"), 1);
    EXPECT_EQ(text_at(at(doc.get(), "output"), "url"), text_at(answer("ad_link").get(), "url"));
  }
  {  // the inflated request the transport sent, as the stand-in shows it
    serve.stop();
    EXPECT_NE(serve.output().find("POST /vpn_info ("), std::string::npos) << serve.output();
    EXPECT_NE(serve.output().find("): {\"user\":\"demo01\"}\n  -> 200"), std::string::npos)
        << serve.output();
  }
}

TEST(Tool, FaultsAndAnswerFoldersGiveTheResultsTheySetUp) {
  TempDir answers;
  answers.write("verification.json", "{\"err\":0,\"msg\":\"denied\"}");
  answers.write("vpn_info.json", "{\"VPNIP\":\"10.0.0.1\",\"LocalOutIP\":\"\",\"VPNPort\":1}");
  answers.write("local_ip.json", "{\"err\":1,\"ip\":\"198.51.100.7\"}");
  Serve serve({"--answers", answers.path(), "--no-built-in-answers", "--fault",
               "vpn_info:status=503", "--fault", "/local_ip:not-zlib"});
  ASSERT_GT(serve.http_port(), 0) << serve.output();

  // A refused account: only "err" is written.
  Json refused = query_json(serve, "get_verification_from_service", {}, 0);
  json_object* out = at(refused.get(), "output");
  EXPECT_EQ(json_object_object_length(out), 1) << json_object_to_json_string(out);
  EXPECT_EQ(int_at(out, "err"), 0);

  Json status = query_json(serve, "get_vpn_info", {}, 1);
  EXPECT_EQ(int_at(status.get(), "result"), 113);
  EXPECT_EQ(text_at(status.get(), "code"), "KIV_E_HTTP_STATUS");
  EXPECT_EQ(at(status.get(), "output"), nullptr);

  Json not_zlib = query_json(serve, "get_local_ip_from_service", {}, 1);
  EXPECT_EQ(int_at(not_zlib.get(), "result"), 102);
  EXPECT_EQ(text_at(not_zlib.get(), "code"), "KIV_E_UNCOMPRESS");

  // A path the folder has no answer for.
  Json missing = query_json(serve, "get_gameroute_from_server", {}, 1);
  EXPECT_EQ(int_at(missing.get(), "result"), 113);

  // The readable form says the same.
  const ChildResult text = kiv({"query", "get_vpn_info", "--port", serve.port_text(), "--request",
                                "{}", "--path", "/vpn_info"});
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_EQ(text.out,
            "get_vpn_info: 113 (the service answered with an HTTP status other than 200)\n");
}

TEST(Tool, EachFaultGivesTheResultCodeItStandsFor) {
  Serve serve({"--fault", "ad_link:not-json", "--fault", "client_title:empty", "--fault",
               "hangup:delay=2500", "--fault", "usertypelist:status=404,delay=50", "--fault",
               "loginvpn:not-zlib,not-json"});
  ASSERT_GT(serve.http_port(), 0) << serve.output();
  struct Case {
    const char* query;
    int result;
  };
  const Case cases[] = {
      {"get_kiv_adLink_from_service", 101},        // parsed, and it is not JSON
      {"get_kiv_client_title_from_service", 102},  // nothing to inflate
      {"check_hangup_from_service", 114},          // the transfer's 2-second time-out
      {"get_usertypelist_from_server", 113},
      {"get_loginvpn_from_service", 102},  // plain text: inflating fails first
      {"get_vpn_info", 0},                 // no fault on its path
  };
  for (const auto& c : cases) {
    Json doc = query_json(serve, c.query, {}, c.result == 0 ? 0 : 1);
    EXPECT_EQ(int_at(doc.get(), "result"), c.result) << c.query;
  }
  serve.stop();
  EXPECT_NE(serve.output().find("-> 200, 0 bytes, answer \"client_title\" [fault empty]"),
            std::string::npos)
      << serve.output();
  EXPECT_NE(serve.output().find("-> 404, "), std::string::npos);
}

// `kiv query NAME --json` against the service on `port`, whatever its exit status.
Json query_on(int port, const std::string& name, const std::string& path = "") {
  std::vector<std::string> args = {
      "query", name, "--port", std::to_string(port), "--request", "{\"user\":\"demo01\"}",
      "--json"};
  if (!path.empty()) args.insert(args.end(), {"--path", path});
  const ChildResult r = kiv(args);
  Json doc = parse(r.out);
  EXPECT_NE(doc, nullptr) << name << ": " << r.out << r.err;
  return doc;
}

// The result code and what the export wrote; the transport's answer text as
// the JSON it holds, since a recorded answer is laid out afresh.
std::string outcome(json_object* doc) {
  if (doc == nullptr) return "<none>";
  json_object* out = at(doc, "output");
  if (json_object* data = at(out, "respond_data")) {
    Json answer = parse(json_object_get_string(data));
    return std::to_string(int_at(doc, "result")) + " " + json_object_to_json_string(answer.get());
  }
  return std::to_string(int_at(doc, "result")) + " " + json_object_to_json_string(out);
}

std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Tool, ARecordingStandInGivesWhatItsUpstreamGivesAndItsFolderReplaysIt) {
  TempDir dir;
  const std::string folder = dir.file("recorded");
  Serve upstream({});
  Serve proxy({"--upstream", "127.0.0.1:" + upstream.port_text(), "--record", folder});
  ASSERT_GT(proxy.http_port(), 0) << proxy.output();
  const char* const names[] = {"get_verification_from_service",
                               "get_local_ip_from_service",
                               "get_kiv_adLink_from_service",
                               "get_kiv_client_title_from_service",
                               "get_loginvpn_from_service",
                               "check_hangup_from_service",
                               "get_vpn_info",
                               "get_gameroute_from_server",
                               "get_usertypelist_from_server",
                               "get_gameprocess_from_server",
                               "get_serverdelay_from_server",
                               "get_areadelay_from_server",
                               "save_game_route_info"};
  std::vector<std::string> direct;
  for (const char* name : names) {
    direct.push_back(outcome(query_on(upstream.http_port(), name).get()));
    EXPECT_EQ(outcome(query_on(proxy.http_port(), name).get()), direct.back()) << name;
  }
  direct.push_back(
      outcome(query_on(upstream.http_port(), "http_access_protocol1", "servers").get()));
  EXPECT_EQ(outcome(query_on(proxy.http_port(), "http_access_protocol1", "servers").get()),
            direct.back());
  proxy.stop();
  EXPECT_EQ(proxy.output().find("NOT recorded"), std::string::npos) << proxy.output();

  // One answer and one request per path, readable.
  const auto files = files_in(folder);
  EXPECT_EQ(files.size(), 28u) << ::testing::PrintToString(files);
  EXPECT_EQ(kiv::test::read_file(folder + "/verification.request.json"),
            "{\n  \"user\": \"demo01\"\n}\n");
  const std::string verification = kiv::test::read_file(folder + "/verification.json");
  EXPECT_NE(verification.find("\n  \"ut\": \"VIP会员\",\n"), std::string::npos) << verification;
  EXPECT_TRUE(json_object_equal(parse(verification).get(), answer("verification").get()));

  Serve replay({"--answers", folder});
  ASSERT_GT(replay.http_port(), 0) << replay.output();
  for (size_t i = 0; i < std::size(names); ++i) {
    EXPECT_EQ(outcome(query_on(replay.http_port(), names[i]).get()), direct[i]) << names[i];
  }
  EXPECT_EQ(outcome(query_on(replay.http_port(), "http_access_protocol1", "servers").get()),
            direct.back());
}

TEST(Tool, AFailingUpstreamBreaksTheTransferAndAnswersThatAreNoJsonAreKeptAsTheyCame) {
  TempDir dir;
  const std::string folder = dir.file("recorded");
  auto upstream = std::make_unique<Serve>(
      std::vector<std::string>{"--fault", "hangup:delay=1500", "--fault", "vpn_info:not-zlib",
                               "--fault", "loginvpn:not-json", "--fault", "ad_link:status=500"});
  Serve proxy({"--upstream", "127.0.0.1:" + upstream->port_text(), "--upstream-timeout", "0.5",
               "--record", folder, "--fault", "client_title:empty"});
  ASSERT_GT(proxy.http_port(), 0) << proxy.output();
  struct Case {
    const char* query;
    int result;
  };
  const Case cases[] = {
      {"check_hangup_from_service", 114},          // the upstream is too slow
      {"get_vpn_info", 102},                       // not a zlib stream
      {"get_loginvpn_from_service", 101},          // not JSON
      {"get_kiv_adLink_from_service", 113},        // status 500
      {"get_kiv_client_title_from_service", 102},  // the stand-in's own fault on top
  };
  for (const auto& c : cases) {
    EXPECT_EQ(int_at(query_on(proxy.http_port(), c.query).get(), "result"), c.result) << c.query;
  }

  // Status 200 only, as the upstream said it; what is no JSON byte for byte.
  EXPECT_EQ(
      files_in(folder),
      (std::vector<std::string>{"client_title.json", "client_title.request.json", "loginvpn.raw",
                                "loginvpn.request.json", "vpn_info.raw", "vpn_info.request.json"}));
  EXPECT_EQ(
      kiv::test::read_file(folder + "/vpn_info.raw"),
      kiv::test::read_file(std::string(KIV_TEST_SOURCE_DIR) + "/tools/answers/vpn_info.json"));
  std::string why;
  const auto html =
      kiv::standin::zlib_inflate(kiv::test::read_file(folder + "/loginvpn.raw"), 1000, &why);
  ASSERT_TRUE(html) << why;
  EXPECT_TRUE(html->starts_with("<html>")) << *html;

  const std::string upstream_port = upstream->port_text();
  // Gone: the client's transfer fails as it would against the service itself.
  upstream.reset();
  EXPECT_EQ(int_at(query_on(proxy.http_port(), "get_vpn_info").get(), "result"), 114);
  proxy.stop();
  EXPECT_NE(proxy.output().find("-> 504, 0 bytes, upstream 127.0.0.1:" + upstream_port +
                                " did not answer within 500 ms"),
            std::string::npos)
      << proxy.output();
  EXPECT_NE(proxy.output().find("-> 502, 0 bytes, upstream 127.0.0.1:" + upstream_port +
                                " refused the connection"),
            std::string::npos);

  Serve replay({"--answers", folder});
  for (const auto& c : {Case{"get_vpn_info", 102}, Case{"get_loginvpn_from_service", 101},
                        Case{"get_kiv_client_title_from_service", 1}}) {  // its "err"
    EXPECT_EQ(int_at(query_on(replay.http_port(), c.query).get(), "result"), c.result) << c.query;
  }
}

TEST(Tool, AFailedRecordingKeepsTheEarlierFileAndTheClientsAnswer) {
#if defined(_WIN32)
  GTEST_SKIP() << "the failing write comes from a file-size limit, which Windows has not";
#else
  TempDir dir;
  const std::string folder = dir.file("recorded");
  kiv::standin::Options options;
  options.answers = kiv::standin::AnswerSet();
  options.answers.set("notice", "{\"msg\":\"线路维护\"}");
  kiv::standin::Service upstream(std::move(options));
  // A file-size limit of a few hundred bytes, as a full disk would give; the
  // signal it raises is ignored, so that the write fails instead.
  BackgroundChild proxy({"/bin/sh", "-c",
                         "trap '' XFSZ; ulimit -f 1 && exec \"$0\" serve --upstream \"$1\" "
                         "--record \"$2\"",
                         kKiv, "127.0.0.1:" + std::to_string(upstream.http_port()), folder});
  ASSERT_TRUE(proxy.wait_for_output("ready", 10s)) << proxy.output();
  const size_t at = proxy.output().find("http 127.0.0.1:");
  ASSERT_NE(at, std::string::npos);
  const std::string port = std::to_string(std::atoi(proxy.output().c_str() + at + 15));
  auto fetch = [&] {
    return kiv({"query", "http_access_protocol1", "--port", port, "--path", "notice", "--request",
                "{}"})
        .exit_code;
  };
  ASSERT_EQ(fetch(), 0);
  const std::string first = kiv::test::read_file(folder + "/notice.json");
  EXPECT_EQ(first, "{\n  \"msg\": \"线路维护\"\n}\n");

  // The next write fails (it would pass the limit): the file stays as it was.
  upstream.set_answer("notice", "{\"msg\":\"" + std::string(4096, 'x') + "\"}");
  EXPECT_EQ(fetch(), 0);
  EXPECT_EQ(kiv::test::read_file(folder + "/notice.json"), first);
  EXPECT_FALSE(std::filesystem::exists(folder + "/notice.json.partial"));
  upstream.set_answer("notice", "{\"msg\":\"恢复\"}");
  EXPECT_EQ(fetch(), 0);
  EXPECT_EQ(kiv::test::read_file(folder + "/notice.json"), "{\n  \"msg\": \"恢复\"\n}\n");
  proxy.stop();
  EXPECT_NE(proxy.output().find("NOT recorded: cannot write " + folder +
                                "/notice.json.partial: File too large"),
            std::string::npos)
      << proxy.output();
#endif
}

TEST(Tool, ReportsPassOnToTheUpstreamLogServerAndStillReachTheSink) {
  TempDir dir;
  const std::string sink = dir.file("sink.jsonl");
  Serve upstream({});
  Serve proxy(
      {"--upstream-log", "127.0.0.1:" + std::to_string(upstream.udp_port()), "--sink", sink});
  const ChildResult r = kiv({"report", "open_login", "1.5.2", "--log-server",
                             "127.0.0.1:" + std::to_string(proxy.udp_port())});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::string record = "{\"act\":\"OpenLoginService\",\"param\":{\"kiv_version\":\"1.5.2\"}}";
  std::string lines;
  for (int i = 0; i < 100 && lines.empty(); ++i) {
    std::this_thread::sleep_for(50ms);
    lines = kiv::test::read_file(sink);
  }
  EXPECT_EQ(lines, record + "\n");
  // Forwarded before the sink is written: it may still be on its way.
  upstream.wait_for_output(" bytes): " + record + "\n");
  upstream.stop();
  EXPECT_NE(upstream.output().find(" bytes): " + record + "\n"), std::string::npos)
      << upstream.output();
}

TEST(Tool, ServersReadsTheListThatHttpAccessProtocol2Saved) {
  Serve serve({});
  TempDir dir;
  const std::string file = dir.file("servers.dat");
  Json saved = query_json(serve, "http_access_protocol2", {"--save", file}, 0);
  EXPECT_EQ(text_at(at(saved.get(), "output"), "saveFile"), file);

  Json list = answer("servers");
  {
    const ChildResult r = kiv({"servers", file, "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    Json doc = parse(r.out);
    EXPECT_EQ(int_at(doc.get(), "err"), int_at(list.get(), "err"));
    json_object* rows = at(doc.get(), "rows");
    json_object* servers = at(list.get(), "server");
    ASSERT_EQ(json_object_array_length(rows), json_object_array_length(servers));
    for (size_t i = 0; i < json_object_array_length(rows); ++i) {
      json_object* row = json_object_array_get_idx(rows, i);
      json_object* server = json_object_array_get_idx(servers, i);
      EXPECT_EQ(int_at(row, "serverId"), int_at(server, "id"));
      EXPECT_EQ(text_at(row, "serverName"), text_at(server, "serverName"));
      EXPECT_EQ(int_at(row, "charge"), json_object_get_boolean(at(server, "charge")) ? 1 : 0);
      EXPECT_FLOAT_EQ(static_cast<float>(json_object_get_double(at(row, "userablePer"))),
                      static_cast<float>(json_object_get_double(at(server, "userablePer"))));
      json_object* ips = at(row, "serverIp");
      json_object* expected_ips = at(server, "serverip");
      ASSERT_EQ(json_object_array_length(ips), json_object_array_length(expected_ips));
      for (size_t a = 0; a < json_object_array_length(ips); ++a) {
        EXPECT_EQ(text_at(json_object_array_get_idx(ips, a), "ip"),
                  text_at(json_object_array_get_idx(expected_ips, a), "ip"));
      }
    }
  }
  {
    const ChildResult r = kiv({"server-types", file, "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    Json doc = parse(r.out);
    json_object* rows = at(doc.get(), "rows");
    json_object* types = at(list.get(), "serverType");
    ASSERT_EQ(json_object_array_length(rows), json_object_array_length(types));
    for (size_t i = 0; i < json_object_array_length(rows); ++i) {
      for (const char* name : {"id", "name", "pid"}) {
        EXPECT_EQ(text_at(json_object_array_get_idx(rows, i), name),
                  text_at(json_object_array_get_idx(types, i), name));
      }
    }
  }
  {  // the table names every server
    const ChildResult r = kiv({"servers", file});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json_object* servers = at(list.get(), "server");
    for (size_t i = 0; i < json_object_array_length(servers); ++i) {
      EXPECT_NE(r.out.find(text_at(json_object_array_get_idx(servers, i), "serverName")),
                std::string::npos)
          << r.out;
    }
  }
  {  // a file that is not a saved list: the reader's own result code
    TempDir other;
    other.write("bad.dat", "not compressed");
    const ChildResult r = kiv({"servers", other.file("bad.dat"), "--json"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(int_at(parse(r.out).get(), "result"), 102);
  }
}

TEST(Tool, ReportsArriveAtTheStandInSink) {
  TempDir dir;
  const std::string sink = dir.file("sink.jsonl");
  Serve serve({"--sink", sink});
  ASSERT_GT(serve.udp_port(), 0) << serve.output();
  const std::string server = "127.0.0.1:" + std::to_string(serve.udp_port());

  const ChildResult link = kiv({"report", "link_report", "1", "-2", "198.51.100.21", "上海电信一区",
                                "demo01", "2", "--log-server", server});
  EXPECT_EQ(link.exit_code, 0) << link.out << link.err;
  const ChildResult open = kiv({"report", "open_login", "1.5.2", "--log-server", server});
  EXPECT_EQ(open.exit_code, 0) << open.out << open.err;

  std::string lines;
  for (int i = 0; i < 100 && std::count(lines.begin(), lines.end(), '\n') < 2; ++i) {
    std::this_thread::sleep_for(50ms);
    lines = kiv::test::read_file(sink);
  }
  EXPECT_EQ(lines,
            "{\"act\":\"LinkService\",\"param\":{\"link_mode\":1,\"link_state\":-2,"
            "\"link_service_ip\":\"198.51.100.21\",\"userType_Id\":2,"
            "\"link_service_name\":\"上海电信一区\",\"link_account\":\"demo01\"}}\n"
            "{\"act\":\"OpenLoginService\",\"param\":{\"kiv_version\":\"1.5.2\"}}\n");

  // Every report, its arguments as the command line gives them.
  struct Case {
    std::vector<std::string> args;
    std::string record;
  };
  const Case cases[] = {
      {{"login_state_report", "1.5.2", "demo01", "-1"},
       "{\"act\":\"LoginService\",\"param\":{\"kiv_version\":\"1.5.2\",\"user_name\":\"demo01\","
       "\"login_state\":-1}}"},
      {{"break", "1.5.2", "demo01", "198.51.100.21", "2", "7"},
       "{\"act\":\"OutLineState\",\"param\":{\"kiv_version\":\"1.5.2\",\"user_name\":\"demo01\", "
       "\"server_ip\":\"198.51.100.21\",\"dial_mode\":2,\"disconnect_type\":7}}"},
      {{"kiv_disconnect_report", "1.5.2", "demo01", "198.51.100.21", "香港国际专线", "4"},
       "{\"act\":\"DisconnServer\",\"param\":{\"kiv_version\":\"1.5.2\",\"user_name\":\"demo01\","
       "\"dial_module\":4,\"server_ip\":\"198.51.100.21\",\"server_name\":\"香港国际专线\"}}"},
      {{"client_operate", "{\"op\":\"speed_test\"}"},
       "{\"act\":\"ClientOperate\",\"param\":{\"op\":\"speed_test\"}}"},
      {{"bug_report", "3", "302", "28", "WriteFile", ""},
       "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":302,\"error_number\":28,"
       "\"error_func_name\":\"WriteFile\",\"error_specify\":\"\"}}"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"report"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"--log-server", server});
    const ChildResult r = kiv(args);
    EXPECT_EQ(r.exit_code, 0) << c.args[0] << "\n" << r.out << r.err;
    lines += c.record + "\n";
  }
  std::string arrived;
  for (int i = 0; i < 100 && arrived.size() < lines.size(); ++i) {
    std::this_thread::sleep_for(50ms);
    arrived = kiv::test::read_file(sink);
  }
  EXPECT_EQ(arrived, lines);

  // Without --log-server the settings come from the current folder; here there
  // are none: the library logs why, nothing is sent, and the exit status says so.
  TempDir empty;
  const ChildResult quiet = kiv({"report", "open_login_report", "1.5.2"}, empty.path());
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_EQ(quiet.err, "kiv: the report library logged 1 message; run with -v to see them\n");
  const ChildResult verbose = kiv({"-v", "report", "open_login_report", "1.5.2"}, empty.path());
  EXPECT_EQ(verbose.exit_code, 1);
  EXPECT_NE(verbose.err.find("[library] Error :./loginurl.ini dose not Exits"), std::string::npos)
      << verbose.err;
  serve.stop();
  EXPECT_EQ(kiv::test::read_file(sink), lines) << "no further datagram";
}

TEST(Tool, VerboseShowsTheLibrariesMessagesReadableAndKeepsStandardOutputClean) {
  Serve serve({"--fault", "local_ip:not-zlib"});
  // Without -v: nothing on standard error, even for a failing call.
  const ChildResult quiet =
      kiv({"query", "get_local_ip_from_service", "--port", serve.port_text(), "--request", "{}"});
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_EQ(quiet.err, "");

  // With -v: the start-up lines and the GBK failure line, as UTF-8.
  const ChildResult loud = kiv(
      {"-v", "query", "get_local_ip_from_service", "--port", serve.port_text(), "--request", "{}"});
  EXPECT_NE(loud.err.find("[library] Success: Load kiv_json.dll\n"), std::string::npos) << loud.err;
  EXPECT_NE(loud.err.find("[library] 解压HTTP返回数据失败: line: 810"), std::string::npos)
      << loud.err;

  // The game-route query prints its progress with printf: with --json the
  // standard output is still exactly one JSON document.
  const ChildResult routes = kiv({"query", "get_gameroute_from_server", "--port", serve.port_text(),
                                  "--request", "{}", "--json", "-v"});
  EXPECT_EQ(routes.exit_code, 0) << routes.err;
  EXPECT_NE(parse(routes.out), nullptr) << routes.out;
  EXPECT_NE(routes.err.find("[library stdout] 解析正确"), std::string::npos) << routes.err;
}

// The system's text for a missing file: Windows gives FormatMessageA's, in
// the system's code page.
#if defined(_WIN32)
const std::string kNoSuchFileText;
#else
const std::string kNoSuchFileText = "No such file";
#endif

TEST(Tool, BadInputGetsAClearErrorAndExitStatus2) {
  TempDir dir;
  dir.write("file.txt", "a file, not a folder");
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{}, "A subcommand is required"},
      {{"query", "get_everything", "--port", "80", "--request", "{}"},
       "unknown query \"get_everything\""},
      {{"query", "get_vpn_info", "--request", "{}"}, "--port is required"},
      {{"query", "get_vpn_info", "--port", "80"}, "--request is required"},
      {{"query", "get_vpn_info", "--port", "0", "--request", "{}"},
       "--port: Value 0 not in range 1 to 65535"},
      {{"query", "get_vpn_info", "--port", "65536", "--request", "{}"},
       "--port: Value 65536 not in range"},
      {{"query", "get_vpn_info", "--port", "80x", "--request", "{}"},
       "--port: Value 80x not in range"},
      {{"query", "get_vpn_info", "--port", "80", "--request", "@" + dir.file("none.txt")},
       "cannot read " + dir.file("none.txt") + ": " + kNoSuchFileText},
      {{"query", "http_access_protocol2", "--port", "80", "--request", "{}"}, "needs --save FILE"},
      {{"servers", dir.file("none.dat")}, "cannot read"},
      {{"server-types"}, "FILE is required"},
      {{"report", "goodbye_report", "x"}, "unknown report \"goodbye_report\""},
      {{"report", "link_report", "1", "2", "ip"}, "link_report takes 6 arguments, not 3"},
      {{"report", "login_state_report", "1.5", "demo", "online"},
       "login_state must be a whole number"},
      {{"report", "open_login_report", "1.5", "--log-server", "127.0.0.1:70000"},
       "--log-server port must be a port"},
      {{"report", "open_login_report", "1.5", "--log-server", "127.0.0.1"}, "must be HOST:PORT"},
      {{"serve", "--udp-port", "-1"}, "--udp-port: Value -1 not in range 0 to 65535"},
      {{"serve", "--answers", dir.file("none")}, "is not a readable folder"},
      {{"serve", "--fault", "vpn_info:status=99"}, "status must be an HTTP status"},
      {{"serve", "--fault", "vpn_info:slow"}, "unknown fault \"slow\""},
      {{"serve", "--upstream", "127.0.0.1"}, "--upstream must be HOST:PORT"},
      {{"serve", "--upstream-timeout", "3"}, "requires --upstream"},
      {{"serve", "--upstream", "127.0.0.1:80", "--upstream-timeout", "0"}, "--upstream-timeout"},
      {{"serve", "--upstream", "127.0.0.1:80", "--answers", dir.path()}, "excludes --upstream"},
      {{"serve", "--record", dir.file("file.txt") + "/recorded"}, "cannot record into"},
  };
  for (const auto& c : cases) {
    std::string command;
    for (const auto& a : c.args) command += " " + a;
    const ChildResult r = kiv(c.args);
    EXPECT_EQ(r.exit_code, 2) << "kiv" << command << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << "kiv" << command << "\n" << r.err;
    EXPECT_EQ(r.out, "") << "kiv" << command;
  }
}

}  // namespace

namespace {

// The stand-in's own pieces, in-process.
TEST(StandIn, FaultSpecsParseToWhatTheyDescribe) {
  struct Case {
    const char* spec;
    const char* canonical;  // nullptr: rejected
  };
  const Case cases[] = {
      {"status=500", "status=500"},
      {"not-json,delay=250,status=404", "status=404,delay=250,not-json"},
      {"empty,not-zlib", "empty,not-zlib"},
      {"delay=0", ""},
      {"", nullptr},
      {"status=", nullptr},
      {"status=199", nullptr},
      {"status=600", nullptr},
      {"status=50x", nullptr},
      {"delay=-1", nullptr},
      {"empty,,not-zlib", nullptr},
      {"slow", nullptr},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto fault = kiv::standin::parse_fault(c.spec, &why);
    if (c.canonical == nullptr) {
      EXPECT_FALSE(fault.has_value()) << c.spec;
      EXPECT_FALSE(why.empty()) << c.spec;
    } else {
      ASSERT_TRUE(fault.has_value()) << c.spec << ": " << why;
      EXPECT_EQ(fault->describe(), c.canonical) << c.spec;
    }
  }
}

TEST(StandIn, InflateTakesExactlyOneCompleteStream) {
  using kiv::standin::zlib_compress;
  using kiv::standin::zlib_inflate;
  const std::string text = "{\"act\":\"OpenLoginService\",\"param\":{\"kiv_version\":\"1.5\"}}";
  const std::string stream = zlib_compress(text);
  std::string why;
  EXPECT_EQ(zlib_inflate(stream, 1000, &why), text);
  EXPECT_FALSE(zlib_inflate(stream.substr(0, stream.size() - 1), 1000, &why));
  EXPECT_EQ(why, "truncated zlib stream");
  EXPECT_FALSE(zlib_inflate(stream + "x", 1000, &why));
  EXPECT_EQ(why, "bytes after the end of the zlib stream");
  EXPECT_FALSE(zlib_inflate(text, 1000, &why));
  EXPECT_FALSE(zlib_inflate("", 1000, &why));
  EXPECT_FALSE(zlib_inflate(stream, text.size() - 1, &why));
  EXPECT_EQ(why, "inflates beyond the size limit");
}

TEST(StandIn, Utf8BecomesGbkAndWhatGbkCannotHoldIsRefusedWhereItBegins) {
  using kiv::standin::utf8_to_gbk;
  struct Case {
    const char* name;
    std::string utf8;
    std::optional<std::string> gbk;  // nullopt: refused
    const char* error = "";
  };
  const std::string unmappable = "a character GBK cannot hold, or text that is not UTF-8, at byte ";
  const Case cases[] = {
      {"ascii as it is", std::string("demo01\0\x7F", 8), std::string("demo01\0\x7F", 8)},
      {"two-byte characters", "上海电信一区", "\xC9\xCF\xBA\xA3\xB5\xE7\xD0\xC5\xD2\xBB\xC7\xF8"},
      {"mixed, with punctuation", "VIP会员·—", "VIP\xBB\xE1\xD4\xB1\xA1\xA4\xA1\xAA"},
      {"the euro sign is one byte", "1€", "1\x80"},
      {"language tags are dropped",
       "a\xF3\xA0\x81\x81"
       "b",
       "ab"},
      {"outside the character set", "ok\xF0\x9F\x98\x80", std::nullopt, "2"},
      {"a lead byte without its trail", "ab\xE4\x41", std::nullopt, "2"},
      {"overlong form", "\xC0\x80", std::nullopt, "0"},
      {"surrogate", "x\xED\xA0\x80", std::nullopt, "1"},
      {"above the last code point", "\xF4\x90\x80\x80", std::nullopt, "0"},
      {"a stray continuation byte", "上\x80", std::nullopt, "3"},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto gbk = utf8_to_gbk(c.utf8, &why);
    EXPECT_EQ(gbk, c.gbk) << c.name;
    if (!c.gbk) {
      EXPECT_EQ(why, unmappable + c.error) << c.name;
    }
  }
  // Text that stops inside a character is not UTF-8 at all.
  for (const std::string cut : {"ab\xE4\xB8", "ab\xE4", "ab\xF8\x80"}) {
    std::string why;
    EXPECT_FALSE(utf8_to_gbk(cut, &why));
    EXPECT_EQ(why, "text that is not UTF-8, at byte 2");
  }
}

TEST(StandIn, RecordedAnswersAreLaidOutOnlyWhenEveryByteComesBack) {
  using kiv::standin::answer_file;
  using kiv::standin::json_pretty;
  using kiv::standin::zlib_compress;
  // Tokens stay as they were, strings with their escapes and spacing.
  EXPECT_EQ(
      json_pretty(" {\"a\" :[1, 2.50e+1,{ }, [] ],\"b\":\"x\\\" ,{y\",\"c\":{\"d\":null}}\r\n"),
      "{\n  \"a\": [\n    1,\n    2.50e+1,\n    {},\n    []\n  ],\n  \"b\": \"x\\\" ,{y\",\n"
      "  \"c\": {\n    \"d\": null\n  }\n}\n");
  EXPECT_EQ(json_pretty("\"text\""), "\"text\"\n");
  for (const char* not_strict :
       {"", "{\"a\":1} x", "{'a':1}", "[1,]", "[1] // note", "{\"a\":1", "<html></html>"}) {
    EXPECT_EQ(json_pretty(not_strict), std::nullopt) << not_strict;
  }

  // GBK JSON becomes UTF-8; anything else is kept exactly as it came.
  const auto json = answer_file(zlib_compress("{\"ut\":\"VIP\xBB\xE1\xD4\xB1\"}"));
  EXPECT_EQ(json.extension, ".json");
  EXPECT_EQ(json.bytes, "{\n  \"ut\": \"VIP会员\"\n}\n");
  for (const std::string& body :
       {std::string("{\"ut\":1}"), zlib_compress("{\"ut\":\"\xFF\xFF\"}"), zlib_compress("busy"),
        zlib_compress("{\"ut\":1}") + "x", std::string()}) {
    const auto raw = answer_file(body);
    EXPECT_EQ(raw.extension, ".raw");
    EXPECT_EQ(raw.bytes, body);
  }
}

TEST(StandIn, ServesAnswersInGbkAndRefusesTextGbkCannotHold) {
  kiv::standin::Options options;
  options.answers = kiv::standin::AnswerSet();
  options.answers.set("/notice", "{\"msg\":\"线路维护\"}");
  kiv::standin::Service service(std::move(options));
  EXPECT_THROW(service.set_answer("notice", "{\"msg\":\"\xF0\x9F\x98\x80\"}"), std::runtime_error);

  // What a client receives: the GBK bytes, compressed.
  const ChildResult r =
      kiv({"query", "http_access_protocol1", "--port", std::to_string(service.http_port()),
           "--path", "notice", "--request", "{}", "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  Json doc = parse(r.out);
  json_object* out = at(doc.get(), "output");
  EXPECT_EQ(int_at(out, "respond_size"), 18);  // 4 characters of 2 bytes in GBK (22 in UTF-8)
  EXPECT_EQ(text_at(out, "respond_data"), "{\"msg\":\"线路维护\"}");
  const auto exchanges = service.take_exchanges();
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(exchanges[0].path, "/notice");
  EXPECT_EQ(exchanges[0].request, "{}");

  kiv::standin::Options bad;
  bad.answers = kiv::standin::AnswerSet();
  bad.answers.set("smile", "\xF0\x9F\x98\x80");
  EXPECT_THROW(kiv::standin::Service{std::move(bad)}, std::runtime_error);
}

// What a client developer's script needs of `kiv serve`: ports it can read
// without mistaking a client's, the journal from the shell, as it grows too,
// and rules that answer by the request.
TEST(Tool, ServeTellsScriptsItsPortsAndKivJournalShowsWhatArrived) {
  TempDir dir;
  dir.write("rules.json",
            R"([{"path":"verification","when":{"pwd":"wrong"},"answer":{"err":0,"msg":"no"}}])");
  Serve serve({"--ready-file", dir.file("ready.json"), "--journal", dir.file("journal.jsonl"),
               "--rules", dir.file("rules.json")});
  ASSERT_GT(serve.http_port(), 0) << serve.output();
  const std::string port = serve.port_text();
  const std::string control = "http://127.0.0.1:" + port + "/__kiv/";
  EXPECT_NE(serve.output().find("\ncontrol: " + control + " "), std::string::npos)
      << serve.output();

  // The ready file and the start-up line say the same, as JSON.
  Json ready = parse(kiv::test::read_file(dir.file("ready.json")));
  ASSERT_NE(ready, nullptr);
  EXPECT_EQ(int_at(ready.get(), "http_port"), serve.http_port());
  EXPECT_EQ(int_at(ready.get(), "udp_port"), serve.udp_port());
  EXPECT_EQ(text_at(ready.get(), "control"), control);
  const std::string marker = "\nlistening ";
  const size_t at_line = serve.output().find(marker);
  ASSERT_NE(at_line, std::string::npos) << serve.output();
  const size_t end = serve.output().find('\n', at_line + 1);
  Json line = parse(serve.output().substr(at_line + marker.size(), end - at_line - marker.size()));
  ASSERT_NE(line, nullptr);
  EXPECT_TRUE(json_object_equal(line.get(), ready.get()));

  // A rule refuses the wrong password; the right one gets the default.
  const ChildResult refused = kiv({"query", "get_verification_from_service", "--port", port,
                                   "--request", R"({"user":"demo01","pwd":"wrong"})", "--json"});
  EXPECT_EQ(refused.exit_code, 0) << refused.out << refused.err;
  EXPECT_EQ(int_at(at(parse(refused.out).get(), "output"), "err"), 0) << refused.out;
  Json accepted = query_json(serve, "get_verification_from_service", {}, 0);
  EXPECT_EQ(int_at(at(accepted.get(), "output"), "err"), 1);
  // A request that is not JSON is answered, and marked.
  const ChildResult odd =
      kiv({"query", "get_vpn_info", "--port", port, "--request", "user=demo01"});
  EXPECT_EQ(odd.exit_code, 0) << odd.out << odd.err;
  const std::string server = "127.0.0.1:" + std::to_string(serve.udp_port());
  EXPECT_EQ(kiv({"report", "login_state", "1.5", "demo01", "1", "--log-server", server}).exit_code,
            0);
  ASSERT_TRUE(serve.wait_for_output("datagram from 127.0.0.1:")) << serve.output();
  EXPECT_NE(serve.output().find("  [request not JSON]"), std::string::npos) << serve.output();
  // Only the start-up line names a UDP address at the start of a line.
  EXPECT_EQ(serve.output().find("\nudp ", serve.output().find("\nudp ") + 1), std::string::npos)
      << serve.output();

  // From the shell: every entry, one line each, in order.
  const ChildResult all = kiv({"journal", "--port", port});
  ASSERT_EQ(all.exit_code, 0) << all.out << all.err;
  EXPECT_NE(all.out.find("#1 "), std::string::npos) << all.out;
  const size_t first = all.out.find("POST /verification from 127.0.0.1:");
  const size_t second = all.out.find("POST /verification", first + 1);
  const size_t third = all.out.find("POST /vpn_info");
  const size_t fourth = all.out.find("datagram from 127.0.0.1:");
  EXPECT_TRUE(first < second && second < third && third < fourth && fourth != std::string::npos)
      << all.out;
  EXPECT_NE(all.out.find("\"pwd\":\"wrong\""), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("user=demo01\n  [request not JSON]"), std::string::npos) << all.out;
  const ChildResult udp = kiv({"journal", "--port", port, "--kind", "udp", "--json"});
  ASSERT_EQ(udp.exit_code, 0) << udp.err;
  Json entry = parse(udp.out);
  ASSERT_NE(entry, nullptr) << udp.out;
  EXPECT_EQ(text_at(entry.get(), "act"), "LoginService");
  EXPECT_EQ(text_at(at(at(entry.get(), "record"), "param"), "user_name"), "demo01");
  const ChildResult path = kiv({"journal", "--port", port, "--path", "/vpn_info", "--json"});
  EXPECT_EQ(std::count(path.out.begin(), path.out.end(), '\n'), 1) << path.out;

  // Following: what comes later is printed as it comes.
  BackgroundChild follow(kiv_command({"journal", "--port", port, "--follow", "--kind", "udp"}));
  ASSERT_TRUE(follow.wait_for_output("LoginService", 10s)) << follow.output();
  EXPECT_EQ(kiv({"report", "open_login", "1.6", "--log-server", server}).exit_code, 0);
  EXPECT_TRUE(follow.wait_for_output("OpenLoginService", 10s)) << follow.output();
  follow.stop();

  // The journal file holds every entry, one JSON line each.
  serve.stop();
  const std::string file = kiv::test::read_file(dir.file("journal.jsonl"));
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 5) << file;
  Json first_line = parse(file.substr(0, file.find('\n')));
  EXPECT_EQ(int_at(first_line.get(), "seq"), 1);
  EXPECT_EQ(text_at(first_line.get(), "path"), "/verification");

  // Unreachable: a clear failure.
  const ChildResult gone = kiv({"journal", "--port", port});
  EXPECT_EQ(gone.exit_code, 1);
  EXPECT_NE(gone.err.find("no answer from the stand-in"), std::string::npos) << gone.err;
}

TEST(Tool, BuiltInAnswersAreWrittenOutAndAnAnswerFolderIsLaidOverThem) {
  TempDir dir;
  const std::string folder = dir.file("answers");
  const ChildResult written = kiv({"serve", "--write-answers", folder});
  ASSERT_EQ(written.exit_code, 0) << written.out << written.err;
  const auto files = files_in(folder);
  EXPECT_EQ(files.size(), files_in(std::string(KIV_TEST_SOURCE_DIR) + "/tools/answers").size());
  EXPECT_EQ(
      kiv::test::read_file(folder + "/vpn_info.json"),
      kiv::test::read_file(std::string(KIV_TEST_SOURCE_DIR) + "/tools/answers/vpn_info.json"));
  // A second run keeps what the user changed.
  dir.write("answers/vpn_info.json", R"({"VPNIP":"10.1.2.3","LocalOutIP":"","VPNPort":7})");
  const ChildResult again = kiv({"serve", "--write-answers", folder});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_NE(again.out.find("kept " + folder + "/vpn_info.json"), std::string::npos) << again.out;

  // One changed answer in a folder of its own: the others are the built-in ones.
  TempDir only;
  only.write("vpn_info.json", kiv::test::read_file(folder + "/vpn_info.json"));
  Serve serve({"--answers", only.path()});
  ASSERT_GT(serve.http_port(), 0) << serve.output();
  Json vpn = query_json(serve, "get_vpn_info", {}, 0);
  EXPECT_EQ(text_at(at(vpn.get(), "output"), "VPNIP"), "10.1.2.3");
  query_json(serve, "get_gameroute_from_server", {}, 0);

  // Each query's path at the stand-in, in the help.
  const ChildResult help = kiv({"query", "--help"});
  EXPECT_NE(help.out.find("get_vpn_info                       /vpn_info"), std::string::npos)
      << help.out;
  EXPECT_NE(help.out.find("/save_game_route"), std::string::npos) << help.out;
}

}  // namespace
