// The report library in a client process, reading its settings file: what
// it cannot read, what is not a regular file, and how the server's name and
// port are taken.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "logsend_support.h"
#include "test_system.h"

namespace kiv::test {
namespace {

TEST_F(LogsendClient, SettingsThatCannotBeReadSendNothing) {
  const std::string port = std::to_string(sink_.port());
  const std::string no_file = "Error :./loginurl.ini dose not Exits\n";
  const std::string no_key = "Error: Failed to call GetPrivateProfileStringA\n";
  const std::string no_services = "Error: Failed to get services information\n";
  const std::string login_trace =
      "send_data = {\"act\":\"LoginService\",\"param\":{\"kiv_version\":\"v\",\"user_name\":\"u\","
      "\"login_state\":1}}\n";
  const struct {
    const char* settings;  // null: no file
    std::vector<std::string> args;
    Messages messages;
    std::string out;
  } cases[] = {
      {nullptr, {"link", "1", "2", "s", "n", "a", "3"}, {no_file, no_services}, ""},
      {nullptr, {"bug", "3", "4", "5", "f", "t"}, {no_file, no_services}, ""},
      // The login trace comes before the settings are read.
      {nullptr, {"login", "v", "u", "1"}, {no_file, no_services}, login_trace},
      // The window-opening report prints its failure instead of logging it.
      {nullptr, {"open", "v"}, {no_file}, no_services},
      {"[LOG_SERVERS]\nlog_servers_dns=\nlog_servers_port=PORT\n",
       {"link", "1", "2", "s", "n", "a", "3"},
       {no_key, no_services},
       ""},
      {"[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port=\n",
       {"open", "v"},
       {no_key},
       no_services},
      {"[OTHER]\nlog_servers_dns=127.0.0.1\nlog_servers_port=PORT\n",
       {"link", "1", "2", "s", "n", "a", "3"},
       {no_key, no_services},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings == nullptr ? "no file" : c.settings);
    std::remove(dir_.file("loginurl.ini").c_str());
    if (c.settings != nullptr) {
      std::string text = c.settings;
      if (const size_t at = text.find("PORT"); at != std::string::npos) text.replace(at, 4, port);
      dir_.write("loginurl.ini", text);
    }
    const Report report = run(c.args, 0);
    EXPECT_EQ(report.messages, c.messages);
    EXPECT_TRUE(report.datagrams.empty());
    EXPECT_EQ(report.child.out, c.out);
  }
}

// A settings file that is a folder, a FIFO or a device reads as one without
// the keys. Each report runs in a child process, so that a call that blocked
// (opening a FIFO waits for a writer) would end at the child's time-out.
TEST_F(LogsendClient, SettingsThatAreNotARegularFileSendNothingWithoutBlocking) {
  const std::string path = dir_.file("loginurl.ini");
  std::vector<std::pair<const char*, std::function<bool()>>> kinds = {
      {"folder", [&] { return std::filesystem::create_directory(path); }}};
#if !defined(_WIN32)
  // Windows has neither FIFOs nor /dev/zero.
  kinds.emplace_back("FIFO", [&] { return kiv::platform::make_fifo(path.c_str()); });
  kinds.emplace_back("/dev/zero", [&] {
    std::error_code failed;
    std::filesystem::create_symlink("/dev/zero", path, failed);
    return !failed;
  });
#endif
  for (const auto& [kind, make] : kinds) {
    SCOPED_TRACE(kind);
    std::filesystem::remove_all(path);
    ASSERT_TRUE(make());
    const Report report = run({"link", "1", "2", "s", "n", "a", "3"}, 0);
    EXPECT_FALSE(report.child.timed_out);
    EXPECT_EQ(report.messages, (Messages{"Error: Failed to call GetPrivateProfileStringA\n",
                                         "Error: Failed to get services information\n"}));
    EXPECT_TRUE(report.datagrams.empty());
  }
}

TEST_F(LogsendClient, ServerNameAndPortFollowTheSettingsRules) {
  const int port = sink_.port();
  const std::string digits = std::to_string(port);
  const struct {
    std::string dns, port;
    bool delivered;
  } cases[] = {
      {"localhost", digits, true},
      {"\"127.0.0.1\"", digits, true},
      {"127.0.0.1", std::to_string(port + 65536), true},  // modulo 65536
      {"127.0.0.1", std::to_string(port - 65536), true},
      {"127.0.0.1", "+" + digits + "abc", true},  // atoi stops at the first non-digit
      // Eight characters or more: only the first seven are read.
      {"127.0.0.1", std::string(7 - digits.size(), '0') + digits + "9", true},
      {"127.0.0.1", "abc", false},  // port 0: lost without a message
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dns + ":" + c.port);
    settings(c.dns, c.port);
    const Report report = run({"open", "1.5"}, c.delivered ? 1 : 0);
    EXPECT_EQ(report.datagrams.size(), c.delivered ? 1u : 0u);
    EXPECT_TRUE(report.messages.empty());
  }
}

}  // namespace
}  // namespace kiv::test
