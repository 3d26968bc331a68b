// The tool's reports, run as a process, reaching the stand-in's sink: every
// report with its arguments as the command line gives them, and a report
// with no settings to send it by.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "tool_support.h"

namespace {

using kiv::test::ChildResult;
using kiv::test::kiv;
using kiv::test::kiv_in;
using kiv::test::Serve;
using kiv::test::TempDir;
using namespace std::chrono_literals;

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
  const ChildResult quiet = kiv_in(empty.path(), {"report", "open_login_report", "1.5.2"});
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_EQ(quiet.err, "kiv: the report library logged 1 message; run with -v to see them\n");
  const ChildResult verbose = kiv_in(empty.path(), {"-v", "report", "open_login_report", "1.5.2"});
  EXPECT_EQ(verbose.exit_code, 1);
  EXPECT_NE(verbose.err.find("[library] Error :./loginurl.ini dose not Exits"), std::string::npos)
      << verbose.err;
  serve.stop();
  EXPECT_EQ(kiv::test::read_file(sink), lines) << "no further datagram";
}

}  // namespace
