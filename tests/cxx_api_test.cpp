// The C++ interface (kiv.hpp) against the stand-in web service and log
// server: each wrapped export gives the values the C export gives, sends the
// same request and the same datagram, and tells failures by their codes.
// (Its message scopes and the codes' names: cxx_messages_test.cpp.)
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "kiv.hpp"
#include "query_test_support.h"
#include "standin.h"

namespace kiv::test {
namespace {

using namespace std::chrono_literals;

standin::Fault fault(std::string_view text) {
  std::string why;
  const auto parsed = standin::parse_fault(text, &why);
  if (!parsed) throw std::invalid_argument(why);
  return *parsed;
}

class CxxApi : public ::testing::Test {
 protected:
  kiv::request_head head(std::string url, std::string request = R"({"user":"demo01"})") const {
    return {"127.0.0.1", std::move(url), service_.http_port(), "http", std::move(request)};
  }
  // The newest request the service saw, as "path body".
  std::string last_request() {
    const auto exchanges = service_.take_exchanges();
    if (exchanges.empty()) return "no request";
    return exchanges.back().path + " " + exchanges.back().request.value_or("<none>");
  }

  standin::Service service_{standin::Options{}};
};

TEST_F(CxxApi, RecordQueriesGiveTheAnswersValues) {
  service_.set_answer("verification", R"({"err":1,"haveTime":3600,"expired":0,"usepay":1,)"
                                      R"("ut":"vip","msg":"welcome","bindUnvalide":0,)"
                                      R"("ed":"2027-12-31","endBind":"2027-06-30"})");
  const auto verification = kiv::get_verification_from_service(head("verification"));
  ASSERT_TRUE(verification.ok()) << verification.code();
  EXPECT_EQ(verification.code(), KIV_OK);
  EXPECT_EQ(verification.name(), "KIV_OK");
  EXPECT_EQ(verification->err, 1);
  EXPECT_EQ(verification->haveTime, 3600);
  EXPECT_EQ(verification->usepay, 1);
  EXPECT_EQ(verification->ut, "vip");
  EXPECT_EQ(verification->msg, "welcome");
  EXPECT_EQ(verification->ed, "2027-12-31");
  EXPECT_EQ(verification->endBind, "2027-06-30");
  EXPECT_EQ(last_request(), R"(/verification {"user":"demo01"})");

  service_.set_answer("verification", R"({"err":0,"msg":"refused","haveTime":5})");
  const auto refused = kiv::get_verification_from_service(head("verification"));
  ASSERT_TRUE(refused.ok());
  EXPECT_EQ(refused->err, 0);
  EXPECT_EQ(refused->haveTime, 0);
  EXPECT_EQ(refused->msg, "");

  service_.set_answer("local_ip", R"({"err":1,"ip":"203.0.113.9"})");
  const auto ip = kiv::get_local_ip_from_service(head("local_ip"));
  ASSERT_TRUE(ip.ok());
  EXPECT_EQ(ip.value(), std::optional<std::string>("203.0.113.9"));
  service_.set_answer("local_ip", R"({"err":0,"ip":"203.0.113.9"})");
  const auto no_ip = kiv::get_local_ip_from_service(head("local_ip"));
  ASSERT_TRUE(no_ip.ok());
  EXPECT_FALSE(no_ip->has_value());

  service_.set_answer("vpn_info",
                      R"({"VPNIP":"10.1.2.3","LocalOutIP":"192.0.2.7","VPNPort":1194})");
  const auto vpn = kiv::get_vpn_info(head("vpn_info", "vpn request"));
  ASSERT_TRUE(vpn.ok());
  EXPECT_EQ(vpn->VPNIP, "10.1.2.3");
  EXPECT_EQ(vpn->LocalOutIP, "192.0.2.7");
  EXPECT_EQ(vpn->VPNPort, 1194);
  EXPECT_EQ(last_request(), "/vpn_info vpn request");

  service_.set_answer("loginvpn", R"({"err":3,"msg":"dial ok"})");
  service_.set_answer("hangup", R"({"err":0,"msg":"not this","usermsg":"bye"})");
  const auto dial = kiv::get_loginvpn_from_service(head("loginvpn"));
  const auto hangup = kiv::check_hangup_from_service(head("hangup"));
  ASSERT_TRUE(dial.ok() && hangup.ok());
  EXPECT_EQ(dial->err, 3);
  EXPECT_EQ(dial->message, "dial ok");
  EXPECT_EQ(hangup->err, 0);
  EXPECT_EQ(hangup->message, "bye");

  // Failures: the export's code and its primary name, no value.
  service_.set_fault("vpn_info", fault("status=500"));
  const auto status = kiv::get_vpn_info(head("vpn_info"));
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.code(), KIV_E_HTTP_STATUS);
  EXPECT_EQ(status.name(), "KIV_E_HTTP_STATUS");
  service_.set_fault("verification", fault("not-json"));
  EXPECT_EQ(kiv::get_verification_from_service(head("verification")).code(), KIV_E_NOT_JSON_114);
  const auto nowhere =
      kiv::get_local_ip_from_service({"127.0.0.1", "local_ip", closed_port(), "http", "{}"});
  EXPECT_EQ(nowhere.code(), KIV_E_TRANSFER);
  EXPECT_EQ(nowhere.name(), "KIV_E_TRANSFER");
}

// A program that loads the library itself binds the exports by name.
TEST_F(CxxApi, BoundExportsAreCalledInPlaceOfTheLinkedOnes) {
  const kiv::svcquery_exports linked = kiv::svcquery_exports::linked();
  std::vector<std::string> asked;
  const auto bound = kiv::svcquery_exports::bind([&](const char* name) -> void* {
    asked.emplace_back(name);
    return std::string_view(name) == "get_vpn_info" ? reinterpret_cast<void*>(linked.get_vpn_info)
                                                    : nullptr;
  });
  EXPECT_EQ(asked.size(), 17u);
  EXPECT_EQ(std::set<std::string>(asked.begin(), asked.end()).size(), 17u);
  EXPECT_FALSE(bound.complete());
  EXPECT_TRUE(linked.complete());
  EXPECT_EQ(bound.get_vpn_info, linked.get_vpn_info);
  EXPECT_EQ(bound.get_local_ip_from_service, nullptr);

  service_.set_answer("vpn_info", R"({"VPNIP":"10.9.8.7","VPNPort":1})");
  const auto vpn = kiv::get_vpn_info(head("vpn_info"), bound);
  ASSERT_TRUE(vpn.ok());
  EXPECT_EQ(vpn->VPNIP, "10.9.8.7");
  EXPECT_EQ(vpn->LocalOutIP, "");
}

// The link and the notice return the service's "err" in place of KIV_OK;
// the binding must not take that for a failure, nor a failure for it.
TEST_F(CxxApi, LinkAndNoticeTellTheServicesErrFromFailures) {
  service_.set_answer("ad_link", R"({"err":1,"key":"k","ref":"r","url":"http://u","ref1":"r1"})");
  const auto link = kiv::get_kiv_adLink_from_service(head("ad_link"));
  ASSERT_TRUE(link.ok()) << link.code();
  EXPECT_EQ(link.code(), KIV_OK);
  EXPECT_EQ(link->err, 1);
  EXPECT_EQ(link->key, "k");
  EXPECT_EQ(link->ref, "r");
  EXPECT_EQ(link->url, "http://u");
  EXPECT_EQ(link->ref1, "r1");

  service_.set_answer("ad_link", R"({"err":101,"key":"k2"})");  // equal to a failure code
  const auto odd = kiv::get_kiv_adLink_from_service(head("ad_link"));
  ASSERT_TRUE(odd.ok()) << odd.code();
  EXPECT_EQ(odd->err, 101);
  EXPECT_EQ(odd->key, "k2");
  EXPECT_EQ(odd->ref, "");

  service_.set_answer("ad_link", R"({"err":0,"key":"k"})");
  const auto none = kiv::get_kiv_adLink_from_service(head("ad_link"));
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none->err, 0);
  EXPECT_EQ(none->key, "");

  service_.set_fault("ad_link", fault("not-json"));
  const auto broken = kiv::get_kiv_adLink_from_service(head("ad_link"));
  EXPECT_FALSE(broken.ok());
  EXPECT_EQ(broken.code(), KIV_E_NOT_JSON_101);

  service_.set_answer("client_title", R"({"err":2,"id":7,"title":"t","url":"u","usertype":3,)"
                                      R"("msg":"m","isopen":1,"isbind":0})");
  const auto title = kiv::get_kiv_client_title_from_service(head("client_title"));
  ASSERT_TRUE(title.ok()) << title.code();
  EXPECT_EQ(title->err, 2);
  EXPECT_EQ(title->id, 7);
  EXPECT_EQ(title->title, "t");
  EXPECT_EQ(title->usertype, 3);
  EXPECT_EQ(title->msg, "m");
  EXPECT_EQ(title->isopen, 1);
  service_.set_fault("client_title", fault("status=404"));
  EXPECT_EQ(kiv::get_kiv_client_title_from_service(head("client_title")).code(), KIV_E_HTTP_STATUS);
}

TEST_F(CxxApi, TextAndDelayQueriesHandOverWhatTheServiceSent) {
  service_.set_answer("gameroute", R"({"err":1,"gameroute":[{"gameid":1001}]})");
  const auto route = kiv::get_gameroute_from_server(head("gameroute"));
  ASSERT_TRUE(route.ok());
  ASSERT_TRUE(route->has_value());
  EXPECT_NE(route->value().find("\"gameid\""), std::string::npos) << route->value();
  service_.set_answer("gameprocess", R"({"err":0,"gameprocess":[]})");
  EXPECT_EQ(kiv::get_gameprocess_from_server(head("gameprocess")).code(), KIV_E_SERVICE_REFUSED);
  service_.set_answer("usertypelist", R"({"err":1})");
  const auto types = kiv::get_usertypelist_from_server(head("usertypelist"));
  ASSERT_TRUE(types.ok());
  EXPECT_FALSE(types->has_value());

  service_.set_answer("serverdelay", R"({"err":1,"gamedelay":[{"gameid":1,"serverid":2,"delay":3},)"
                                     R"(5,{"gameid":4,"delay":6}]})");
  std::vector<std::string> seen;
  const auto called =
      kiv::get_serverdelay_from_server(head("serverdelay"), [&seen](const kiv::server_delay& row) {
        seen.push_back(std::to_string(row.gameid) + "/" + std::to_string(row.serverid) + "/" +
                       std::to_string(row.delay));
      });
  EXPECT_TRUE(called.ok()) << called.code();
  EXPECT_EQ(seen, (std::vector<std::string>{"1/2/3", "4/0/6"}));
  const auto rows = kiv::get_serverdelay_from_server(head("serverdelay"));
  ASSERT_TRUE(rows.ok());
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ(rows.value()[1].delay, 6);

  service_.set_answer("areadelay", R"({"err":1,"gamedelay":[{"nodeId":8,"areaId":9,"delay":10}]})");
  const auto areas = kiv::get_areadelay_from_server(head("areadelay"));
  ASSERT_TRUE(areas.ok());
  ASSERT_EQ(areas->size(), 1u);
  EXPECT_EQ(areas.value()[0].nodeId, 8);
  EXPECT_EQ(areas.value()[0].areaId, 9);
  service_.set_fault("areadelay", fault("not-zlib"));
  EXPECT_EQ(kiv::get_areadelay_from_server(head("areadelay")).code(), KIV_E_UNCOMPRESS);

#if defined(__cpp_exceptions)
  // An exception from the callable waits for the export to return, and
  // ends the hand-over.
  int calls = 0;
  EXPECT_THROW(kiv::get_serverdelay_from_server(head("serverdelay"),
                                                [&calls](kiv::server_delay) {
                                                  ++calls;
                                                  throw std::runtime_error("stop");
                                                }),
               std::runtime_error);
  EXPECT_EQ(calls, 1);
#endif

  service_.set_answer("save_game_route", R"({"err":4})");
  const auto saved = kiv::save_game_route_info(head("save_game_route", "route data"));
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(saved.value(), 4);
  EXPECT_EQ(last_request(), "/save_game_route route data");
  // Every "err" comes through as the export wrote it, the JSON library's
  // clamped lower end too; only an answer without one reads as 0.
  for (const auto& [text, err] :
       std::vector<std::pair<std::string, int32_t>>{{R"({"err":-2147483648})", INT32_MIN},
                                                    {R"({"err":-99999999999})", INT32_MIN},
                                                    {R"({"err":99999999999})", INT32_MAX},
                                                    {R"({"err":-1})", -1},
                                                    {R"({"other":1})", 0},
                                                    {"not json", 0}}) {
    service_.set_answer("save_game_route", text);
    const auto answered = kiv::save_game_route_info(head("save_game_route"));
    ASSERT_TRUE(answered.ok()) << text;
    EXPECT_EQ(answered.value(), err) << text;
  }
  service_.set_fault("save_game_route", fault("empty"));
  EXPECT_EQ(kiv::save_game_route_info(head("save_game_route")).code(), KIV_E_SAVE_ROUTE_FAILED);
}

TEST_F(CxxApi, TransportsAndTheSavedList) {
  service_.set_answer("text", R"({"err":1,"text":"hello"})");
  const auto answer = kiv::http_access_protocol1(head("text"));
  ASSERT_TRUE(answer.ok()) << answer.code();
  EXPECT_EQ(answer.value(), R"({"err":1,"text":"hello"})");
  EXPECT_EQ(kiv::http_access_protocol1(head("text"), 10).code(), KIV_E_UNCOMPRESS);

  TempDir folder;
  const std::string list = folder.file("servers.dat");
  const auto saved = kiv::http_access_protocol2(head("servers"), list);
  ASSERT_TRUE(saved.ok()) << saved.code();
  EXPECT_TRUE(std::filesystem::is_regular_file(list));

  const auto servers = kiv::get_data_from_file(list);
  ASSERT_TRUE(servers.ok()) << servers.code();
  ASSERT_EQ(servers->size(), 4u);
  const kiv::server& first = servers.value()[0];
  EXPECT_EQ(first.serverId, 101);
  EXPECT_EQ(first.payId, 2);
  EXPECT_TRUE(first.charge);
  EXPECT_EQ(first.userbw, "20M");
  EXPECT_EQ(first.paramValue1, 1.5f);
  EXPECT_EQ(first.serverType, "vip");
  ASSERT_EQ(first.serverIp.size(), 2u);
  EXPECT_EQ(first.serverIp[1].ip, "198.51.100.22");
  EXPECT_EQ(first.serverIp[1].net, 2);
  std::vector<size_t> addresses;
  for (const auto& server : servers.value()) addresses.push_back(server.serverIp.size());
  EXPECT_EQ(addresses, (std::vector<size_t>{2, 1, 3, 1}));

  // A callable that reads the list again while it is handed a server: each
  // call keeps its own addresses.
  std::vector<std::string> nested;
  const auto outer = kiv::get_data_from_file(list, [&](kiv::server&& server) {
    if (server.serverId == 101) {
      const auto inner = kiv::get_data_from_file(list);
      nested.push_back("inner " + std::to_string(inner.ok() ? inner->size() : 0));
    }
    nested.push_back(std::to_string(server.serverId) + ":" +
                     std::to_string(server.serverIp.size()));
  });
  ASSERT_TRUE(outer.ok());
  EXPECT_EQ(outer.value(), 1);  // the list's "err"
  EXPECT_EQ(nested, (std::vector<std::string>{"inner 4", "101:2", "102:1", "201:3", "301:1"}));

  const auto types = kiv::get_servertype_from_file(list);
  ASSERT_TRUE(types.ok());
  ASSERT_EQ(types->size(), 5u);
  EXPECT_EQ(types.value()[2].id, "11");
  EXPECT_EQ(types.value()[2].pid, "1");
  EXPECT_EQ(types.value()[2].level, 2);

  const auto missing = kiv::get_data_from_file(folder.file("absent.dat"));
  EXPECT_EQ(missing.code(), KIV_E_FILE_OPEN);
  EXPECT_EQ(missing.name(), "KIV_E_FILE_OPEN");
  EXPECT_EQ(kiv::get_servertype_from_file(folder.file("absent.dat")).code(), KIV_E_FILE_OPEN);
}

// Each report through kiv.hpp sends exactly the datagram of the C export
// called with the same values.
TEST_F(CxxApi, ReportsSendTheDatagramsOfTheCExports) {
  TempDir folder;
  folder.write("loginurl.ini", "[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port=" +
                                   std::to_string(service_.udp_port()) + "\n");
  const auto saved = std::filesystem::current_path();
  std::filesystem::current_path(folder.path());
  const std::string tail = "tail";
  const std::string_view cut = std::string_view(tail).substr(0, 2);  // not NUL-terminated
  kiv::break_report("1.5", "demo01", "198.51.100.21", 1, 2);
  ::break_report("1.5", "demo01", "198.51.100.21", 1, 2);
  kiv::bug_report(3, 302, 2, "OpenFile", "no file");
  ::bug_report(3, 302, 2, "OpenFile", "no file");
  kiv::bug_report(3, 302, 2, "OpenFile");
  ::bug_report(3, 302, 2, "OpenFile", nullptr);
  kiv::client_operate_report(R"({"op":"click"})");
  ::client_operate_report(R"({"op":"click"})");
  kiv::kiv_disconnect_report("1.5", "demo01", "198.51.100.21", cut, 4);
  ::kiv_disconnect_report("1.5", "demo01", "198.51.100.21", "ta", 4);
  kiv::link_report(1, 2, "198.51.100.21", "relay \"one\"", "demo01", 3);
  ::link_report(1, 2, "198.51.100.21", "relay \"one\"", "demo01", 3);
  kiv::login_state_report("1.5", "demo01", 5);
  ::login_state_report("1.5", "demo01", 5);
  kiv::open_login_report("1.5");
  ::open_login_report("1.5");
  std::filesystem::current_path(saved);

  const auto datagrams = service_.wait_for_datagrams(14, 10s);
  ASSERT_EQ(datagrams.size(), 14u);
  for (size_t i = 0; i < datagrams.size(); i += 2) {
    ASSERT_TRUE(datagrams[i].record.has_value()) << datagrams[i].error;
    EXPECT_EQ(datagrams[i].record, datagrams[i + 1].record) << i;
  }
  EXPECT_NE(datagrams[2].record->find(R"("error_specify":"no file")"), std::string::npos);
  EXPECT_EQ(datagrams[4].record->find(R"("error_specify":"no file")"), std::string::npos);
  EXPECT_NE(datagrams[6].record->find(R"("param":{"op":"click"})"), std::string::npos);
}

}  // namespace
}  // namespace kiv::test
