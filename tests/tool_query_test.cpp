// The tool's queries against the stand-in, run as a process: every field an
// answer gives, the results that faults and answer folders set up, and the
// built-in answers written out and overlaid.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "tool_json.h"
#include "tool_support.h"

namespace {

using kiv::test::answer;
using kiv::test::at;
using kiv::test::ChildResult;
using kiv::test::files_in;
using kiv::test::int_at;
using kiv::test::Json;
using kiv::test::kiv;
using kiv::test::parse;
using kiv::test::query_json;
using kiv::test::Serve;
using kiv::test::TempDir;
using kiv::test::text_at;

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
