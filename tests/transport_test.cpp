// The HTTP transport seen from outside: what a loopback server receives, the
// result codes, the logged lines and the failure reports.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../svcquery/query_messages.h"
#include "child_process.h"
#include "guarded_memory.h"
#include "http_server.h"
#include "kiv_svcquery.h"
#include "message_capture.h"
#include "query_test_support.h"
#include "report_recorder.h"
#include "zlib_util.h"

namespace kiv::test {
namespace {

namespace msg = svcquery::msg;

// The codes' values are tied to their names once, in abi_test.cpp.
constexpr int32_t kOptionRefusedBits = static_cast<int32_t>(0xE0FF00FFu);

constexpr char kSource[] = "kiv_transport_info";
constexpr char kBag[] = "get_respond_data_bag";
constexpr char kP1[] = "http_access_protocol1";
// libcurl's codes as its log lines carry them.
constexpr unsigned kCurlUrlMalformed = 3;
constexpr unsigned kCurlCouldntConnect = 7;
constexpr unsigned kCurlWriteError = 23;
constexpr unsigned kCurlTimedOut = 28;
constexpr unsigned kCurlBadArgument = 43;

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  char text[512];
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

const std::string kParamLine = format(msg::kParamLine, 337, kSource, kBag);
const std::string kRespondFailedLine = format(msg::kGetRespondFailed, 800, kSource, kP1);
const std::string kEnter1 = "Enter http_access_protocol1";
const std::string kExit1 = "Exit http_access_protocol1";

// The transfer-failed line up to libcurl's error text.
std::string perform_line_start(unsigned curl_code) {
  return format(msg::kPerformFailed, 433, kSource, kBag, curl_code, "");
}

RecordedReport report(int32_t func_id, int32_t number, const std::string& name,
                      std::optional<std::string> specify = std::nullopt) {
  return RecordedReport{3, func_id, number, name, std::move(specify)};
}

std::string random_bytes(size_t count, bool letters_only) {
  std::mt19937 random(static_cast<unsigned>(count));
  std::string out(count, '\0');
  for (char& c : out) {
    c = letters_only ? static_cast<char>('a' + random() % 26) : static_cast<char>(random());
  }
  return out;
}

// zlib's own verdict on inflating `body` into `capacity` bytes.
int zlib_code_for(const std::string& body, uLongf capacity) {
  std::string out(capacity + 1, '\0');
  return ::uncompress(reinterpret_cast<Bytef*>(out.data()), &capacity,
                      reinterpret_cast<const Bytef*>(body.data()), body.size());
}

Reply make_reply(int status, std::string body,
                 std::chrono::milliseconds delay = std::chrono::milliseconds(0),
                 std::string redirect_to = "") {
  return Reply{status, std::move(body), delay, std::move(redirect_to)};
}

struct Answer {
  int32_t rc;
  std::string data;  // the whole caller buffer
  uint32_t size;
};

class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    // One served request proves the server's accept loop runs; a server
    // stopped before that never ends its thread.
    char buffer[8];
    uint32_t size = sizeof buffer;
    http_access_protocol1("127.0.0.1", "ready", server.port(), "p", "r", 1, buffer, &size);
    ASSERT_EQ(server.request_count(), 1u);
    server.clear_requests();
    capture.clear();
    ReportRecorder::take();
  }

  Answer call1(const char* url, const std::string& request, uint32_t capacity = 4096,
               const char* host = "127.0.0.1", const char* protocol = "proto") {
    Answer answer{0, std::string(capacity, '#'), capacity};
    answer.rc = http_access_protocol1(host, url, server.port(), protocol, request.c_str(),
                                      static_cast<int32_t>(request.size()), answer.data.data(),
                                      &answer.size);
    return answer;
  }
  int32_t call2(const char* url, const char* file, const std::string& request = "list") {
    return http_access_protocol2("127.0.0.1", url, server.port(), "proto", request.c_str(),
                                 static_cast<int32_t>(request.size()), file);
  }
  std::string params1(const std::string& url, const std::string& request) const {
    return "host:127.0.0.1, url: " + url + ", protocol: proto, request_data: " + request +
           ", request_size :" + std::to_string(request.size());
  }

  LoopbackHttpServer server;
  MessageCapture capture;
  TempDir dir;
};

TEST_F(Transport, PostsTheCompressedRequestPrefixAndInflatesTheAnswer) {
  const std::string text = R"({"err":1,"VPNIP":"10.0.0.1"})";
  server.set_reply("/svc/query.php", json_reply(text));
  const std::string request = R"({"user":"a"}-not-sent)";
  Answer answer{0, std::string(64, '#'), 64};
  answer.rc = http_access_protocol1("127.0.0.1", "svc/query.php?id=7", server.port(), "proto",
                                    request.c_str(), 12, answer.data.data(), &answer.size);

  ASSERT_EQ(answer.rc, 0);
  EXPECT_EQ(answer.size, text.size());
  EXPECT_EQ(answer.data.substr(0, text.size() + 1), text + "#");  // no NUL appended
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& sent = requests[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.path, "/svc/query.php?id=7");
  EXPECT_EQ(sent.headers.count("Content-Type"), 1u);
  EXPECT_EQ(sent.header("Content-Type"), "text/xml");
  EXPECT_EQ(sent.body, zlib_compress(request.substr(0, 12)));
  EXPECT_EQ(sent.header("Content-Length"), std::to_string(sent.body.size()));
  EXPECT_EQ(sent.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(sent.header("User-Agent"), "");
  // The log line shows the bytes sent, not what lies beyond them.
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{kEnter1,
                                      "host:127.0.0.1, url: svc/query.php?id=7, protocol: proto, "
                                      "request_data: " +
                                          request.substr(0, 12) + ", request_size :12",
                                      kExit1}));
  EXPECT_TRUE(ReportRecorder::take().empty());
}

void ignore_text(const char*, void*) {}
void ignore_row(int32_t, char**, void**, void*) {}

// A request of exactly request_size bytes with no NUL after it, ending where
// the memory ends: every export sends those bytes and logs them, and reads
// nothing beyond them. Reading one byte more faults, in any build.
TEST_F(Transport, ARequestOfExactlyItsSizeIsNeverReadPastItsEnd) {
  const std::string text = R"({"user":"demo01","pwd":"secret"})";
  platform::GuardedBlock block(text.size());
  ASSERT_TRUE(block);
  std::memcpy(block.data(), text.data(), text.size());
  const char* request = block.data();
  const auto size = static_cast<int32_t>(text.size());
  server.set_reply("/q", json_reply(R"({"err":1,"msg":"ok"})"));
  const uint32_t port = server.port();
  const std::string file = dir.file("list.dat");

  char answer[256];
  uint32_t answer_size = sizeof answer;
  static char texts[4][1024];
  verification_info info{0, 0, 0, 0, texts[0], texts[1], 0, texts[2], texts[3]};
  ad_link_info link{texts[0], texts[1], texts[2], texts[3]};
  client_title_info title{0, texts[0], texts[1], 0, texts[2], 0, 0};
  vpn_connection_info vpn{};
  int32_t err = 0;
  const char* h = "127.0.0.1";
  struct Call {
    const char* name;
    std::function<void()> run;
  };
  const std::vector<Call> calls = {
      {"http_access_protocol1",
       [&] { http_access_protocol1(h, "q", port, "p", request, size, answer, &answer_size); }},
      {"http_access_protocol2",
       [&] { http_access_protocol2(h, "q", port, "p", request, size, file.c_str()); }},
      {"get_verification_from_service",
       [&] { get_verification_from_service(h, "q", port, "p", request, size, &info); }},
      {"get_local_ip_from_service",
       [&] { get_local_ip_from_service(h, "q", port, "p", request, size, texts[0]); }},
      {"get_kiv_adLink_from_service",
       [&] { get_kiv_adLink_from_service(h, "q", port, "p", request, size, &link); }},
      {"get_kiv_client_title_from_service",
       [&] { get_kiv_client_title_from_service(h, "q", port, "p", request, size, &title); }},
      {"get_loginvpn_from_service",
       [&] { get_loginvpn_from_service(h, "q", port, "p", request, size, &err, texts[0]); }},
      {"check_hangup_from_service",
       [&] { check_hangup_from_service(h, "q", port, "p", request, size, &err, texts[0]); }},
      {"get_vpn_info", [&] { get_vpn_info(h, "q", port, "p", request, size, &vpn); }},
      {"get_gameroute_from_server",
       [&] { get_gameroute_from_server(h, "q", port, "p", request, size, ignore_text, &err); }},
      {"get_usertypelist_from_server",
       [&] { get_usertypelist_from_server(h, "q", port, "p", request, size, ignore_text, &err); }},
      {"get_gameprocess_from_server",
       [&] { get_gameprocess_from_server(h, "q", port, "p", request, size, ignore_text, &err); }},
      {"get_serverdelay_from_server",
       [&] { get_serverdelay_from_server(h, "q", port, "p", request, size, ignore_row, &err); }},
      {"get_areadelay_from_server",
       [&] { get_areadelay_from_server(h, "q", port, "p", request, size, ignore_row, &err); }},
      {"save_game_route_info",
       [&] { save_game_route_info(h, "q", port, "p", request, size, &err); }},
  };
  const std::string logged = "request_data: " + text + ", request_size :" + std::to_string(size);
  for (const Call& call : calls) {
    SCOPED_TRACE(call.name);
    capture.clear();
    server.clear_requests();
    call.run();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, zlib_compress(text));
    size_t lines = 0;
    for (const std::string& message : capture.messages()) {
      lines += message.find(logged) != std::string::npos;
    }
    EXPECT_EQ(lines, 1u);
  }

  // A NUL within the size ends the logged text, though every byte is sent;
  // a negative size reads nothing.
  const std::string with_nul("abc\0def", 7);
  std::memcpy(block.data() + text.size() - with_nul.size(), with_nul.data(), with_nul.size());
  capture.clear();
  server.clear_requests();
  answer_size = sizeof answer;
  http_access_protocol1(h, "q", port, "p", block.data() + text.size() - with_nul.size(), 7, answer,
                        &answer_size);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].body, zlib_compress(with_nul));
  EXPECT_TRUE(
      capture.contains("host:127.0.0.1, url: q, protocol: p, request_data: abc, request_size :7"));
  capture.clear();
  EXPECT_EQ(http_access_protocol1(h, "q", port, "p", block.data() + text.size() - 1, -1, answer,
                                  &answer_size),
            10003);
  EXPECT_TRUE(
      capture.contains("host:127.0.0.1, url: q, protocol: p, request_data: , request_size :-1"));
}

TEST_F(Transport, StatusOtherThan200Gives113AndLeavesCallerStorageAndFileAlone) {
  const std::string old_file = dir.file("list.dat");
  struct Case {
    int status;
    std::string body;
  };
  for (const Case& c : {Case{404, zlib_compress("{}")}, Case{500, zlib_compress("{}")},
                        Case{201, zlib_compress("{}")}, Case{404, random_bytes(2 << 20, false)}}) {
    SCOPED_TRACE(c.status);
    server.set_reply("/q", make_reply(c.status, c.body));
    dir.write("list.dat", "old content");
    capture.clear();
    const Answer answer = call1("q", "req");
    EXPECT_EQ(answer.rc, 113);
    EXPECT_EQ(answer.data, std::string(4096, '#'));
    EXPECT_EQ(answer.size, 4096u);
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{kEnter1, params1("q", "req"), kRespondFailedLine, kExit1}));
    EXPECT_EQ(call2("q", old_file.c_str()), 113);
    EXPECT_EQ(read_file(old_file), "old content");
  }
  EXPECT_TRUE(ReportRecorder::take().empty());
}

TEST_F(Transport, EmptyAnswerFailsInflationAndLeavesTheOldFile) {
  server.set_reply("/empty", make_reply(200, ""));
  const int z = zlib_code_for("", 4096);
  const Answer answer = call1("empty", "req");
  EXPECT_EQ(answer.rc, 102);
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{
                                    kEnter1, params1("empty", "req"),
                                    format(msg::kUncompressFailed, 810, kSource, kP1, z), kExit1}));
  EXPECT_EQ(ReportRecorder::take(),
            (std::vector<RecordedReport>{report(301, z + 11000, "uncompress")}));

  const std::string file = dir.file("list.dat");
  dir.write("list.dat", "old content");
  EXPECT_EQ(call2("empty", file.c_str()), 10003);
  EXPECT_EQ(read_file(file), "old content");
  EXPECT_TRUE(capture.contains("Error: PARAM, in save_services_list_to_file()"));
  EXPECT_EQ(ReportRecorder::take(),
            (std::vector<RecordedReport>{
                report(302, 10003, "save_services_list_to_file", msg::kParamErrorText)}));
}

TEST_F(Transport, RedirectsAreFollowedAndOnlyTheFinalResponseCounts) {
  server.set_reply("/old", make_reply(200, "not the answer", {}, "/new"));
  server.set_reply("/new", json_reply("the answer"));
  server.set_reply("/gone", make_reply(200, "", {}, "/missing"));

  const Answer answer = call1("old", "req");
  ASSERT_EQ(answer.rc, 0);
  EXPECT_EQ(answer.data.substr(0, answer.size), "the answer");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].path, "/new");

  EXPECT_EQ(call1("gone", "req").rc, 113);
}

TEST_F(Transport, TransferFailuresGive114WithLibcurlsCodeAndText) {
  // A server that does not answer within the 2-second time-out.
  server.set_reply("/slow",
                   make_reply(200, zlib_compress("late"), std::chrono::milliseconds(4000)));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(call1("slow", "req").rc, 114);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3500));
  auto lines = capture.messages();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2].rfind(perform_line_start(kCurlTimedOut), 0), 0u) << lines[2];
  EXPECT_GT(lines[2].size(), perform_line_start(kCurlTimedOut).size());  // libcurl's text
  EXPECT_EQ(lines[3], kRespondFailedLine);

  // Nobody listens on the port.
  const uint16_t port = closed_port();
  capture.clear();
  char buffer[16];
  uint32_t size = sizeof buffer;
  EXPECT_EQ(http_access_protocol1("127.0.0.1", "q", port, "p", "r", 1, buffer, &size), 114);
  lines = capture.messages();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2].rfind(perform_line_start(kCurlCouldntConnect), 0), 0u) << lines[2];
  EXPECT_EQ(size, sizeof buffer);
  EXPECT_TRUE(ReportRecorder::take().empty());
}

TEST_F(Transport, CallerBufferThatCannotHoldTheAnswerGives102WithZlibsCode) {
  const std::string text(100, 'x');
  server.set_reply("/q", json_reply(text));
  server.set_reply("/nothing", json_reply(""));
  for (const uint32_t capacity : {99u, 10u, 0u}) {
    SCOPED_TRACE(capacity);
    const int z = zlib_code_for(zlib_compress(text), capacity);
    const Answer answer = call1("q", "req", capacity);
    EXPECT_EQ(answer.rc, 102);
    EXPECT_EQ(answer.size, capacity);
    EXPECT_EQ(ReportRecorder::take(),
              (std::vector<RecordedReport>{report(301, z + 11000, "uncompress")}));
  }
  // A capacity of 0 takes an answer that inflates to nothing.
  const Answer empty = call1("nothing", "req", 0);
  EXPECT_EQ(empty.rc, 0);
  EXPECT_EQ(empty.size, 0u);
}

TEST_F(Transport, AnswersAreKeptUpTo1MiBAndLongerOnesFail) {
  const std::string file = dir.file("list.dat");
  const std::string limit_body = random_bytes(1 << 20, false);
  server.set_reply("/limit", make_reply(200, limit_body));
  EXPECT_EQ(call2("limit", file.c_str()), 0);
  EXPECT_TRUE(read_file(file) == limit_body);

  server.set_reply("/over", make_reply(200, limit_body + "!"));
  capture.clear();
  EXPECT_EQ(call2("over", file.c_str()), 114);
  EXPECT_TRUE(read_file(file) == limit_body);
  const auto lines = capture.messages();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2].rfind(perform_line_start(kCurlWriteError), 0), 0u) << lines[2];

  // A valid stream that inflates to little but is too long on the wire.
  std::string padded = zlib_compress(random_bytes((1 << 20) + 64, false));
  server.set_reply("/over1", make_reply(200, padded));
  EXPECT_EQ(call1("over1", "req").rc, 114);
}

TEST_F(Transport, LargeRequestIsSentWhenItsCompressedFormFitsElseFails101) {
  server.set_default_reply(json_reply("ok"));
  const std::string text = random_bytes(20 * 1024, true);
  ASSERT_EQ(call1("big", text).rc, 0);
  ASSERT_EQ(server.request_count(), 1u);
  EXPECT_TRUE(server.requests()[0].body == zlib_compress(text));

  // Incompressible: zlib needs more than the request's length + 13 bytes.
  server.clear_requests();
  ReportRecorder::take();
  const std::string noise = random_bytes(20 * 1024, false);
  capture.clear();
  EXPECT_EQ(call1("big", noise).rc, 101);
  EXPECT_TRUE(capture.contains(format(msg::kCompressFailed, Z_BUF_ERROR, 779, kSource, kP1)));
  EXPECT_EQ(call2("big", dir.file("x").c_str(), noise), 101);
  EXPECT_TRUE(capture.contains("Error: Failed to call compress, in http_access_protoco2()"));
  EXPECT_EQ(server.request_count(), 0u);
  EXPECT_EQ(ReportRecorder::take(),
            (std::vector<RecordedReport>{report(301, Z_BUF_ERROR + 11000, "compress"),
                                         report(302, Z_BUF_ERROR + 11000, "compress")}));
}

TEST_F(Transport, MissingArgumentsGive10003WithoutAConnection) {
  struct Case {
    const char* name;
    const char* host;
    const char* url;
    const char* protocol;
    const char* data;
    int32_t size;
  };
  const Case cases[] = {{"protocol", "127.0.0.1", "q", nullptr, "req", 3},
                        {"host", nullptr, "q", "proto", "req", 3},
                        {"url", "127.0.0.1", nullptr, "proto", "req", 3},
                        {"request_data", "127.0.0.1", "q", "proto", nullptr, 5},
                        {"negative size", "127.0.0.1", "q", "proto", "req", -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture.clear();
    char buffer[16];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(http_access_protocol1(c.host, c.url, server.port(), c.protocol, c.data, c.size,
                                    buffer, &size),
              10003);
    const auto lines = capture.messages();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], kParamLine);
    EXPECT_EQ(lines[3], kRespondFailedLine);
    if (c.protocol == nullptr) {
      EXPECT_NE(lines[1].find("protocol: (null)"), std::string::npos);
    }
    EXPECT_EQ(http_access_protocol2(c.host, c.url, server.port(), c.protocol, c.data, c.size,
                                    dir.file("x").c_str()),
              10003);
  }

  // No place for the answer.
  capture.clear();
  char buffer[16];
  uint32_t size = sizeof buffer;
  EXPECT_EQ(http_access_protocol1("127.0.0.1", "q", server.port(), "p", "r", 1, buffer, nullptr),
            10003);
  EXPECT_EQ(http_access_protocol1("127.0.0.1", "q", server.port(), "p", "r", 1, nullptr, &size),
            10003);
  EXPECT_EQ(capture.count("Error: PARAM, in http_access_protocol1()"), 2u);

  EXPECT_EQ(server.request_count(), 0u);
  EXPECT_TRUE(ReportRecorder::take().empty());
}

TEST_F(Transport, UrlIsBuiltFromItsPartsWhateverTheirLength) {
  server.set_default_reply(json_reply("ok"));
  const std::string long_path = random_bytes(5000, true);
  struct Case {
    const char* host;
    std::string url;
    std::string path;
  };
  for (const Case& c :
       {Case{"127.0.0.1", "", "/"}, Case{"127.0.0.1", "/lead", "//lead"},
        Case{"127.0.0.1", long_path, "/" + long_path}, Case{"localhost", "by/name", "/by/name"}}) {
    SCOPED_TRACE(c.url.substr(0, 20));
    server.clear_requests();
    EXPECT_EQ(call1(c.url.c_str(), "req", 64, c.host).rc, 0);
    ASSERT_EQ(server.request_count(), 1u);
    EXPECT_EQ(server.requests()[0].path, c.path);
  }

  // A port beyond 16 bits keeps all its digits, and libcurl refuses the URL.
  char buffer[16];
  uint32_t size = sizeof buffer;
  capture.clear();
  EXPECT_EQ(http_access_protocol1("127.0.0.1", "q", 4294967295u, "p", "r", 1, buffer, &size), 114);
  EXPECT_EQ(capture.messages()[2].rfind(perform_line_start(kCurlUrlMalformed), 0), 0u);

  // A URL longer than libcurl accepts: the option is refused.
  const std::string huge(8'000'001, 'u');
  capture.clear();
  EXPECT_EQ(call1(huge.c_str(), "req").rc, kOptionRefusedBits);
  EXPECT_EQ(capture.messages()[2].rfind(
                format("curl_set: %d, %s, %s ret:%u ", 375, kSource, kBag, kCurlBadArgument), 0),
            0u);
}

TEST_F(Transport, AnswerFileIsReplacedByTheRawBody) {
  const std::string body("\x78\x9C\0raw\0\xFF body", 14);
  server.set_reply("/list", make_reply(200, body));
  const std::string file = dir.file("list.dat");
  dir.write("list.dat", std::string(100, 'o'));
  EXPECT_EQ(call2("list", file.c_str()), 0);
  EXPECT_TRUE(read_file(file) == body);
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{"Enter http_access_protocol2",
                                      "host:127.0.0.1, url: list, protocol: proto, request_data: "
                                      "list, request_size :4 saveFile: " +
                                          file,
                                      "Exit http_access_protocol2"}));

  // Its folder does not exist.
  const std::string lost = dir.file("no-such-folder/list.dat");
  EXPECT_EQ(call2("list", lost.c_str()), 5);
  EXPECT_FALSE(std::filesystem::exists(lost));
  EXPECT_TRUE(
      capture.contains("Error: Failed to call CreateFileA(), in save_services_list_to_file()"));
  EXPECT_EQ(ReportRecorder::take(),
            (std::vector<RecordedReport>{report(302, kErrorPathNotFound, "CreateFileA")}));

  // No file named: the exchange happens, the writer refuses.
  server.clear_requests();
  EXPECT_EQ(call2("list", nullptr), 10003);
  EXPECT_EQ(server.request_count(), 1u);
  EXPECT_EQ(ReportRecorder::take(),
            (std::vector<RecordedReport>{
                report(302, 10003, "save_services_list_to_file", msg::kParamErrorText)}));
}

// A reader's rows: the server ids of one read of the saved list.
void collect_server_id(int32_t count, char**, void** values, void* context) {
  if (count > 2)
    static_cast<std::vector<int32_t>*>(context)->push_back(*static_cast<int32_t*>(values[2]));
}
void ignore_address(int32_t, char**, void**, void*) {}

TEST_F(Transport, ReadersOfTheSavedListGetOneWholeListWhileItIsReplaced) {
  // Two lists of different lengths: a read that met a half-written file, or
  // took its size from one list and its bytes from the other, fails.
  const std::string list_a = R"({"err":1,"server":[{"id":1}]})";
  const std::string list_b =
      R"({"err":1,"server":[{"id":2},{"id":3}],"pad":")" + random_bytes(6000, true) + "\"}";
  server.set_reply("/a", make_reply(200, zlib_compress(list_a)));
  server.set_reply("/b", make_reply(200, zlib_compress(list_b)));
  const std::string file = dir.file("list.dat");
  ASSERT_EQ(call2("a", file.c_str()), 0);

  std::atomic<bool> saving{true};
  std::atomic<int> reads{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      do {
        std::vector<int32_t> ids;
        int32_t err = 0;
        const int32_t rc =
            get_data_from_file(file.c_str(), collect_server_id, ignore_address, &ids, &err);
        const bool whole =
            rc == 0 && (ids == std::vector<int32_t>{1} || ids == std::vector<int32_t>{2, 3});
        if (!whole) ++wrong;
        ++reads;
        // Now and then, as a client reads it: Windows replaces no file that
        // is open, so a save waits for a moment when no reader holds it.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      } while (saving.load());
    });
  }
  while (reads.load() < 3) std::this_thread::yield();  // the readers are under way
  int failed_saves = 0;
  for (int i = 0; i < 100; ++i) {
    if (call2(i % 2 == 0 ? "b" : "a", file.c_str()) != 0) ++failed_saves;
  }
  saving = false;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(failed_saves, 0);
  EXPECT_EQ(wrong.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_TRUE(ReportRecorder::take().empty());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
}  // namespace kiv::test
