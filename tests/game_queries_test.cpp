// The six game queries against a loopback web service.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "http_server.h"
#include "kiv_svcquery.h"
#include "message_capture.h"
#include "query_test_support.h"
#include "report_recorder.h"

namespace kiv::test {
namespace {

// "服务器返回失败 in %s" and the same with "！"
std::string server_failed(const std::string& name) {
  return "\xB7\xFE\xCE\xF1\xC6\xF7\xB7\xB5\xBB\xD8\xCA\xA7\xB0\xDC in " + name;
}
std::string server_failed_bang(const std::string& name) {
  return server_failed(name) + "\xA3\xA1";
}
constexpr char kParseFailed[] = "\xBD\xE2\xCE\xF6\xCA\xA7\xB0\xDC";  // "解析失败"
constexpr char kParseOk[] = "\xBD\xE2\xCE\xF6\xD5\xFD\xC8\xB7";      // "解析正确"

// What the callbacks saw.
struct Seen {
  std::vector<std::string> texts;
  struct Row {
    int32_t count;
    std::vector<std::string> names;
    std::vector<int32_t> values;
    char* first_name_block;
    bool operator==(const Row& o) const {
      return count == o.count && names == o.names && values == o.values;
    }
  };
  std::vector<Row> rows;
};

void on_text(const char* text, void* context) {
  static_cast<Seen*>(context)->texts.push_back(text);
}

void on_row(int32_t count, char** names, void** values, void* context) {
  Seen::Row row{count, {}, {}, names[0]};
  for (int32_t i = 0; i < count; ++i) {
    row.names.emplace_back(names[i]);
    int32_t value;
    std::memcpy(&value, values[i], sizeof value);
    row.values.push_back(value);
  }
  static_cast<Seen*>(context)->rows.push_back(row);
}

struct Query {
  std::string name;
  size_t answer_size;
  // Calls the export with the given callback presence and context.
  std::function<int32_t(const Head&, bool callback, void* context)> call;
};

Query text_query(std::string name, size_t size,
                 int32_t (*fn)(const char*, const char*, uint32_t, const char*, const char*,
                               int32_t, json_text_callback, void*)) {
  return {name, size, [fn](const Head& h, bool callback, void* context) {
            return fn(h.host, h.url, h.port, h.protocol, h.request, h.size,
                      callback ? on_text : nullptr, context);
          }};
}

Query row_query(std::string name, int32_t (*fn)(const char*, const char*, uint32_t, const char*,
                                                const char*, int32_t, row_callback, void*)) {
  return {name, 4096, [fn](const Head& h, bool callback, void* context) {
            return fn(h.host, h.url, h.port, h.protocol, h.request, h.size,
                      callback ? on_row : nullptr, context);
          }};
}

const Query kRoute = text_query("get_gameroute_from_server", 1048576, get_gameroute_from_server);
const Query kUserTypes =
    text_query("get_usertypelist_from_server", 2048, get_usertypelist_from_server);
const Query kProcess =
    text_query("get_gameprocess_from_server", 1048576, get_gameprocess_from_server);
const Query kServerDelay = row_query("get_serverdelay_from_server", get_serverdelay_from_server);
const Query kAreaDelay = row_query("get_areadelay_from_server", get_areadelay_from_server);

struct ListCase {
  Query query;
  std::string member;
  int32_t refused;
  bool traces;  // writes its progress to standard output
};
const std::vector<ListCase> kLists = {
    {kRoute, "gameroute", 1, true},
    {kUserTypes, "usertypelist", 0, false},
    {kProcess, "gameprocess", 1, true},
};

struct DelayCase {
  Query query;
  std::vector<std::string> fields;
};
const std::vector<DelayCase> kDelays = {
    {kServerDelay, {"gameid", "serverid", "delay"}},
    {kAreaDelay, {"nodeId", "areaId", "delay"}},
};

class GameQueries : public ::testing::Test {
 protected:
  void SetUp() override {
    head_.port = server_.port();
    ReportRecorder::take();
  }
  // Calls `query` with the service answering `json`; returns the result and
  // keeps what the process wrote to standard output meanwhile.
  int32_t ask(const Query& query, const std::string& json) {
    server_.set_default_reply(json_reply(json));
    capture_.clear();
    seen_ = Seen{};
    ::testing::internal::CaptureStdout();
    const int32_t result = query.call(head_, true, &seen_);
    stdout_ = ::testing::internal::GetCapturedStdout();
    return result;
  }
  std::string last_message() const {
    const auto messages = capture_.messages();
    return messages.empty() ? std::string() : messages.back();
  }

  LoopbackHttpServer server_;
  MessageCapture capture_;
  Head head_;
  Seen seen_;
  std::string stdout_;
};

TEST_F(GameQueries, ListQueriesHandOverTheMembersJsonTextOnce) {
  for (const ListCase& c : kLists) {
    SCOPED_TRACE(c.query.name);
    const std::string answer =
        R"({"err":1,")" + c.member + R"(":[{"id":1,"name":"a b"},"x",null,[2]],"other":3})";
    EXPECT_EQ(ask(c.query, answer), 0);
    // The whole array, as the JSON library writes it.
    json_object* parsed = json_tokener_parse(answer.c_str());
    const std::string expected =
        json_object_get_string(json_object_object_get(parsed, c.member.c_str()));
    json_object_put(parsed);
    EXPECT_EQ(seen_.texts, std::vector<std::string>{expected});
    EXPECT_EQ(expected.front(), '[');
    EXPECT_EQ(stdout_, c.traces ? kParseOk : "");

    EXPECT_EQ(ask(c.query, R"({"err":1,")" + c.member + R"(":"plain"})"), 0);
    EXPECT_EQ(seen_.texts, std::vector<std::string>{"plain"});

    EXPECT_EQ(ask(c.query, R"({"err":1,"other":[1]})"), 0);
    EXPECT_TRUE(seen_.texts.empty());
    EXPECT_EQ(stdout_, "");
  }
}

TEST_F(GameQueries, ListQueriesRefusedGiveOneOrZeroAndMakeNoCall) {
  for (const ListCase& c : kLists) {
    SCOPED_TRACE(c.query.name);
    for (const std::string& answer : std::vector<std::string>{
             R"({"err":0,")" + c.member + R"(":[1]})", R"({")" + c.member + R"(":[1]})"}) {
      EXPECT_EQ(ask(c.query, answer), c.refused);
      EXPECT_TRUE(seen_.texts.empty());
      const std::string line =
          c.traces ? server_failed_bang(c.query.name) : server_failed(c.query.name);
      EXPECT_EQ(last_message(), line);
      EXPECT_EQ(stdout_, c.traces ? line : "");
    }
  }
}

TEST_F(GameQueries, AnswerThatIsNotJsonGives101) {
  for (const ListCase& c : kLists) {
    SCOPED_TRACE(c.query.name);
    EXPECT_EQ(ask(c.query, "{\"err\":1,"), 101);
    EXPECT_EQ(last_message(),
              "ERROR : Failed to call json_tokener_parser(), in " + c.query.name + "()");
    EXPECT_EQ(stdout_, c.traces ? kParseFailed : "");
    EXPECT_TRUE(seen_.texts.empty());
  }
  for (const DelayCase& c : kDelays) {
    SCOPED_TRACE(c.query.name);
    EXPECT_EQ(ask(c.query, "gamedelay"), 101);
    EXPECT_EQ(last_message(),
              "ERROR : Failed to call json_tokener_parser(), in " + c.query.name + "()");
    EXPECT_TRUE(seen_.rows.empty());
  }
}

TEST_F(GameQueries, CallbackQueriesRejectNullArgumentsAndContextZeroWithoutReport) {
  for (const Query& q : {kRoute, kUserTypes, kProcess, kServerDelay, kAreaDelay}) {
    SCOPED_TRACE(q.name);
    Seen seen;
    std::vector<std::function<int32_t()>> calls;
    for (int i = 0; i < kHeadPointers; ++i)
      calls.push_back([&, i] { return q.call(without(head_, i), true, &seen); });
    calls.push_back([&] { return q.call(head_, false, &seen); });
    calls.push_back([&] { return q.call(head_, true, nullptr); });
    for (const auto& call : calls) {
      capture_.clear();
      EXPECT_EQ(call(), 10003);
      EXPECT_EQ(capture_.messages(), std::vector<std::string>{"ERROR: PARAM, in " + q.name + "()"});
    }
    EXPECT_TRUE(seen.texts.empty() && seen.rows.empty());
  }
  EXPECT_TRUE(ReportRecorder::take().empty());
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(GameQueries, CallbackQueriesPassTransportFailuresOn) {
  const uint16_t nobody = closed_port();
  for (const Query& q : {kRoute, kUserTypes, kProcess, kServerDelay, kAreaDelay}) {
    for (const TransportFailure& failure : transport_failures(q.answer_size)) {
      SCOPED_TRACE(q.name + ": " + failure.what);
      Head head = head_;
      if (failure.closed) head.port = nobody;
      server_.set_default_reply(failure.reply);
      capture_.clear();
      Seen seen;
      EXPECT_EQ(q.call(head, true, &seen), failure.transport_code);
      EXPECT_EQ(last_message(), "ERROR:  Failed call http_access_protocol1(),in " + q.name + "()");
      EXPECT_TRUE(seen.texts.empty() && seen.rows.empty());
      ReportRecorder::take();  // the transport's own reports
    }
  }
}

TEST_F(GameQueries, DelayQueriesDeliverOneRowPerObjectInBlocksReusedForEveryRow) {
  for (const DelayCase& c : kDelays) {
    SCOPED_TRACE(c.query.name);
    const auto& f = c.fields;
    const std::string answer = R"({"err":1,"gamedelay":[{")" + f[0] + R"(":1,")" + f[1] +
                               R"(":2,")" + f[2] + R"(":30},null,{")" + f[0] + R"(":4,")" + f[2] +
                               R"(":50},7,"s",[1],{")" + f[2] + R"(":-1,")" + f[1] + R"(":9,")" +
                               f[0] + R"(":8}]})";
    EXPECT_EQ(ask(c.query, answer), 0);
    const std::vector<Seen::Row> expected = {
        {3, f, {1, 2, 30}, nullptr}, {3, f, {4, 0, 50}, nullptr}, {3, f, {8, 9, -1}, nullptr}};
    EXPECT_EQ(seen_.rows, expected);
    ASSERT_EQ(seen_.rows.size(), 3u);
    EXPECT_EQ(seen_.rows[0].first_name_block, seen_.rows[2].first_name_block);
  }
}

TEST_F(GameQueries, DelayQueriesWithoutAListMakeNoCall) {
  for (const DelayCase& c : kDelays) {
    SCOPED_TRACE(c.query.name);
    const std::string row = R"({")" + c.fields[0] + R"(":1})";
    for (const std::string& answer : std::vector<std::string>{
             R"({"err":1,"gamedelay":[]})", R"({"err":1})", R"({"err":1,"gamedelay":)" + row + "}",
             R"({"err":1,"gamedelay":5})", R"({"err":1,"gamedelay":"[1]"})",
             R"({"err":1,"areadelay":[)" + row + "]}"}) {
      SCOPED_TRACE(answer);
      EXPECT_EQ(ask(c.query, answer), 0);
      EXPECT_TRUE(seen_.rows.empty());
      EXPECT_FALSE(capture_.contains(server_failed(c.query.name)));
    }
    EXPECT_EQ(ask(c.query, R"({"err":0,"gamedelay":[)" + row + "]}"), 0);
    EXPECT_TRUE(seen_.rows.empty());
    EXPECT_EQ(last_message(), server_failed(c.query.name));
  }
}

class SaveGameRoute : public GameQueries {
 protected:
  int32_t save(const Head& head, int32_t* err_value) {
    capture_.clear();
    return save_game_route_info(head.host, head.url, head.port, head.protocol, head.request,
                                head.size, err_value);
  }
  int32_t save(const std::string& json) {
    server_.set_default_reply(json_reply(json));
    err_ = -7;
    return save(head_, &err_);
  }
  int32_t err_ = -7;
};

TEST_F(SaveGameRoute, EveryTransportFailureAndAnEmptyAnswerGive113) {
  constexpr char kLine[] =
      "Error:  Failed to call http_access_protocol(), in get_check_ischeck_info()";
  const uint16_t nobody = closed_port();
  for (const TransportFailure& failure : transport_failures(256)) {
    SCOPED_TRACE(failure.what);
    Head head = head_;
    if (failure.closed) head.port = nobody;
    server_.set_default_reply(failure.reply);
    err_ = -7;
    EXPECT_EQ(save(head, &err_), 113);
    EXPECT_EQ(last_message(), kLine);
    EXPECT_EQ(err_, -7);
  }
  EXPECT_EQ(save(""), 113);
  EXPECT_EQ(last_message(), kLine);
  EXPECT_EQ(err_, -7);

  // A negative size, which the transport refuses as a missing argument
  // before anything is sent, is one more failed exchange here.
  const size_t requests = server_.request_count();
  Head negative = head_;
  negative.size = -1;
  EXPECT_EQ(save(negative, &err_), 113);
  EXPECT_EQ(last_message(), kLine);
  EXPECT_EQ(err_, -7);
  EXPECT_EQ(server_.request_count(), requests);
}

TEST_F(SaveGameRoute, StoresErrWhenPresentAndOtherwiseLeavesIt) {
  EXPECT_EQ(save(R"({"err":7})"), 0);
  EXPECT_EQ(err_, 7);
  EXPECT_EQ(save(R"({"err":0})"), 0);
  EXPECT_EQ(err_, 0);
  EXPECT_EQ(save(padded(R"({"err":2})", 256)), 0);  // fills the buffer exactly
  EXPECT_EQ(err_, 2);

  EXPECT_EQ(save(R"({"ok":1})"), 0);
  EXPECT_EQ(err_, -7);
  EXPECT_EQ(save("not json"), 0);
  EXPECT_EQ(err_, -7);
  EXPECT_EQ(last_message(), "Error:  Failed to parse json");
}

TEST_F(SaveGameRoute, NullArgumentGives10003AndAReportUnderItsOldName) {
  std::vector<Head> heads;
  for (int i = 0; i < kHeadPointers; ++i) heads.push_back(without(head_, i));
  for (size_t i = 0; i <= heads.size(); ++i) {
    SCOPED_TRACE(i);
    const bool head_null = i < heads.size();
    EXPECT_EQ(save(head_null ? heads[i] : head_, head_null ? &err_ : nullptr), 10003);
    EXPECT_EQ(capture_.messages(),
              std::vector<std::string>{"ERROR: PARAM, in get_check_ischeck_info()"});
    EXPECT_EQ(
        ReportRecorder::take(),
        (std::vector<RecordedReport>{{3, 314, 10003, "get_check_ischeck_info", kParamErrorText}}));
  }
  EXPECT_EQ(server_.request_count(), 0u);
}

}  // namespace
}  // namespace kiv::test
