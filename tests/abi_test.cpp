// The binary interface as a C client meets it: probe_abi includes the
// headers under #pragma pack(1) (and, in the 32-bit Windows build, with
// stdcall as its default convention) and checks every byte the libraries
// write into its records and outputs, and the bytes just past them. Also the
// headers' pointer types against the exports they stand for.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "child_process.h"
#include "http_server.h"
#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"
#include "udp_sink.h"

namespace kiv::test {
namespace {

// A pointer type that differed from its export in any argument (or, on
// 32-bit Windows, in its convention) would call the export wrongly.
static_assert(std::is_same_v<decltype(&break_report), kiv_break_report_fn>);
static_assert(std::is_same_v<decltype(&bug_report), kiv_bug_report_fn>);
static_assert(std::is_same_v<decltype(&client_operate_report), kiv_client_operate_report_fn>);
static_assert(std::is_same_v<decltype(&kiv_disconnect_report), kiv_disconnect_report_fn>);
static_assert(std::is_same_v<decltype(&link_report), kiv_link_report_fn>);
static_assert(std::is_same_v<decltype(&login_state_report), kiv_login_state_report_fn>);
static_assert(std::is_same_v<decltype(&open_login_report), kiv_open_login_report_fn>);

bool starts_with(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}
bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(Abi, APackedCClientGetsEveryRecordByteWhereItLooksAndNothingPastIt) {
  LoopbackHttpServer server;
  server.set_reply("/protocol", json_reply(R"({"err":1,"text":"hello"})"));
  server.set_reply(
      "/servers",
      json_reply(R"({"err":1,"server":[{"id":101,"serverip":[{"ip":"198.51.100.21","net":1},)"
                 R"({"ip":"198.51.100.22","net":2}],"serverName":"relay one"},)"
                 R"({"id":102,"serverip":[],"serverName":"relay two"}],)"
                 R"("serverType":[{"id":12,"name":"vip"},{"id":"13","name":"free"}]})"));
  server.set_reply("/serverdelay",
                   json_reply(R"({"err":1,"gamedelay":[{"gameid":1001,"serverid":101,"delay":38},)"
                              R"({"gameid":1002,"delay":61}]})"));
  server.set_reply("/usertypelist", json_reply(R"({"err":1,"usertypelist":"1,2,3"})"));
  server.set_reply("/verification",
                   json_reply(R"({"err":1,"haveTime":3600,"expired":0,"usepay":1,"ut":"VIP",)"
                              R"("msg":"welcome","bindUnvalide":0,"ed":"2027-03-31",)"
                              R"("endBind":"2027-01-15"})"));
  server.set_reply("/ad_link", json_reply(R"({"err":1,"key":"spring","ref":"banner",)"
                                          R"("url":"http://www.example.com/promo","ref1":7})"));
  server.set_reply("/client_title",
                   json_reply(R"({"err":2,"id":27,"title":"notice",)"
                              R"("url":"http://www.example.com/n/27","usertype":2,)"
                              R"("msg":"maintenance","isopen":1,"isbind":-4})"));
  server.set_reply("/vpn_info", json_reply(R"({"VPNIP":"198.51.100.7",)"
                                           R"("LocalOutIP":"203.0.113.45","VPNPort":1723})"));
  UdpSink sink;
  TempDir folder;
  folder.write("loginurl.ini", "[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port=" +
                                   std::to_string(sink.port()) + "\n");

  ChildOptions options;
  options.argv = {test_program("probe_abi"), std::to_string(server.port())};
  options.cwd = folder.path();
  options.unset_env = {"KIV_LOG"};  // the default sink, on standard error
  const ChildResult child = run_child(options);
  const std::string out = text_lines(child.out);
  EXPECT_EQ(child.exit_code, 0) << out << child.err;

  // The probe's own lines come first; the reports' traces follow them.
  const std::string calls =
      "http_access_protocol1 0\n"
      "http_access_protocol2 0\n"
      "address 4 ip=198.51.100.21 net=1\n"
      "address 4 ip=198.51.100.22 net=2\n"
      "server 14 serverId=101 serverIp=list serverName=relay one context=ok\n"
      "server 14 serverId=102 serverIp=null serverName=relay two context=ok\n"
      "get_data_from_file 0\n"
      "type 4 id=12 name=vip context=ok\n"
      "type 4 id=13 name=free context=ok\n"
      "get_servertype_from_file 0\n"
      "delay 3 gameid=1001 serverid=101 delay=38 context=ok\n"
      "delay 3 gameid=1002 serverid=0 delay=61 context=ok\n"
      "get_serverdelay_from_server 0\n"
      "text 1,2,3 context=ok\n"
      "get_usertypelist_from_server 0\n"
      "get_verification_from_service 0\n"
      "get_kiv_adLink_from_service 1\n"
      "get_kiv_client_title_from_service 2\n"
      "get_vpn_info 0\n";
  EXPECT_TRUE(starts_with(out, calls)) << out;
  EXPECT_TRUE(ends_with(out,
                        "handler saw the transport: yes; start-up messages in the handler: no\n"
                        "every byte as expected\n"))
      << out;
  // Written while the library was loaded, before main could set a handler.
  EXPECT_NE(child.err.find("Success: Load kiv_json.dll"), std::string::npos) << child.err;

  const auto datagrams = sink.wait_for(2);
  ASSERT_EQ(datagrams.size(), 2u);
  EXPECT_EQ(datagrams[0].text,
            R"({"act":"LinkService","param":{"link_mode":1,"link_state":2,)"
            R"("link_service_ip":"192.0.2.1","userType_Id":3,"link_service_name":"relay one",)"
            R"("link_account":"abi"}})");
  EXPECT_NE(datagrams[1].text.find(R"("act":"BugService")"), std::string::npos)
      << datagrams[1].text;
  EXPECT_NE(datagrams[1].text.find("through its pointer type"), std::string::npos)
      << datagrams[1].text;
}

}  // namespace
}  // namespace kiv::test
