// The report record formatter and its escaping, argument bytes in. The input
// is split at NUL bytes into texts, as C strings reach the exports. Most
// inputs fill a record format of the reports' kind, which is then read back
// the way the log server reads it, as GBK text: it must be one JSON object
// whose strings give back exactly the texts that went in. Inputs whose first
// byte is odd use their first text as the format, to exercise the directive
// walk with any format.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "record.h"

namespace {

namespace logsend = kiv::logsend;

bool is_lead(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}
bool is_trail(unsigned char c) {
  return c >= 0x40 && c <= 0xFE && c != 0x7F;
}
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a JSON string body at `at` (just after its opening quote) as a GBK
// reader does, up to and past its closing quote. False when malformed.
bool read_gbk_string(std::string_view record, size_t& at, std::string& out) {
  while (at < record.size()) {
    const auto c = static_cast<unsigned char>(record[at]);
    if (is_lead(c) && at + 1 < record.size() &&
        is_trail(static_cast<unsigned char>(record[at + 1]))) {
      out.append(record.substr(at, 2));
      at += 2;
      continue;
    }
    if (c == '"') {
      ++at;
      return true;
    }
    if (c < 0x20) return false;  // control characters are always escaped
    if (c != '\\') {
      out.push_back(static_cast<char>(c));
      ++at;
      continue;
    }
    if (at + 1 >= record.size()) return false;
    const char e = record[at + 1];
    at += 2;
    switch (e) {
      case '"':
      case '\\':
      case '/':
        out.push_back(e);
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u': {
        if (at + 4 > record.size()) return false;
        int value = 0;
        for (int i = 0; i < 4; ++i) {
          const int digit = hex_digit(record[at + i]);
          if (digit < 0) return false;
          value = value * 16 + digit;
        }
        if (value > 0xFF) return false;  // the formatter escapes single bytes only
        out.push_back(static_cast<char>(value));
        at += 4;
        break;
      }
      default:
        return false;
    }
  }
  return false;
}

bool expect_literal(std::string_view record, size_t& at, std::string_view literal) {
  if (record.substr(at, literal.size()) != literal) return false;
  at += literal.size();
  return true;
}

// Splits at NUL bytes, as C strings would end.
std::vector<std::string_view> texts_of(std::string_view bytes) {
  std::vector<std::string_view> texts;
  size_t start = 0;
  for (;;) {
    const size_t end = bytes.find('\0', start);
    texts.push_back(bytes.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return texts;
}

// A report-shaped format: three texts around a number and a raw part.
constexpr char kFormat[] = "{\"act\":\"%s\",\"param\":{\"a\":\"%s\",\"n\":%d,\"b\":\"%s\"}}";

void check_report_record(const std::vector<std::string_view>& texts, int32_t number) {
  const std::string_view a = texts.size() > 0 ? texts[0] : "";
  const std::string_view b = texts.size() > 1 ? texts[1] : "";
  const std::string_view c = texts.size() > 2 ? texts[2] : "";
  const logsend::Value values[] = {logsend::text(a), logsend::text(b), logsend::number(number),
                                   logsend::text(c)};
  const logsend::Record record = logsend::format_record(kFormat, values, 2048);
  KIV_FUZZ_CHECK(record);
  const std::string_view out(record.text.get(), record.length);
  KIV_FUZZ_CHECK(std::strlen(record.text.get()) == record.length);

  size_t at = 0;
  std::string got;
  KIV_FUZZ_CHECK(expect_literal(out, at, "{\"act\":\""));
  KIV_FUZZ_CHECK(read_gbk_string(out, at, got) && got == a);
  KIV_FUZZ_CHECK(expect_literal(out, at, ",\"param\":{\"a\":\""));
  got.clear();
  KIV_FUZZ_CHECK(read_gbk_string(out, at, got) && got == b);
  const std::string number_part = ",\"n\":" + std::to_string(number) + ",\"b\":\"";
  KIV_FUZZ_CHECK(expect_literal(out, at, number_part));
  got.clear();
  KIV_FUZZ_CHECK(read_gbk_string(out, at, got) && got == c);
  KIV_FUZZ_CHECK(expect_literal(out, at, "}}") && at == out.size());
}

// Any format: the record is as long as it says and a second run is identical.
void check_any_format(const std::vector<std::string_view>& texts, int32_t number) {
  std::vector<logsend::Value> values;
  for (size_t i = 1; i < texts.size(); ++i) {
    values.push_back(i % 3 == 0   ? logsend::number(number)
                     : i % 3 == 1 ? logsend::text(texts[i])
                                  : logsend::raw(texts[i]));
  }
  const logsend::Record first = logsend::format_record(texts[0], values, 0);
  const logsend::Record second = logsend::format_record(texts[0], values, 16);
  KIV_FUZZ_CHECK(first && second);
  KIV_FUZZ_CHECK(first.length == second.length);
  KIV_FUZZ_CHECK(std::memcmp(first.text.get(), second.text.get(), first.length + 1) == 0);
  KIV_FUZZ_CHECK(first.text.get()[first.length] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  int32_t number;
  std::memcpy(&number, data + 1, sizeof number);
  const std::string_view rest(reinterpret_cast<const char*>(data) + 5, size - 5);
  const std::vector<std::string_view> texts = texts_of(rest);
  if ((data[0] & 1) != 0) {
    check_any_format(texts, number);
  } else {
    check_report_record(texts, number);
  }
  // The first line of a system text never holds a line feed.
  KIV_FUZZ_CHECK(logsend::first_line(rest).find('\n') == std::string_view::npos);
  return 0;
}
