// The report library's records: formatting, JSON escapes and the boundary
// that keeps an exception inside a report.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "message_capture.h"
#include "record.h"
#include "report_guard.h"

namespace kiv::test {
namespace {

using logsend::format_record;
using logsend::number;
using logsend::raw;
using logsend::text;
using logsend::Value;
using Messages = std::vector<std::string>;

std::string formatted(std::string_view format, std::initializer_list<Value> values) {
  const auto record = format_record(format, {values.begin(), values.size()}, 2048);
  if (!record) return "<no record>";
  EXPECT_EQ(std::strlen(record.text.get()), record.length);
  return std::string(record.text.get(), record.length);
}

TEST(LogsendRecord, FormatsNumbersTextsAndRawValues) {
  EXPECT_EQ(formatted("{\"a\":%d,\"b\":\"%s\",\"c\":%s,\"p\":\"100%%\"}",
                      {number(-2147483647 - 1), text("x y"), raw("{\"k\":[1]}")}),
            "{\"a\":-2147483648,\"b\":\"x y\",\"c\":{\"k\":[1]},\"p\":\"100%\"}");
  // A raw value is copied as it is, quotes, backslashes and all.
  EXPECT_EQ(formatted("%s", {raw("\"\\\n")}), "\"\\\n");
  // Past the 2048-byte buffer the record grows and stays whole.
  const std::string long_text(5000, 'x');
  EXPECT_EQ(formatted("[%s]", {text(long_text)}), "[" + long_text + "]");
}

TEST(LogsendRecord, EscapesTextsForJsonAndKeepsGbkCharactersWhole) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {std::string("\x01\x1f", 2), "\\u0001\\u001f"},
      {"\x7f/", "\x7f/"},
      // Double-byte characters whose trail byte is '\\' or otherwise ASCII.
      {"\xD5\x5C", "\xD5\x5C"},
      {"\xD5\x5C\\", "\xD5\x5C\\\\"},
      {"\x81\x40\xFE\xFE", "\x81\x40\xFE\xFE"},
      // A lead byte without a valid trail byte stands alone; before an escape
      // it is escaped too, or a GBK reader would pair it with the backslash
      // and end the string at the escaped quote.
      {"\x81\"", "\\u0081\\\""},
      {"\x81\n\xFE\x1F", "\\u0081\\n\\u00fe\\u001f"},
      {"\x81 \x81", "\x81 \x81"},
      {"\x81\x7F", "\x81\x7F"},
      {"\xFF\\", "\xFF\\\\"},
      {"\x81", "\x81"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatted("%s", {text(c.in)}), c.out) << c.in;
}

TEST(LogsendBoundary, AnExceptionInsideAReportIsLoggedAndGoesNoFurther) {
  MessageCapture log;
  bool ran = false;
  logsend::guarded("link_report", [&] {
    ran = true;
    throw std::bad_alloc();
  });
  logsend::guarded("link_report", [] { throw 7; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(log.messages(), (Messages{"Error: Failed to alloc the memory!\n",
                                      "Error: the record is dropped, in link_report()\n"}));
}

TEST(LogsendRecord, SystemTextKeepsItsFirstLineWithoutTheCarriageReturn) {
  EXPECT_EQ(logsend::first_line("Access is denied.\r\n"), "Access is denied.");
  EXPECT_EQ(logsend::first_line("One\r\nTwo\r\n"), "One");
  EXPECT_EQ(logsend::first_line("No such file or directory"), "No such file or directory");
  EXPECT_EQ(logsend::first_line("\r\nrest"), "");
}

}  // namespace
}  // namespace kiv::test
