// The binary interface as a C client meets it: probe_abi includes the
// headers under #pragma pack(1) (and, in the 32-bit Windows build, with
// stdcall as its default convention) and checks every byte the libraries
// write into its records and outputs, and the bytes just past them. Also the
// headers' pointer types against the exports they stand for.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
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

// The results are asserted by value in the tests, so that a wrong constant
// in the public header cannot hide behind its own name; this table ties
// every name to its value once.
constexpr int32_t kOptionRefusedBits = static_cast<int32_t>(0xE0FF00FFu);
static_assert(KIV_OK == 0 && KIV_E_NO_MEMORY == 1 && KIV_E_SERVICE_REFUSED == 1);
static_assert(KIV_E_FILE_OPEN == 4 && KIV_E_FILE_CREATE == 5 && KIV_E_FILE_READ == 7 &&
              KIV_E_FILE_SIZE == 8);
static_assert(KIV_E_COMPRESS == 101 && KIV_E_NOT_JSON_101 == 101 && KIV_E_UNCOMPRESS == 102);
static_assert(KIV_E_HTTP_STATUS == 113 && KIV_E_SAVE_ROUTE_FAILED == 113);
static_assert(KIV_E_TRANSFER == 114 && KIV_E_NOT_JSON_114 == 114);
static_assert(KIV_E_LIST_REFUSED == 115 && KIV_E_NO_LIST == 116);
static_assert(KIV_E_MISSING_ARGUMENT == 10003 && KIV_E_NO_ROW_MEMORY == 10003);
static_assert(KIV_E_FILE_WRITE == 210605);
static_assert(KIV_E_OPTION_REFUSED == kOptionRefusedBits && KIV_E_OPTION_REFUSED == -520158977);
static_assert(std::is_same_v<decltype(KIV_OK), int32_t> &&
              std::is_same_v<decltype(KIV_E_OPTION_REFUSED), int32_t>);

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

// A client compiled as C reads back, by field name, what the library wrote:
// the records have one layout on both sides of the library's boundary. On a
// 32-bit build the offsets are also those of the records' fixed layouts.
TEST(RecordLayouts, ACClientReadsEveryFieldWhereTheLibraryWroteIt) {
  LoopbackHttpServer server;
  server.set_reply("/verification",
                   json_reply(R"({"err":1,"haveTime":2,"expired":3,"usepay":4,"ut":"UT",)"
                              R"("msg":"MSG","bindUnvalide":5,"ed":"ED","endBind":"EB"})"));
  server.set_reply("/ad_link",
                   json_reply(R"({"err":1,"key":"K","ref":"R","url":"U","ref1":"R1"})"));
  server.set_reply("/client_title",
                   json_reply(R"({"err":1,"id":6,"title":"T","url":"TU","usertype":"7",)"
                              R"("msg":"TM","isopen":1,"isbind":8})"));
  server.set_reply("/vpn_info", json_reply(R"({"VPNIP":"10.1.2.3","LocalOutIP":"192.0.2.9",)"
                                           R"("VPNPort":1723})"));
  ChildOptions options;
  options.argv = {test_program("probe_records"), std::to_string(server.port())};
  const ChildResult child = run_child(options);
  ASSERT_EQ(child.exit_code, 0) << child.out << child.err;
  std::string expected =
      "verification_info size 36 result 0\n"
      "verification_info.err @0 = 1\n"
      "verification_info.haveTime @4 = 2\n"
      "verification_info.expired @8 = 3\n"
      "verification_info.usepay @12 = 4\n"
      "verification_info.ut @16 = UT\n"
      "verification_info.msg @20 = MSG\n"
      "verification_info.bindUnvalide @24 = 5\n"
      "verification_info.ed @28 = ED\n"
      "verification_info.endBind @32 = EB\n"
      "ad_link_info size 16 result 1\n"
      "ad_link_info.key @0 = K\n"
      "ad_link_info.ref @4 = R\n"
      "ad_link_info.url @8 = U\n"
      "ad_link_info.ref1 @12 = R1\n"
      "client_title_info size 28 result 1\n"
      "client_title_info.id @0 = 6\n"
      "client_title_info.title @4 = T\n"
      "client_title_info.url @8 = TU\n"
      "client_title_info.usertype @12 = 7\n"
      "client_title_info.msg @16 = TM\n"
      "client_title_info.isopen @20 = 1\n"
      "client_title_info.isbind @24 = 8\n"
      "vpn_connection_info size 40 result 0\n"
      "vpn_connection_info.VPNIP @0 = 10.1.2.3\n"
      "vpn_connection_info.LocalOutIP @17 = 192.0.2.9\n"
      "vpn_connection_info.VPNPort @36 = 1723\n";
  std::string out = child.out;
  out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());  // a C client's text stream
  if (sizeof(void*) != 4) {
    // Other layouts elsewhere: compare the values alone.
    const std::regex layout(R"( @\d+| size \d+)");
    expected = std::regex_replace(expected, layout, "");
    out = std::regex_replace(out, layout, "");
  }
  EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace kiv::test
