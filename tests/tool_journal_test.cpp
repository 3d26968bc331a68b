// `kiv serve` driven by a script, run as a process: the ports it tells, its
// rules, and the journal read with `kiv journal`, as it grows too.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"
#include "tool_json.h"
#include "tool_support.h"

namespace {

using kiv::test::at;
using kiv::test::BackgroundChild;
using kiv::test::ChildResult;
using kiv::test::int_at;
using kiv::test::Json;
using kiv::test::kiv;
using kiv::test::kiv_command;
using kiv::test::parse;
using kiv::test::query_json;
using kiv::test::Serve;
using kiv::test::TempDir;
using kiv::test::text_at;
using namespace std::chrono_literals;

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

}  // namespace
