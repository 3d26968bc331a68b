#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "gbk_text.h"
#include "kiv_clientlog.h"
#include "message_capture.h"
#include "test_system.h"

namespace kiv::test {
namespace {

TEST(ClientLog, HandlerGetsTheExactFormattedBytes) {
  MessageCapture capture;
  kiv_show_message("Enter %s", "get_vpn_info");
  kiv_show_message("code %d, unsigned %u\n", -5, 3774808319u);
  kiv_show_message("\xD3\xC3\xBB\xA7 %s", "\xA3\xBA");
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{"Enter get_vpn_info", "code -5, unsigned 3774808319\n",
                                      "\xD3\xC3\xBB\xA7 \xA3\xBA"}));
}

TEST(ClientLog, MessagesLongerThanAnyFixedBufferArriveWhole) {
  MessageCapture capture;
  const std::string request(20000, 'r');
  kiv_show_message("request_data: %s, request_size :%d", request.c_str(), 20000);
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0], "request_data: " + request + ", request_size :20000");
}

TEST(ClientLog, NullFormatIsIgnored) {
  MessageCapture capture;
  kiv_show_message(nullptr);
  EXPECT_TRUE(capture.messages().empty());
}

TEST(ClientLog, ReplacingTheHandlerWaitsForCallsStillInTheOldOne) {
  struct Slow {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
  } slow;
  kiv_set_message_handler(
      [](const char*, void* context) {
        auto* s = static_cast<Slow*>(context);
        s->entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s->finished = true;
      },
      &slow);
  std::thread logger([] { kiv_show_message("slow"); });
  while (!slow.entered) std::this_thread::yield();
  kiv_set_message_handler(nullptr, nullptr);
  // Once replaced, the old handler's context may be released by the caller.
  EXPECT_TRUE(slow.finished);
  logger.join();
}

TEST(ClientLog, AHandlerThatLogsDoesNotRecurseIntoItself) {
  struct Count {
    std::atomic<int> calls{0};
  } count;
  kiv_set_message_handler(
      [](const char*, void* context) {
        ++static_cast<Count*>(context)->calls;
        kiv_show_message("logged from inside the handler");
      },
      &count);
  kiv_show_message("outer");
  kiv_set_message_handler(nullptr, nullptr);
  EXPECT_EQ(count.calls, 1);
}

ChildResult run_probe(const std::vector<std::string>& args,
                      std::map<std::string, std::string> env) {
  ChildOptions options;
  options.argv = {test_program("probe_log")};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = std::move(env);
  options.unset_env = {"LC_ALL", "LC_CTYPE"};
  return run_child(options);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const std::regex kPrefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] )");

std::string strip_prefix(const std::string& line) {
  std::smatch match;
  return std::regex_search(line, match, kPrefix) ? line.substr(match.length())
                                                 : "NO PREFIX: " + line;
}

TEST(ClientLogDefaultSink, OneStampedLinePerMessageWithGbkShownAsUtf8) {
#if defined(_WIN32)
  GTEST_SKIP() << "on Windows the text is shown in the system's code page, which a child "
                  "process's environment does not change (Wine takes it from LANG at start)";
#endif
  TempDir dir;
  const ChildResult result =
      run_probe({"lines"}, {{"KIV_LOG", dir.file("log.txt")}, {"LANG", "C.UTF-8"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");  // a file sink leaves standard error alone
  const auto lines = lines_of(read_file(dir.file("log.txt")));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(strip_prefix(lines[0]), "Enter http_access_protocol1");
  EXPECT_EQ(strip_prefix(lines[1]), "ends in a line feed");
  EXPECT_EQ(strip_prefix(lines[2]), "用户验证失败！ \\xFF end");
  EXPECT_EQ(strip_prefix(lines[3]), "two\\nlines");
  EXPECT_EQ(strip_prefix(lines[4]), "long " + std::string(3000, 'x'));
}

TEST(ClientLogDefaultSink, StandardErrorKeepsRawBytesOutsideAUtf8Locale) {
  const ChildResult result = run_probe({"lines"}, {{"KIV_LOG", ""}, {"LANG", "C"}});
  ASSERT_EQ(result.exit_code, 0);
  const auto lines = lines_of(result.err);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(strip_prefix(lines[2]),
            "\xD3\xC3\xBB\xA7\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC\xA3\xA1 \xFF end");
}

// KIV_LOG naming what does not take lines at once: refused with one line,
// and the messages go to standard error. A FIFO without a reader would block
// the first message (and the load of the libraries) for ever.
TEST(ClientLogDefaultSink, ASinkThatIsNeitherAFileNorADeviceIsRefusedWithoutBlocking) {
  TempDir dir;
  std::vector<std::string> targets = {dir.path()};
#if !defined(_WIN32)  // Windows has no FIFOs; the folder case runs there
  const std::string fifo = dir.file("log.fifo");
  ASSERT_TRUE(kiv::platform::make_fifo(fifo.c_str()));
  targets.push_back(fifo);
#endif
  for (const std::string& target : targets) {
    const ChildResult result = run_probe({"lines"}, {{"KIV_LOG", target}, {"LANG", "C"}});
    ASSERT_FALSE(result.timed_out) << target;
    ASSERT_EQ(result.exit_code, 0) << target;
    const auto lines = lines_of(result.err);
    ASSERT_EQ(lines.size(), 6u) << target << "\n" << result.err;
    EXPECT_EQ(strip_prefix(lines[0]),
              "KIV_LOG names neither a file nor a character device; the messages go to standard "
              "error");
    EXPECT_EQ(strip_prefix(lines[1]), "Enter http_access_protocol1");
  }
}

TEST(ClientLogDefaultSink, OffWritesNothing) {
  const ChildResult result = run_probe({"lines"}, {{"KIV_LOG", "off"}});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
}

TEST(ClientLogDefaultSink, ConcurrentWritersNeverInterleaveWithinALine) {
  TempDir dir;
  const ChildResult result = run_probe({"threads", "8", "500"}, {{"KIV_LOG", dir.file("log.txt")}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const auto lines = lines_of(read_file(dir.file("log.txt")));
  ASSERT_EQ(lines.size(), 8u * 500u);
  const std::regex whole(R"(thread [0-7] message \d+ payload)");
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(strip_prefix(line), whole)) << line;
}

TEST(GbkText, CleanPrefixNeverSplitsADoubleByteCharacter) {
  const std::string text = "ab\xD3\xC3\xBB\xA7";
  EXPECT_EQ(text::gbk_clean_prefix(text, 3), 2u);
  EXPECT_EQ(text::gbk_clean_prefix(text, 4), 4u);
  EXPECT_EQ(text::gbk_clean_prefix(text, 100), text.size());
  EXPECT_EQ(text::gbk_to_utf8("\xD3\xC3\xBB\xA7\x81"), "用户\\x81");
}

}  // namespace
}  // namespace kiv::test
