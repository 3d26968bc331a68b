// The stand-in's own pieces, in-process: fault specs, the zlib stream and
// GBK conversions, recorded answers laid out, and answers served in GBK (read
// back with the tool).
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"
#include "codec.h"
#include "recording.h"
#include "standin.h"
#include "tool_json.h"
#include "tool_support.h"

namespace {

using kiv::test::at;
using kiv::test::ChildResult;
using kiv::test::int_at;
using kiv::test::Json;
using kiv::test::kiv;
using kiv::test::parse;
using kiv::test::text_at;

// The stand-in's own pieces, in-process.
TEST(StandIn, FaultSpecsParseToWhatTheyDescribe) {
  struct Case {
    const char* spec;
    const char* canonical;  // nullptr: rejected
  };
  const Case cases[] = {
      {"status=500", "status=500"},
      {"not-json,delay=250,status=404", "status=404,delay=250,not-json"},
      {"empty,not-zlib", "empty,not-zlib"},
      {"delay=0", ""},
      {"", nullptr},
      {"status=", nullptr},
      {"status=199", nullptr},
      {"status=600", nullptr},
      {"status=50x", nullptr},
      {"delay=-1", nullptr},
      {"empty,,not-zlib", nullptr},
      {"slow", nullptr},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto fault = kiv::standin::parse_fault(c.spec, &why);
    if (c.canonical == nullptr) {
      EXPECT_FALSE(fault.has_value()) << c.spec;
      EXPECT_FALSE(why.empty()) << c.spec;
    } else {
      ASSERT_TRUE(fault.has_value()) << c.spec << ": " << why;
      EXPECT_EQ(fault->describe(), c.canonical) << c.spec;
    }
  }
}

TEST(StandIn, InflateTakesExactlyOneCompleteStream) {
  using kiv::codec::zlib_compress;
  using kiv::codec::zlib_inflate;
  const std::string text = "{\"act\":\"OpenLoginService\",\"param\":{\"kiv_version\":\"1.5\"}}";
  const std::string stream = zlib_compress(text);
  std::string why;
  EXPECT_EQ(zlib_inflate(stream, 1000, &why), text);
  EXPECT_FALSE(zlib_inflate(stream.substr(0, stream.size() - 1), 1000, &why));
  EXPECT_EQ(why, "truncated zlib stream");
  EXPECT_FALSE(zlib_inflate(stream + "x", 1000, &why));
  EXPECT_EQ(why, "bytes after the end of the zlib stream");
  EXPECT_FALSE(zlib_inflate(text, 1000, &why));
  EXPECT_FALSE(zlib_inflate("", 1000, &why));
  EXPECT_FALSE(zlib_inflate(stream, text.size() - 1, &why));
  EXPECT_EQ(why, "inflates beyond the size limit");
}

TEST(StandIn, Utf8BecomesGbkAndWhatGbkCannotHoldIsRefusedWhereItBegins) {
  using kiv::codec::utf8_to_gbk;
  struct Case {
    const char* name;
    std::string utf8;
    std::optional<std::string> gbk;  // nullopt: refused
    const char* error = "";
  };
  const std::string unmappable = "a character GBK cannot hold, or text that is not UTF-8, at byte ";
  const Case cases[] = {
      {"ascii as it is", std::string("demo01\0\x7F", 8), std::string("demo01\0\x7F", 8)},
      {"two-byte characters", "上海电信一区", "\xC9\xCF\xBA\xA3\xB5\xE7\xD0\xC5\xD2\xBB\xC7\xF8"},
      {"mixed, with punctuation", "VIP会员·—", "VIP\xBB\xE1\xD4\xB1\xA1\xA4\xA1\xAA"},
      {"the euro sign is one byte", "1€", "1\x80"},
      {"language tags are dropped",
       "a\xF3\xA0\x81\x81"
       "b",
       "ab"},
      {"outside the character set", "ok\xF0\x9F\x98\x80", std::nullopt, "2"},
      {"a lead byte without its trail", "ab\xE4\x41", std::nullopt, "2"},
      {"overlong form", "\xC0\x80", std::nullopt, "0"},
      {"surrogate", "x\xED\xA0\x80", std::nullopt, "1"},
      {"above the last code point", "\xF4\x90\x80\x80", std::nullopt, "0"},
      {"a stray continuation byte", "上\x80", std::nullopt, "3"},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto gbk = utf8_to_gbk(c.utf8, &why);
    EXPECT_EQ(gbk, c.gbk) << c.name;
    if (!c.gbk) {
      EXPECT_EQ(why, unmappable + c.error) << c.name;
    }
  }
  // Text that stops inside a character is not UTF-8 at all.
  for (const std::string cut : {"ab\xE4\xB8", "ab\xE4", "ab\xF8\x80"}) {
    std::string why;
    EXPECT_FALSE(utf8_to_gbk(cut, &why));
    EXPECT_EQ(why, "text that is not UTF-8, at byte 2");
  }
}

TEST(StandIn, RecordedAnswersAreLaidOutOnlyWhenEveryByteComesBack) {
  using kiv::codec::zlib_compress;
  using kiv::standin::answer_file;
  using kiv::standin::json_pretty;
  // Tokens stay as they were, strings with their escapes and spacing.
  EXPECT_EQ(
      json_pretty(" {\"a\" :[1, 2.50e+1,{ }, [] ],\"b\":\"x\\\" ,{y\",\"c\":{\"d\":null}}\r\n"),
      "{\n  \"a\": [\n    1,\n    2.50e+1,\n    {},\n    []\n  ],\n  \"b\": \"x\\\" ,{y\",\n"
      "  \"c\": {\n    \"d\": null\n  }\n}\n");
  EXPECT_EQ(json_pretty("\"text\""), "\"text\"\n");
  for (const char* not_strict :
       {"", "{\"a\":1} x", "{'a':1}", "[1,]", "[1] // note", "{\"a\":1", "<html></html>"}) {
    EXPECT_EQ(json_pretty(not_strict), std::nullopt) << not_strict;
  }

  // GBK JSON becomes UTF-8; anything else is kept exactly as it came.
  const auto json = answer_file(zlib_compress("{\"ut\":\"VIP\xBB\xE1\xD4\xB1\"}"));
  EXPECT_EQ(json.extension, ".json");
  EXPECT_EQ(json.bytes, "{\n  \"ut\": \"VIP会员\"\n}\n");
  for (const std::string& body :
       {std::string("{\"ut\":1}"), zlib_compress("{\"ut\":\"\xFF\xFF\"}"), zlib_compress("busy"),
        zlib_compress("{\"ut\":1}") + "x", std::string()}) {
    const auto raw = answer_file(body);
    EXPECT_EQ(raw.extension, ".raw");
    EXPECT_EQ(raw.bytes, body);
  }
}

TEST(StandIn, ServesAnswersInGbkAndRefusesTextGbkCannotHold) {
  kiv::standin::Options options;
  options.answers = kiv::standin::AnswerSet();
  options.answers.set("/notice", "{\"msg\":\"线路维护\"}");
  kiv::standin::Service service(std::move(options));
  EXPECT_THROW(service.set_answer("notice", "{\"msg\":\"\xF0\x9F\x98\x80\"}"), std::runtime_error);

  // What a client receives: the GBK bytes, compressed.
  const ChildResult r =
      kiv({"query", "http_access_protocol1", "--port", std::to_string(service.http_port()),
           "--path", "notice", "--request", "{}", "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  Json doc = parse(r.out);
  json_object* out = at(doc.get(), "output");
  EXPECT_EQ(int_at(out, "respond_size"), 18);  // 4 characters of 2 bytes in GBK (22 in UTF-8)
  EXPECT_EQ(text_at(out, "respond_data"), "{\"msg\":\"线路维护\"}");
  const auto exchanges = service.take_exchanges();
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(exchanges[0].path, "/notice");
  EXPECT_EQ(exchanges[0].request, "{}");

  kiv::standin::Options bad;
  bad.answers = kiv::standin::AnswerSet();
  bad.answers.set("smile", "\xF0\x9F\x98\x80");
  EXPECT_THROW(kiv::standin::Service{std::move(bad)}, std::runtime_error);
}

}  // namespace
