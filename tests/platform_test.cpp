#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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
  ASSERT_TRUE(platform::system_error_text(kErrorFileNotFound, &text));
#if defined(_WIN32)
  // FormatMessageA's text, in the system's language, ends in a line break.
  EXPECT_GT(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
#else
  EXPECT_EQ(text, "No such file or directory");
#endif
  EXPECT_FALSE(platform::system_error_text(987654, &text));
  EXPECT_FALSE(platform::system_error_text(-1, &text));
}

TEST(Files, LastErrorOfAFailedOpenIsTheSystemsNumber) {
  TempDir dir;
  platform::set_last_error(0);
  platform::File file(platform::open_for_reading(dir.file("missing").c_str()));
  EXPECT_FALSE(file);
  EXPECT_EQ(platform::last_error(), kErrorFileNotFound);
}

TEST(Lookup, DottedAddressesAndLocalhostResolveToIpv4Text) {
  // Winsock answers only between WSAStartup and WSACleanup.
  ASSERT_TRUE(platform::sockets_start());
  const std::unique_ptr<void, void (*)(void*)> started(nullptr,
                                                       [](void*) { platform::sockets_stop(); });
  char out[16];
  ASSERT_EQ(platform::lookup_ipv4("127.0.0.1", out), platform::LookupResult::kAddress);
  EXPECT_STREQ(out, "127.0.0.1");
  ASSERT_EQ(platform::lookup_ipv4("localhost", out), platform::LookupResult::kAddress);
  EXPECT_STREQ(out, "127.0.0.1");
  EXPECT_EQ(platform::lookup_ipv4("name.invalid", out), platform::LookupResult::kFailed);
}

struct Received {
  platform::ReceiveResult result;
  std::string bytes;
  uint32_t from_address = 0;
  uint16_t from_port = 0;
};

Received receive(const platform::Socket& socket, size_t buffer_size, int timeout_ms) {
  std::string buffer(buffer_size, '\0');
  Received r{};
  size_t got = 0;
  r.result = platform::receive_datagram(socket.get(), buffer.data(), buffer.size(), timeout_ms,
                                        &got, &r.from_address, &r.from_port);
  if (r.result == platform::ReceiveResult::kDatagram) r.bytes = buffer.substr(0, got);
  return r;
}

TEST(Datagrams, ABoundSocketTakesEachDatagramWholeWithItsSender) {
  platform::SocketLayer sockets;
  ASSERT_TRUE(sockets);
  const uint32_t loopback = platform::ipv4_from_text("127.0.0.1");
  uint16_t port = 0;
  platform::Socket receiver(platform::udp_bound_socket(loopback, 0, &port));
  ASSERT_TRUE(receiver);
  ASSERT_NE(port, 0);
  platform::Socket sender(platform::udp_socket());
  ASSERT_TRUE(sender);

  const std::string record("{\"act\":\"LinkService\"}\0\xC9\xCF", 25);
  ASSERT_TRUE(platform::send_datagram(sender.get(), record.data(), record.size(), loopback, port));
  Received r = receive(receiver, 256, 5000);
  ASSERT_EQ(r.result, platform::ReceiveResult::kDatagram);
  EXPECT_EQ(r.bytes, record);
  EXPECT_EQ(r.from_address, loopback);
  EXPECT_NE(r.from_port, 0);

  // An empty datagram is one too (the stand-in wakes its receiver with it).
  ASSERT_TRUE(platform::send_datagram(sender.get(), "", 0, loopback, port));
  r = receive(receiver, 256, 5000);
  ASSERT_EQ(r.result, platform::ReceiveResult::kDatagram);
  EXPECT_EQ(r.bytes, "");

  // One longer than the buffer arrives cut to it, and the next is whole again.
  const std::string longer(100, 'x');
  ASSERT_TRUE(platform::send_datagram(sender.get(), longer.data(), longer.size(), loopback, port));
  ASSERT_TRUE(platform::send_datagram(sender.get(), "next", 4, loopback, port));
  r = receive(receiver, 10, 5000);
  ASSERT_EQ(r.result, platform::ReceiveResult::kDatagram);
  EXPECT_EQ(r.bytes, std::string(10, 'x'));
  r = receive(receiver, 256, 5000);
  ASSERT_EQ(r.result, platform::ReceiveResult::kDatagram);
  EXPECT_EQ(r.bytes, "next");
}

TEST(Datagrams, WaitingEndsAfterTheTimeoutAndATakenPortIsRefused) {
  platform::SocketLayer sockets;
  ASSERT_TRUE(sockets);
  const uint32_t loopback = platform::ipv4_from_text("127.0.0.1");
  uint16_t port = 0;
  platform::Socket receiver(platform::udp_bound_socket(loopback, 0, &port));
  ASSERT_TRUE(receiver);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receive(receiver, 256, 100).result, platform::ReceiveResult::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));

  uint16_t again = 0;
  platform::Socket second(platform::udp_bound_socket(loopback, port, &again));
  EXPECT_FALSE(second);
  EXPECT_NE(platform::socket_last_error(), 0);
  // The first keeps working.
  platform::Socket sender(platform::udp_socket());
  ASSERT_TRUE(platform::send_datagram(sender.get(), "still", 5, loopback, port));
  EXPECT_EQ(receive(receiver, 256, 5000).bytes, "still");
}

TEST(CommandLine, ArgumentsOfTheCommandLineCodePageBecomeUtf8) {
  std::string utf8 = "left over";
  ASSERT_TRUE(platform::command_line_to_utf8("", &utf8));
  EXPECT_EQ(utf8, "");
  ASSERT_TRUE(platform::command_line_to_utf8("demo01 198.51.100.21", &utf8));
  EXPECT_EQ(utf8, "demo01 198.51.100.21");
  const uint32_t code_page = platform::command_line_code_page();
#if defined(_WIN32)
  EXPECT_NE(code_page, 0u);
  if (code_page == 936) {  // a Chinese client: GBK
    ASSERT_TRUE(platform::command_line_to_utf8("\xC9\xCF\xBA\xA3", &utf8));
    EXPECT_EQ(utf8, "上海");
    EXPECT_FALSE(platform::command_line_to_utf8("\xC9", &utf8));  // a lead byte alone
  }
#else
  // Taken as UTF-8, as they are.
  EXPECT_EQ(code_page, 0u);
  ASSERT_TRUE(platform::command_line_to_utf8("上海电信一区", &utf8));
  EXPECT_EQ(utf8, "上海电信一区");
#endif
}

}  // namespace
}  // namespace kiv::test
