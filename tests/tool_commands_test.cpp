// The kiv tool as a user meets it, run as a process: the demonstration, the
// stand-in started and stopped, the libraries' messages with -v, and the
// bad-input cases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "tool_json.h"
#include "tool_support.h"

namespace {

using kiv::test::ChildResult;
using kiv::test::kiv;
using kiv::test::parse;
using kiv::test::Serve;
using kiv::test::TempDir;

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
  // Named, so that each text below is added to a string that stays.
  const std::string none = dir.file("none.txt");
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
      {{"query", "get_vpn_info", "--port", "80", "--request", "@" + none},
       "cannot read " + none + ": " + kNoSuchFileText},
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
