// The tool's list readers (`kiv servers`, `kiv server-types`) on a list that
// its http_access_protocol2 query saved, and on lists written here, run as a
// process.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "child_process.h"
#include "tool_json.h"
#include "tool_support.h"
#include "zlib_util.h"

namespace {

using kiv::test::answer;
using kiv::test::at;
using kiv::test::ChildResult;
using kiv::test::int_at;
using kiv::test::Json;
using kiv::test::kiv;
using kiv::test::parse;
using kiv::test::query_json;
using kiv::test::Serve;
using kiv::test::TempDir;
using kiv::test::text_at;

TEST(Tool, ServersReadsTheListThatHttpAccessProtocol2Saved) {
  Serve serve({});
  TempDir dir;
  const std::string file = dir.file("servers.dat");
  Json saved = query_json(serve, "http_access_protocol2", {"--save", file}, 0);
  EXPECT_EQ(text_at(at(saved.get(), "output"), "saveFile"), file);

  Json list = answer("servers");
  {
    const ChildResult r = kiv({"servers", file, "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    Json doc = parse(r.out);
    EXPECT_EQ(int_at(doc.get(), "err"), int_at(list.get(), "err"));
    json_object* rows = at(doc.get(), "rows");
    json_object* servers = at(list.get(), "server");
    ASSERT_EQ(json_object_array_length(rows), json_object_array_length(servers));
    for (size_t i = 0; i < json_object_array_length(rows); ++i) {
      json_object* row = json_object_array_get_idx(rows, i);
      json_object* server = json_object_array_get_idx(servers, i);
      EXPECT_EQ(int_at(row, "serverId"), int_at(server, "id"));
      EXPECT_EQ(text_at(row, "serverName"), text_at(server, "serverName"));
      EXPECT_EQ(int_at(row, "charge"), json_object_get_boolean(at(server, "charge")) ? 1 : 0);
      EXPECT_FLOAT_EQ(static_cast<float>(json_object_get_double(at(row, "userablePer"))),
                      static_cast<float>(json_object_get_double(at(server, "userablePer"))));
      json_object* ips = at(row, "serverIp");
      json_object* expected_ips = at(server, "serverip");
      ASSERT_EQ(json_object_array_length(ips), json_object_array_length(expected_ips));
      for (size_t a = 0; a < json_object_array_length(ips); ++a) {
        EXPECT_EQ(text_at(json_object_array_get_idx(ips, a), "ip"),
                  text_at(json_object_array_get_idx(expected_ips, a), "ip"));
      }
    }
  }
  {
    const ChildResult r = kiv({"server-types", file, "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    Json doc = parse(r.out);
    json_object* rows = at(doc.get(), "rows");
    json_object* types = at(list.get(), "serverType");
    ASSERT_EQ(json_object_array_length(rows), json_object_array_length(types));
    for (size_t i = 0; i < json_object_array_length(rows); ++i) {
      for (const char* name : {"id", "name", "pid"}) {
        EXPECT_EQ(text_at(json_object_array_get_idx(rows, i), name),
                  text_at(json_object_array_get_idx(types, i), name));
      }
    }
  }
  {  // the table names every server
    const ChildResult r = kiv({"servers", file});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json_object* servers = at(list.get(), "server");
    for (size_t i = 0; i < json_object_array_length(servers); ++i) {
      EXPECT_NE(r.out.find(text_at(json_object_array_get_idx(servers, i), "serverName")),
                std::string::npos)
          << r.out;
    }
  }
  {  // a file that is not a saved list: the reader's own result code
    TempDir other;
    other.write("bad.dat", "not compressed");
    const ChildResult r = kiv({"servers", other.file("bad.dat"), "--json"});
    EXPECT_EQ(r.exit_code, 1);
    Json doc = parse(r.out);
    EXPECT_EQ(int_at(doc.get(), "result"), 102);
    EXPECT_EQ(at(doc.get(), "err"), nullptr) << r.out;  // the list never parsed
  }
  {  // a parsed list's "err" is shown as read, every value, 0 included
    TempDir other;
    for (const auto& [text, result, err] : std::vector<std::tuple<std::string, int, int32_t>>{
             {R"({"err":-99999999999})", 116, INT32_MIN},
             {R"({"err":-2147483648})", 116, INT32_MIN},
             {R"({"other":1,"server":[]})", 115, 0}}) {
      other.write("list.dat", kiv::test::zlib_compress(text));
      const ChildResult r = kiv({"servers", other.file("list.dat"), "--json"});
      Json doc = parse(r.out);
      EXPECT_EQ(int_at(doc.get(), "result"), result) << r.out;
      ASSERT_NE(at(doc.get(), "err"), nullptr) << r.out;
      EXPECT_EQ(json_object_get_int(at(doc.get(), "err")), err) << r.out;
    }
  }
}

}  // namespace
