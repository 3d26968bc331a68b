// The seven account and connection queries against a loopback web service.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "http_server.h"
#include "kiv_svcquery.h"
#include "message_capture.h"
#include "query_test_support.h"
#include "report_recorder.h"
#include "zlib_util.h"

namespace kiv::test {
namespace {

// "用户验证失败！"
constexpr char kUserVerifyFailed[] = "\xD3\xC3\xBB\xA7\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1";
// "用户提示信息，获得失败！"
constexpr char kAdLinkRefused[] =
    "\xD3\xC3\xBB\xA7\xCC\xE1\xCA\xBE\xD0\xC5\xCF\xA2\xA3\xAC\xBB\xF1\xB5\xC3\xCA\xA7\xB0\xDC\xA3"
    "\xA1";
// "弹框没有的干活 ，直接返回。 ret = 0！ "
constexpr char kNoPopup0[] =
    "\xB5\xAF\xBF\xF2\xC3\xBB\xD3\xD0\xB5\xC4\xB8\xC9\xBB\xEE "
    "\xA3\xAC\xD6\xB1\xBD\xD3\xB7\xB5\xBB\xD8"
    "\xA1\xA3 ret = 0\xA3\xA1 ";
// "用户拨号后验证失败！"
constexpr char kDialCheckFailed[] =
    "\xD3\xC3\xBB\xA7\xB2\xA6\xBA\xC5\xBA\xF3\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1";
// "获取验证失败 2057, kiv_parse_json, get_loginvpn_from_service"
constexpr char kLoginVpnTransport[] =
    "\xBB\xF1\xC8\xA1\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC 2057, kiv_parse_json, "
    "get_loginvpn_from_service";
// "调用json_tokener_parser失败 2066, kiv_parse_json, get_loginvpn_from_service"
constexpr char kLoginVpnParse[] =
    "\xB5\xF7\xD3\xC3json_tokener_parser\xCA\xA7\xB0\xDC 2066, kiv_parse_json, "
    "get_loginvpn_from_service";
constexpr char kLoginVpnEntry[] = "Entry get_loginvpn_from_service";
constexpr char kLoginVpnExit[] = "Exit get_loginvpn_from_service";

constexpr size_t kText = 1100;
constexpr char kUntouched = 'Z';

// Everything a query may write, pre-filled with a pattern so that any write
// shows. Record text pointers point into the texts here.
struct Storage {
  char text[4][kText];
  char message[kText];
  verification_info info;
  ad_link_info link;
  client_title_info title;
  vpn_connection_info vpn;
  int32_t err_value;

  static std::unique_ptr<Storage> make() {
    auto s = std::make_unique<Storage>();
    std::memset(static_cast<void*>(s.get()), kUntouched, sizeof(Storage));
    for (auto& t : s->text) t[kText - 1] = '\0';
    s->message[kText - 1] = '\0';
    s->vpn.VPNIP[16] = s->vpn.LocalOutIP[16] = '\0';
    s->info = {-7, -7, -7, -7, s->text[0], s->text[1], -7, s->text[2], s->text[3]};
    s->link = {s->text[0], s->text[1], s->text[2], s->text[3]};
    s->title = {-7, s->text[0], s->text[1], -7, s->text[2], -7, -7};
    s->vpn.VPNPort = -7;
    s->err_value = -7;
    return s;
  }
  std::string bytes() const {
    return std::string(reinterpret_cast<const char*>(this), sizeof *this);
  }
};

struct Export {
  std::string name;
  int32_t func_id;
  std::string report_name;
  size_t answer_size;
  int32_t parse_code;
  std::vector<std::string> param_lines;  // all the export logs for a null argument
  std::string transport_line;
  std::string parse_line;
  int outputs;
  // `null_output`: index of the output argument passed as null, or -1.
  std::function<int32_t(const Head&, Storage&, int null_output)> call;
};

template <typename T>
T* unless(bool null, T* pointer) {
  return null ? nullptr : pointer;
}

std::vector<Export> exports() {
  return {
      {"get_verification_from_service",
       303,
       "get_verification_from_service",
       1024,
       114,
       {"ERROR: PARAM, in get_verification_from_service()"},
       "Error:  Failed to call http_access_protocol(), in get_verification_from_service()",
       "ERROR : Failed to call json_tokener_parser, in get_verification_from_service()",
       1,
       [](const Head& h, Storage& s, int null_output) {
         return get_verification_from_service(h.host, h.url, h.port, h.protocol, h.request, h.size,
                                              unless(null_output == 0, &s.info));
       }},
      {"get_local_ip_from_service",
       305,
       "get_local_ip_from_service",
       128,
       101,
       {"ERROR: PARAM, in get_local_ip_from_service()"},
       "ERROR:  Failed call http_access_protocol1(),in get_local_ip_from_service()",
       "ERROR : Failed to call json_tokener_parser(), in get_local_ip_from_service()",
       1,
       [](const Head& h, Storage& s, int null_output) {
         return get_local_ip_from_service(h.host, h.url, h.port, h.protocol, h.request, h.size,
                                          unless(null_output == 0, s.message));
       }},
      {"get_kiv_adLink_from_service",
       309,
       "get_kiv_adLink_from_service",
       1024,
       101,
       {"ERROR: PARAM, in get_kiv_ad_click_from_service()"},
       "ERROR:  Failed go call http_access_protocol1(),in get_kiv_ad_click_from_service()",
       "ERROR : Failed to call json_tokener_parser(), in get_kiv_ad_click_from_service()",
       1,
       [](const Head& h, Storage& s, int null_output) {
         return get_kiv_adLink_from_service(h.host, h.url, h.port, h.protocol, h.request, h.size,
                                            unless(null_output == 0, &s.link));
       }},
      {"get_kiv_client_title_from_service",
       308,
       "get_kiv_client_title_from_service",
       1024,
       101,
       {"ERROR: PARAM, in get_kiv_client_title_from_service()"},
       "ERROR:  Failed go call http_access_protocol1(),in get_kiv_client_title_from_service()",
       "ERROR : Failed to call json_tokener_parser in get_kiv_client_title_from_service()",
       1,
       [](const Head& h, Storage& s, int null_output) {
         return get_kiv_client_title_from_service(h.host, h.url, h.port, h.protocol, h.request,
                                                  h.size, unless(null_output == 0, &s.title));
       }},
      {"get_loginvpn_from_service",
       306,
       "get_loginvpn_from_service",
       1024,
       101,
       {kLoginVpnEntry, "ERROR: PARAM, in get_loginvpn_from_service()", kLoginVpnExit},
       kLoginVpnTransport,
       kLoginVpnParse,
       2,
       [](const Head& h, Storage& s, int null_output) {
         return get_loginvpn_from_service(h.host, h.url, h.port, h.protocol, h.request, h.size,
                                          unless(null_output == 0, &s.err_value),
                                          unless(null_output == 1, s.message));
       }},
      {"check_hangup_from_service",
       307,
       "check_hangup_from_service",
       1024,
       101,
       {"ERROR: PARAM, in check_hangup_from_service()"},
       "ERROR:  Failed call http_access_protocol1(),in check_hangup_from_service()",
       "ERROR : Failed to call json_tokener_parser, in check_hangup_from_service()",
       2,
       [](const Head& h, Storage& s, int null_output) {
         return check_hangup_from_service(h.host, h.url, h.port, h.protocol, h.request, h.size,
                                          unless(null_output == 0, &s.err_value),
                                          unless(null_output == 1, s.message));
       }},
      {"get_vpn_info",
       312,
       "get_vpn_info",
       128,
       114,
       {"ERROR: PARAM, in get_vpn_info()"},
       "Error:  Failed to call http_access_protocol(), in get_vpn_info()",
       "ERROR : Failed to call json_tokener_parser, in get_vpn_info()",
       1,
       [](const Head& h, Storage& s, int null_output) {
         return get_vpn_info(h.host, h.url, h.port, h.protocol, h.request, h.size,
                             unless(null_output == 0, &s.vpn));
       }},
  };
}

const Export& find(const std::string& name) {
  static const std::vector<Export> all = exports();
  for (const Export& e : all)
    if (e.name == name) return e;
  throw std::runtime_error("no export " + name);
}

class AccountQueries : public ::testing::Test {
 protected:
  void SetUp() override {
    head_.port = server_.port();
    ReportRecorder::take();
  }
  // Calls `name` with the service answering `json`.
  int32_t ask(const std::string& name, const std::string& json) {
    server_.set_default_reply(json_reply(json));
    capture_.clear();
    return find(name).call(head_, *storage_, -1);
  }
  std::string last_message() const {
    const auto messages = capture_.messages();
    return messages.empty() ? std::string() : messages.back();
  }

  LoopbackHttpServer server_;
  MessageCapture capture_;
  Head head_;
  std::unique_ptr<Storage> storage_ = Storage::make();
};

TEST_F(AccountQueries, NullArgumentGives10003ItsLinesAndOneReportWithoutTraffic) {
  for (const Export& e : exports()) {
    std::vector<Head> heads;
    for (int i = 0; i < kHeadPointers; ++i) heads.push_back(without(head_, i));
    std::vector<int> null_outputs(kHeadPointers, -1);
    for (int k = 0; k < e.outputs; ++k) {
      heads.push_back(head_);
      null_outputs.push_back(k);
    }
    for (size_t i = 0; i < heads.size(); ++i) {
      SCOPED_TRACE(e.name + " null argument " + std::to_string(i));
      capture_.clear();
      const std::string before = storage_->bytes();
      EXPECT_EQ(e.call(heads[i], *storage_, null_outputs[i]), 10003);
      EXPECT_EQ(capture_.messages(), e.param_lines);
      EXPECT_EQ(
          ReportRecorder::take(),
          (std::vector<RecordedReport>{{3, e.func_id, 10003, e.report_name, kParamErrorText}}));
      EXPECT_EQ(storage_->bytes(), before);
    }
  }
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(AccountQueries, RequestHeadReachesTheServiceUnchanged) {
  Head head = head_;
  head.url = "path/q?x=1";
  head.request = "abcdef";
  head.size = 3;  // only the first three bytes are sent
  server_.set_default_reply(json_reply(R"({"err":0})"));
  for (const Export& e : exports()) {
    SCOPED_TRACE(e.name);
    server_.clear_requests();
    e.call(head, *storage_, -1);
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/path/q?x=1");
    std::string body;
    ASSERT_TRUE(zlib_inflate(requests[0].body, &body));
    EXPECT_EQ(body, "abc");
  }
}

TEST_F(AccountQueries, TransportFailureIsPassedOnWithStorageUntouched) {
  const uint16_t nobody = closed_port();
  for (const Export& e : exports()) {
    for (const TransportFailure& failure : transport_failures(e.answer_size)) {
      SCOPED_TRACE(e.name + ": " + failure.what);
      Head head = head_;
      if (failure.closed) head.port = nobody;
      server_.set_default_reply(failure.reply);
      capture_.clear();
      const std::string before = storage_->bytes();
      EXPECT_EQ(e.call(head, *storage_, -1), failure.transport_code);
      EXPECT_EQ(storage_->bytes(), before);
      EXPECT_TRUE(capture_.contains(e.transport_line));
      EXPECT_FALSE(capture_.contains(e.parse_line));
      ReportRecorder::take();  // the transport's own reports
    }
  }
}

TEST_F(AccountQueries, AnswerThatIsNotJsonGivesTheExportsCodeAndClearsOnlyTheVpnRecord) {
  for (const Export& e : exports()) {
    SCOPED_TRACE(e.name);
    const std::string before = storage_->bytes();
    EXPECT_EQ(ask(e.name, "not json {"), e.parse_code);
    EXPECT_TRUE(capture_.contains(e.parse_line));
    EXPECT_TRUE(ReportRecorder::take().empty());
    if (e.name == "get_vpn_info") {
      EXPECT_STREQ(storage_->vpn.VPNIP, "");
      EXPECT_STREQ(storage_->vpn.LocalOutIP, "");
      EXPECT_EQ(storage_->vpn.VPNPort, 0);
      storage_ = Storage::make();
    } else {
      EXPECT_EQ(storage_->bytes(), before);
    }
  }
}

TEST_F(AccountQueries, AnswerThatFillsTheBufferExactlyIsReadAsOneText) {
  for (const Export& e : exports()) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(ask(e.name, padded(R"({"err":0})", e.answer_size)), 0);
    EXPECT_FALSE(capture_.contains(e.parse_line));
  }
}

// A member that is not a string comes out as json-c's JSON text, which can be
// longer than the answer that carried it ("[1,1]" gives "[ 1, 1 ]"): it is
// cut to the answer buffer's size, the most a caller's buffer is asked to hold.
TEST_F(AccountQueries, NonStringMemberLongerThanTheAnswerIsCutToTheAnswerSize) {
  const struct {
    std::string name, member;
    char* (*buffer)(Storage&);
  } cases[] = {
      {"get_verification_from_service", "ut", [](Storage& s) { return s.info.ut; }},
      {"get_local_ip_from_service", "ip", [](Storage& s) { return s.message; }},
      {"get_kiv_adLink_from_service", "ref1", [](Storage& s) { return s.link.ref1; }},
      {"get_kiv_client_title_from_service", "msg", [](Storage& s) { return s.title.msg; }},
      {"get_loginvpn_from_service", "msg", [](Storage& s) { return s.message; }},
      {"check_hangup_from_service", "usermsg", [](Storage& s) { return s.message; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t size = find(c.name).answer_size;
    std::string answer = R"({"err":1,")" + c.member + R"(":[1)";
    while (answer.size() + 4 <= size) answer += ",1";
    answer += "]}";
    storage_ = Storage::make();
    const int32_t code = ask(c.name, answer);
    EXPECT_TRUE(code == 0 || code == 1) << code;  // 1: the service's own "err"
    const char* text = c.buffer(*storage_);
    EXPECT_EQ(std::strlen(text), size - 1);
    EXPECT_EQ(std::string(text, 6), "[ 1, 1");
    EXPECT_EQ(text[size], kUntouched);
  }
}

TEST_F(AccountQueries, VerificationWithErrZeroOrMissingWritesOnlyTheErrField) {
  for (const std::string& answer : std::vector<std::string>{R"({"err":0,"haveTime":5,"ut":"u"})",
                                                            R"({"haveTime":5})", R"([1,2])"}) {
    SCOPED_TRACE(answer);
    const std::string before = storage_->bytes();
    EXPECT_EQ(ask("get_verification_from_service", answer), 0);
    EXPECT_EQ(storage_->info.err, 0);
    storage_->info.err = -7;  // the one field written
    EXPECT_EQ(storage_->bytes(), before);
    EXPECT_EQ(last_message(), kUserVerifyFailed);
  }
}

TEST_F(AccountQueries, VerificationFillsEveryFieldAndDefaultsMissingMembers) {
  EXPECT_EQ(ask("get_verification_from_service",
                R"({"err":2,"haveTime":30,"expired":1,"usepay":-4,"ut":"vip","msg":"hello",)"
                R"("bindUnvalide":9,"ed":"2024-01-02","endBind":12})"),
            0);
  const verification_info& i = storage_->info;
  EXPECT_EQ(i.err, 2);
  EXPECT_EQ(i.haveTime, 30);
  EXPECT_EQ(i.expired, 1);
  EXPECT_EQ(i.usepay, -4);
  EXPECT_STREQ(i.ut, "vip");
  EXPECT_STREQ(i.msg, "hello");
  EXPECT_EQ(i.bindUnvalide, 9);
  EXPECT_STREQ(i.ed, "2024-01-02");
  EXPECT_STREQ(i.endBind, "12");  // a number reads as its JSON text

  EXPECT_EQ(ask("get_verification_from_service", R"({"err":1})"), 0);
  EXPECT_EQ(i.err, 1);
  EXPECT_EQ(i.haveTime, 0);
  EXPECT_EQ(i.expired, 0);
  EXPECT_EQ(i.usepay, 0);
  EXPECT_EQ(i.bindUnvalide, 0);
  for (const char* text : {i.ut, i.msg, i.ed, i.endBind}) EXPECT_STREQ(text, "");
  EXPECT_FALSE(capture_.contains(kUserVerifyFailed));
}

TEST_F(AccountQueries, LocalAddressIsCopiedOnlyWhenTheServiceAnswers) {
  const std::string before = storage_->bytes();
  EXPECT_EQ(ask("get_local_ip_from_service", R"({"err":0,"ip":"1.2.3.4"})"), 0);
  EXPECT_EQ(storage_->bytes(), before);
  EXPECT_EQ(last_message(), kUserVerifyFailed);

  EXPECT_EQ(ask("get_local_ip_from_service", R"({"err":1,"ip":"1.2.3.4"})"), 0);
  EXPECT_STREQ(storage_->message, "1.2.3.4");
  EXPECT_EQ(ask("get_local_ip_from_service", R"({"err":1})"), 0);
  EXPECT_STREQ(storage_->message, "");
}

TEST_F(AccountQueries, AdLinkReturnsTheServicesErrAndLeavesTheRecordOnRefusal) {
  const std::string before = storage_->bytes();
  EXPECT_EQ(ask("get_kiv_adLink_from_service", R"({"err":0,"key":"k"})"), 0);
  EXPECT_EQ(storage_->bytes(), before);
  EXPECT_EQ(last_message(), kAdLinkRefused);

  for (const int err : {1, 2, -3}) {
    SCOPED_TRACE(err);
    EXPECT_EQ(ask("get_kiv_adLink_from_service",
                  R"({"err":)" + std::to_string(err) +
                      R"(,"key":"k","ref":"r","url":"http://a/b","ref1":"r1"})"),
              err);
    const ad_link_info& l = storage_->link;
    EXPECT_STREQ(l.key, "k");
    EXPECT_STREQ(l.ref, "r");
    EXPECT_STREQ(l.url, "http://a/b");
    EXPECT_STREQ(l.ref1, "r1");
  }
  EXPECT_EQ(ask("get_kiv_adLink_from_service", R"({"err":1,"url":"u"})"), 1);
  EXPECT_STREQ(storage_->link.key, "");
  EXPECT_STREQ(storage_->link.url, "u");
  EXPECT_STREQ(storage_->link.ref1, "");
}

// The service's "err" may equal any failure code; the header's advice tells
// them apart: a key buffer filled with nonzero bytes holds a NUL afterwards
// exactly when the record was written.
TEST_F(AccountQueries, AdLinkErrEqualToAFailureCodeIsToldApartByTheKeyBuffer) {
  const uint16_t nobody = closed_port();
  for (const TransportFailure& failure : transport_failures(1024)) {
    SCOPED_TRACE(failure.what);
    const int32_t code = failure.transport_code;
    for (const bool from_service : {true, false}) {
      SCOPED_TRACE(from_service ? "the service's err" : "a failure");
      std::vector<std::vector<char>> buffers(4, std::vector<char>(1024, 'x'));
      ad_link_info link{buffers[0].data(), buffers[1].data(), buffers[2].data(), buffers[3].data()};
      Head head = head_;
      if (from_service) {
        server_.set_default_reply(json_reply(R"({"err":)" + std::to_string(code) +
                                             R"(,"key":"k","ref":"r","url":"u","ref1":"r1"})"));
      } else {
        server_.set_default_reply(failure.reply);
        if (failure.closed) head.port = nobody;
      }
      EXPECT_EQ(get_kiv_adLink_from_service(head.host, "ad_link", head.port, head.protocol,
                                            head.request, head.size, &link),
                code);
      const bool written = std::memchr(link.key, '\0', 1024) != nullptr;
      EXPECT_EQ(written, from_service);
      for (const auto& buffer : buffers) {
        EXPECT_EQ(std::memchr(buffer.data(), '\0', 1024) != nullptr, from_service);
      }
    }
  }
}

TEST_F(AccountQueries, ClientTitleReturnsTheServicesErrOrLogsThatThereIsNoNotice) {
  const std::string before = storage_->bytes();
  EXPECT_EQ(ask("get_kiv_client_title_from_service", R"({"err":0,"id":4})"), 0);
  EXPECT_EQ(storage_->bytes(), before);
  EXPECT_EQ(last_message(), kNoPopup0);

  EXPECT_EQ(ask("get_kiv_client_title_from_service",
                R"({"err":3,"id":4,"title":"T","url":"U","usertype":"7","msg":"M",)"
                R"("isopen":1,"isbind":2})"),
            3);
  const client_title_info& t = storage_->title;
  EXPECT_EQ(t.id, 4);
  EXPECT_STREQ(t.title, "T");
  EXPECT_STREQ(t.url, "U");
  EXPECT_EQ(t.usertype, 7);  // read as an integer
  EXPECT_STREQ(t.msg, "M");
  EXPECT_EQ(t.isopen, 1);
  EXPECT_EQ(t.isbind, 2);

  EXPECT_EQ(ask("get_kiv_client_title_from_service", R"({"err":1})"), 1);
  EXPECT_EQ(t.id, 0);
  EXPECT_EQ(t.usertype, 0);
  EXPECT_EQ(t.isopen, 0);
  EXPECT_EQ(t.isbind, 0);
  for (const char* text : {t.title, t.url, t.msg}) EXPECT_STREQ(text, "");
}

TEST_F(AccountQueries, DialAndHangupChecksStoreErrAndTheirMessageWhateverErrSays) {
  struct Check {
    std::string name;
    std::string member;
  };
  for (const Check& c :
       {Check{"get_loginvpn_from_service", "msg"}, Check{"check_hangup_from_service", "usermsg"}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ask(c.name, R"({"err":0,"msg":"m","usermsg":"u"})"), 0);
    EXPECT_EQ(storage_->err_value, 0);
    EXPECT_EQ(std::string(storage_->message), c.member == "msg" ? "m" : "u");
    EXPECT_TRUE(capture_.contains(kDialCheckFailed));

    EXPECT_EQ(ask(c.name, R"({"err":4})"), 0);
    EXPECT_EQ(storage_->err_value, 4);
    EXPECT_STREQ(storage_->message, "");
    EXPECT_FALSE(capture_.contains(kDialCheckFailed));
  }
}

TEST_F(AccountQueries, LoginVpnBracketsEveryOutcomeWithEntryAndExit) {
  const Export& e = find("get_loginvpn_from_service");
  const auto bracketed = [&](const std::string& line) {
    const auto messages = capture_.messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages.front(), kLoginVpnEntry);
    EXPECT_EQ(messages[messages.size() - 2], line);
    EXPECT_EQ(messages.back(), kLoginVpnExit);
  };
  server_.set_default_reply(plain_reply(500, ""));
  capture_.clear();
  EXPECT_EQ(e.call(head_, *storage_, -1), 113);
  bracketed(kLoginVpnTransport);

  EXPECT_EQ(ask(e.name, "<html>"), 101);
  bracketed(kLoginVpnParse);

  EXPECT_EQ(ask(e.name, R"({"err":0})"), 0);
  bracketed(kDialCheckFailed);
}

TEST_F(AccountQueries, VpnInfoIgnoresErrCutsLongAddressesAndClearsMissingMembers) {
  const vpn_connection_info& v = storage_->vpn;
  EXPECT_EQ(
      ask("get_vpn_info", R"({"err":0,"VPNIP":"10.0.0.1","LocalOutIP":"1.2.3.4","VPNPort":1723})"),
      0);
  EXPECT_STREQ(v.VPNIP, "10.0.0.1");
  EXPECT_STREQ(v.LocalOutIP, "1.2.3.4");
  EXPECT_EQ(v.VPNPort, 1723);
  EXPECT_EQ(capture_.count(kUserVerifyFailed), 0u);

  storage_ = Storage::make();
  EXPECT_EQ(ask("get_vpn_info", R"({"VPNIP":"123456789012345678"})"), 0);
  EXPECT_STREQ(storage_->vpn.VPNIP, "1234567890123456");
  EXPECT_STREQ(storage_->vpn.LocalOutIP, "");
  EXPECT_EQ(storage_->vpn.VPNPort, 0);

  storage_ = Storage::make();
  EXPECT_EQ(ask("get_vpn_info", R"(["10.0.0.1"])"), 0);  // not an object: no members
  EXPECT_STREQ(storage_->vpn.VPNIP, "");
  EXPECT_EQ(storage_->vpn.VPNPort, 0);
}

}  // namespace
}  // namespace kiv::test
