// The report library in a client process: each report's record and its
// datagram, null arguments, the failure record's texts, the datagram's size
// bound, a zlib without both entry points, the caller's own sockets,
// concurrent reports, and the query library's failures reaching the server.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kiv_reports.h"
#include "logsend_support.h"
#include "platform.h"
#include "zlib_util.h"

namespace kiv::test {
namespace {

using namespace std::chrono_literals;

// What a failure report without a free text carries for `error`: the first
// line of the system's own text for it (strerror on Linux, FormatMessageA on
// Windows), without its line break.
std::string system_text_of(int error) {
  std::string text;
  if (!platform::system_error_text(error, &text)) return "(the system has no text)";
  return text.substr(0, text.find_first_of("\r\n"));
}

// A json-c string member of the record's "param", or "<missing>".
std::string param_member(const std::string& record, const char* key) {
  json_object* root = json_tokener_parse(record.c_str());
  json_object* param = nullptr;
  json_object* member = nullptr;
  std::string value = "<missing>";
  if (root != nullptr && json_object_object_get_ex(root, "param", &param) &&
      json_object_object_get_ex(param, key, &member)) {
    value.assign(json_object_get_string(member), json_object_get_string_len(member));
  }
  json_object_put(root);
  return value;
}

// Files the record's "act" with the names of its "param" members, in order.
void record_names(const std::string& record,
                  std::map<std::string, std::vector<std::string>>& names) {
  json_object* root = json_tokener_parse(record.c_str());
  json_object* act = nullptr;
  json_object* param = nullptr;
  if (root != nullptr && json_object_object_get_ex(root, "act", &act) &&
      json_object_object_get_ex(root, "param", &param)) {
    std::vector<std::string>& members = names[json_object_get_string(act)];
    if (json_object_is_type(param, json_type_object)) {
      json_object_object_foreach(param, name, value) {
        (void)value;
        members.emplace_back(name);
      }
    }
  }
  json_object_put(root);
}

TEST_F(LogsendClient, EveryReportSendsItsRecordAsCompressOutput) {
  const struct {
    std::vector<std::string> args;
    std::string record;
    bool send_data_trace;
  } cases[] = {
      {{"break", "1.0.3", "alice", "10.1.2.3", "2", "-7"},
       "{\"act\":\"OutLineState\",\"param\":{\"kiv_version\":\"1.0.3\",\"user_name\":\"alice\", "
       "\"server_ip\":\"10.1.2.3\",\"dial_mode\":2,\"disconnect_type\":-7}}",
       false},
      {{"bug", "3", "12", "-5", "curl_easy_perform", "timed out"},
       "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":12,\"error_number\":-5,"
       "\"error_func_name\":\"curl_easy_perform\",\"error_specify\":\"timed out\"}}",
       false},
      {{"login", "1.0.3", "alice", "1"},
       "{\"act\":\"LoginService\",\"param\":{\"kiv_version\":\"1.0.3\",\"user_name\":\"alice\","
       "\"login_state\":1}}",
       true},
      {{"disconnect", "1.0.3", "alice", "10.1.2.3", "east-1", "4"},
       "{\"act\":\"DisconnServer\",\"param\":{\"kiv_version\":\"1.0.3\",\"user_name\":\"alice\","
       "\"dial_module\":4,\"server_ip\":\"10.1.2.3\",\"server_name\":\"east-1\"}}",
       true},
      {{"open", "1.5"},
       "{\"act\":\"OpenLoginService\",\"param\":{\"kiv_version\":\"1.5\"}}",
       false},
      {{"link", "1", "2", "10.1.2.3", "east-1", "alice", "5"},
       "{\"act\":\"LinkService\",\"param\":{\"link_mode\":1,\"link_state\":2,"
       "\"link_service_ip\":\"10.1.2.3\",\"userType_Id\":5,\"link_service_name\":\"east-1\","
       "\"link_account\":\"alice\"}}",
       false},
      // The caller's JSON goes in raw, even when it is not JSON.
      {{"client", "{\"op\":\"x\",\"n\":[1,2]}"},
       "{\"act\":\"ClientOperate\",\"param\":{\"op\":\"x\",\"n\":[1,2]}}",
       true},
      {{"client", "not \"json"}, "{\"act\":\"ClientOperate\",\"param\":not \"json}", true},
  };
  EXPECT_EQ(std::string(cases[4].record).size(), 56u);
  std::map<std::string, std::vector<std::string>> names_sent;  // by act: its members
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const Report report = run(c.args);
    ASSERT_EQ(report.datagrams.size(), 1u);
    const Datagram& datagram = report.datagrams[0];
    EXPECT_EQ(datagram.text, c.record);
    record_names(datagram.text, names_sent);
    EXPECT_EQ(datagram.raw, zlib_compress(c.record));
    EXPECT_LE(datagram.raw.size(), c.record.size() + 13);
    EXPECT_TRUE(report.messages.empty());
    const std::string trace = c.send_data_trace ? "send_data = " + c.record + "\n" : "";
    EXPECT_EQ(report.child.out, trace + length_traces(c.record.size(), datagram.raw.size()));
  }
  // Every row of the export table names its record's act and members, in order.
  for (const ReportRecord& row : report_records()) {
    SCOPED_TRACE(row.name);
    const auto sent = names_sent.find(std::string(row.act));
    ASSERT_NE(sent, names_sent.end()) << "no record with the act " << row.act;
    if (row.members.empty()) continue;  // "param" is the caller's JSON
    EXPECT_EQ(sent->second, std::vector<std::string>(row.members.begin(), row.members.end()));
  }
}

TEST_F(LogsendClient, NullArgumentsSendNothing) {
  const std::vector<std::string> cases[] = {
      {"break", "@null", "u", "s", "1", "2"},
      {"break", "v", "@null", "s", "1", "2"},
      {"break", "v", "u", "@null", "1", "2"},
      {"client", "@null"},
      {"disconnect", "@null", "u", "s", "n", "1"},
      {"disconnect", "v", "@null", "s", "n", "1"},
      {"disconnect", "v", "u", "@null", "n", "1"},
      {"disconnect", "v", "u", "s", "@null", "1"},
      {"link", "1", "2", "@null", "n", "a", "3"},
      {"link", "1", "2", "s", "@null", "a", "3"},
      {"link", "1", "2", "s", "n", "@null", "3"},
      {"login", "@null", "u", "1"},
      {"login", "v", "@null", "1"},
      {"open", "@null"},
      {"bug", "3", "4", "5", "@null", "text"},
  };
  for (const auto& args : cases) {
    std::string call;
    for (const auto& arg : args) call += arg + " ";
    SCOPED_TRACE(call);
    const Report report = run(args, 0);
    const std::string expected = args[0] == "bug" ? "Error: Params are wrong!\n" : "Error: Param\n";
    EXPECT_EQ(report.messages, Messages{expected});
    EXPECT_TRUE(report.datagrams.empty());
    EXPECT_EQ(report.child.out, "");
  }
}

TEST_F(LogsendClient, FailureReportCarriesTheFreeTextOrTheSystemText) {
  const std::string head =
      "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":7,\"error_number\":2,"
      "\"error_func_name\":\"open\",\"error_specify\":";
  const struct {
    std::string free_text;
    std::string specify;
  } cases[] = {
      {"", ""},
      {"disk \"C:\\\" full", "disk \\\"C:\\\\\\\" full"},
      {"@null", system_text_of(2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free_text);
    const Report report = run({"bug", "3", "7", "2", "open", c.free_text});
    ASSERT_EQ(report.datagrams.size(), 1u);
    EXPECT_EQ(report.datagrams[0].text, head + "\"" + c.specify + "\"}}");
    EXPECT_TRUE(report.messages.empty());
    EXPECT_EQ(report.child.out,
              length_traces(report.datagrams[0].text.size(), report.datagrams[0].raw.size()));
  }
  // A number the system has no text for sends nothing.
  const Report unknown = run({"bug", "3", "7", "987654", "open", "@null"}, 0);
  EXPECT_EQ(unknown.messages, Messages{"Error: Failed to get the format information\n"});
  EXPECT_TRUE(unknown.datagrams.empty());
}

TEST_F(LogsendClient, StringValuesReadBackUnchangedFromTheRecord) {
  const std::string quoted = "al\"ice\\\t";
  const Report login = run({"login", "1.0", quoted, "1"});
  ASSERT_EQ(login.datagrams.size(), 1u);
  EXPECT_EQ(param_member(login.datagrams[0].text, "user_name"), quoted);

  const Report bug = run({"bug", "3", "7", "2", "a\"b", "c\nd"});
  ASSERT_EQ(bug.datagrams.size(), 1u);
  EXPECT_EQ(param_member(bug.datagrams[0].text, "error_func_name"), "a\"b");
  EXPECT_EQ(param_member(bug.datagrams[0].text, "error_specify"), "c\nd");

  // A GBK character whose trail byte is '\\' stays two bytes, unescaped.
  const Report gbk = run({"link", "1", "2", "s", "\xD5\x5C", "a", "3"});
  ASSERT_EQ(gbk.datagrams.size(), 1u);
  EXPECT_NE(gbk.datagrams[0].text.find("\"link_service_name\":\"\xD5\x5C\","), std::string::npos)
      << gbk.datagrams[0].text;
}

TEST_F(LogsendClient, DatagramNeverExceedsTheRecordLengthPlusThirteen) {
  const size_t overhead = std::string("{\"act\":\"ClientOperate\",\"param\":}").size();
  // Incompressible bytes stored whole still fit.
  const Report fits = run({"client_random", "1500"});
  ASSERT_EQ(fits.datagrams.size(), 1u);
  EXPECT_EQ(fits.datagrams[0].text.size(), 1500 + overhead);
  EXPECT_LE(fits.datagrams[0].raw.size(), 1500 + overhead + 13);

  // A long one does not, and is not sent.
  const Report too_long = run({"client_random", "100000"}, 0);
  EXPECT_EQ(too_long.messages, Messages{"Error: Failed to compress the send_data\n"});
  EXPECT_TRUE(too_long.datagrams.empty());
}

TEST_F(LogsendClient, ZlibWithoutUncompressSendsNothing) {
  const Report report =
      run({"open", "1.5"}, 0, {stub_folder("zlib_without_uncompress"), KIV_TEST_LIB_DIR});
  EXPECT_EQ(report.messages, Messages{"Error: Failed to load zlib_dll\n"});
  EXPECT_TRUE(report.datagrams.empty());
}

TEST_F(LogsendClient, ReportsLeaveTheCallersOwnSocketsWorking) {
  const Report report = run({"own_socket", std::to_string(sink_.port())}, 3);
  EXPECT_NE(report.child.out.find("own datagram sent\n"), std::string::npos) << report.child.out;
  ASSERT_EQ(report.datagrams.size(), 3u);
  EXPECT_EQ(param_member(report.datagrams[0].text, "kiv_version"), "1.0");
  EXPECT_EQ(param_member(report.datagrams[1].text, "kiv_version"), "2.0");
  EXPECT_EQ(report.datagrams[2].raw, "own");
  EXPECT_TRUE(report.messages.empty());
}

TEST_F(LogsendClient, ConcurrentReportsArriveWhole) {
  constexpr int kThreads = 8;
  constexpr int kCount = 100;
  const Report report =
      run({"threads", std::to_string(kThreads), std::to_string(kCount)}, kThreads * kCount);
  ASSERT_EQ(report.datagrams.size(), static_cast<size_t>(kThreads * kCount));
  std::set<std::pair<int, int>> seen;
  for (const Datagram& datagram : report.datagrams) {
    int thread = -1;
    int index = -1;
    std::sscanf(datagram.text.c_str(),
                "{\"act\":\"LinkService\",\"param\":{\"link_mode\":%d,%*[^:]:%d", &thread, &index);
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "{\"act\":\"LinkService\",\"param\":{\"link_mode\":%d,\"link_state\":%d,"
                  "\"link_service_ip\":\"10.0.0.1\",\"userType_Id\":7,"
                  "\"link_service_name\":\"thread-%d\",\"link_account\":\"account\"}}",
                  thread, index, thread);
    EXPECT_EQ(datagram.text, expected);
    seen.emplace(thread, index);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kCount));
  EXPECT_TRUE(report.messages.empty());
}

// The query library binds bug_report at start-up; its failures reach the log
// server as failure records.
TEST_F(LogsendClient, QueryFailureReachesTheLogServer) {
  ChildOptions options;
  options.argv = {test_program("probe_service_list"), built_library("kiv_svcquery"), "servers",
                  "missing.lst"};
  options.cwd = dir_.path();
  // The report library of this build, named by the search path: under a
  // sanitizer the dlopen interceptor hides the query library's run path.
  search_libraries_in(options, {KIV_TEST_LIB_DIR});
  const ChildResult child = run_child(options);
  EXPECT_EQ(child.exit_code, 0) << child.err;
  EXPECT_NE(child.out.find("result=4 "), std::string::npos) << child.out;
  const auto datagrams = sink_.wait_for(1, 10s);
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_EQ(datagrams[0].text,
            "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":304,"
            "\"error_number\":2,\"error_func_name\":\"OpenFile\",\"error_specify\":\"" +
                system_text_of(2) + "\"}}");
}

}  // namespace
}  // namespace kiv::test
