#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "child_process.h"
#include "platform.h"

namespace kiv::test {
namespace {

struct ProfileCase {
  const char* name;
  const char* text;
  const char* section;
  const char* key;
  uint32_t size;
  const char* expected;
};

TEST(Profile, ReadsValuesWithTheRulesOfTheWindowsReader) {
  const ProfileCase cases[] = {
      {"plain", "[LOG_SERVERS]\nlog_servers_dns=log.example\n", "LOG_SERVERS", "log_servers_dns",
       64, "log.example"},
      {"section and key without case", "[log_servers]\nLOG_SERVERS_DNS=a\n", "LOG_SERVERS",
       "log_servers_dns", 64, "a"},
      {"blanks around key and value", "[S]\n  key  =   value with inner blanks  \r\n", "S", "key",
       64, "value with inner blanks"},
      {"one pair of quotes removed", "[S]\nkey=\"\"quoted\"\"\n", "S", "key", 64, "\"quoted\""},
      {"single quotes", "[S]\nkey='x'\n", "S", "key", 64, "x"},
      {"unbalanced quote kept", "[S]\nkey=\"x\n", "S", "key", 64, "\"x"},
      {"cut to size less one", "[S]\nkey=123456789\n", "S", "key", 8, "1234567"},
      {"key in another section", "[A]\nkey=a\n[S]\nother=b\n", "S", "key", 64, "default"},
      {"first of two keys", "[S]\nkey=1\nkey=2\n", "S", "key", 64, "1"},
      {"empty value is empty, not the default", "[S]\nkey=\n", "S", "key", 64, ""},
      {"comment lines skipped", "[S]\n;key=commented\nkey=real\n", "S", "key", 64, "real"},
      {"byte-order mark", "\xEF\xBB\xBF[S]\nkey=v\n", "S", "key", 64, "v"},
      {"no final line feed", "[S]\nkey=v", "S", "key", 64, "v"},
      {"value holding an equals sign", "[S]\nkey=a=b\n", "S", "key", 64, "a=b"},
  };
  for (const auto& c : cases) {
    char out[64];
    std::memset(out, 'Z', sizeof out);
    const std::string text = c.text;
    const uint32_t n = platform::profile_string_from_text(text.data(), text.size(), c.section,
                                                          c.key, "default", out, c.size);
    EXPECT_STREQ(out, c.expected) << c.name;
    EXPECT_EQ(n, std::strlen(c.expected)) << c.name;
  }
}

TEST(Profile, MissingFileGivesTheDefaultCutToTheBuffer) {
  TempDir dir;
  char out[4];
  EXPECT_EQ(platform::get_profile_string("S", "key", "defaults", out, sizeof out,
                                         dir.file("missing.ini").c_str()),
            3u);
  EXPECT_STREQ(out, "def");

  dir.write("settings.ini", "[LOG_SERVERS]\nlog_servers_port=7001\n");
  char port[8];
  EXPECT_EQ(platform::get_profile_string("LOG_SERVERS", "log_servers_port", "", port, sizeof port,
                                         dir.file("settings.ini").c_str()),
            4u);
  EXPECT_STREQ(port, "7001");
  EXPECT_EQ(platform::get_profile_string("LOG_SERVERS", "absent", "", port, sizeof port,
                                         dir.file("settings.ini").c_str()),
            0u);
  EXPECT_STREQ(port, "");
}

TEST(ErrorText, KnownNumbersHaveATextAndUnknownOnesNone) {
  std::string text;
  ASSERT_TRUE(platform::system_error_text(ENOENT, &text));
  EXPECT_EQ(text, "No such file or directory");
  EXPECT_FALSE(platform::system_error_text(987654, &text));
  EXPECT_FALSE(platform::system_error_text(-1, &text));
}

TEST(Files, LastErrorOfAFailedOpenIsTheSystemsNumber) {
  TempDir dir;
  platform::set_last_error(0);
  platform::File file(platform::open_for_reading(dir.file("missing").c_str()));
  EXPECT_FALSE(file);
  EXPECT_EQ(platform::last_error(), ENOENT);
}

TEST(Lookup, DottedAddressesAndLocalhostResolveToIpv4Text) {
  char out[16];
  ASSERT_EQ(platform::lookup_ipv4("127.0.0.1", out), platform::LookupResult::kAddress);
  EXPECT_STREQ(out, "127.0.0.1");
  ASSERT_EQ(platform::lookup_ipv4("localhost", out), platform::LookupResult::kAddress);
  EXPECT_STREQ(out, "127.0.0.1");
  EXPECT_EQ(platform::lookup_ipv4("name.invalid", out), platform::LookupResult::kFailed);
}

}  // namespace
}  // namespace kiv::test
