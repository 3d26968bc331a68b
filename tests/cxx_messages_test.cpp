// The result codes' names, and the message-handler scopes of kiv.hpp. No
// service is needed, so these also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "kiv.hpp"

namespace kiv::test {
namespace {

TEST(ResultCodes, NamesArePrimaryNamesOfEveryCode) {
  const std::vector<std::pair<int32_t, std::string_view>> codes = {
      {KIV_OK, "KIV_OK"},
      {KIV_E_NO_MEMORY, "KIV_E_NO_MEMORY"},
      {KIV_E_SERVICE_REFUSED, "KIV_E_NO_MEMORY"},
      {KIV_E_FILE_OPEN, "KIV_E_FILE_OPEN"},
      {KIV_E_FILE_CREATE, "KIV_E_FILE_CREATE"},
      {KIV_E_FILE_READ, "KIV_E_FILE_READ"},
      {KIV_E_FILE_SIZE, "KIV_E_FILE_SIZE"},
      {KIV_E_COMPRESS, "KIV_E_COMPRESS"},
      {KIV_E_NOT_JSON_101, "KIV_E_COMPRESS"},
      {KIV_E_UNCOMPRESS, "KIV_E_UNCOMPRESS"},
      {KIV_E_HTTP_STATUS, "KIV_E_HTTP_STATUS"},
      {KIV_E_SAVE_ROUTE_FAILED, "KIV_E_HTTP_STATUS"},
      {KIV_E_TRANSFER, "KIV_E_TRANSFER"},
      {KIV_E_NOT_JSON_114, "KIV_E_TRANSFER"},
      {KIV_E_LIST_REFUSED, "KIV_E_LIST_REFUSED"},
      {KIV_E_NO_LIST, "KIV_E_NO_LIST"},
      {KIV_E_MISSING_ARGUMENT, "KIV_E_MISSING_ARGUMENT"},
      {KIV_E_NO_ROW_MEMORY, "KIV_E_MISSING_ARGUMENT"},
      {KIV_E_FILE_WRITE, "KIV_E_FILE_WRITE"},
      {KIV_E_OPTION_REFUSED, "KIV_E_OPTION_REFUSED"},
  };
  for (const auto& [code, name] : codes) {
    ASSERT_NE(kiv_result_name(code), nullptr) << code;
    EXPECT_EQ(kiv_result_name(code), name) << code;
    EXPECT_EQ(kiv::result_name(code), name) << code;
  }
  EXPECT_EQ(KIV_E_OPTION_REFUSED, static_cast<int32_t>(0xE0FF00FFu));
  // Values that are no code: the service's own "err" values, for one.
  for (const int32_t other : {2, 3, 100, 117, 10004, -1, INT32_MIN}) {
    EXPECT_EQ(kiv_result_name(other), nullptr) << other;
    EXPECT_TRUE(kiv::result_name(other).empty()) << other;
  }
}

TEST(CxxApiMessages, HandlerScopesRestoreTheHandlerBeforeThem) {
  std::vector<std::string> outer_seen, inner_seen, other_seen;
  {
    kiv::message_handler_scope outer(
        [&](std::string_view message) { outer_seen.emplace_back(message); });
    kiv_show_message("one %d", 1);
    {
      kiv::message_handler_scope inner(
          [&](std::string_view message) { inner_seen.emplace_back(message); });
      kiv_show_message("two");
    }
    kiv_show_message("three");
    // Scopes that end out of order: the newest one alive keeps the messages.
    auto first =
        std::make_unique<kiv::message_handler_scope<std::function<void(std::string_view)>>>(
            [&](std::string_view message) { inner_seen.emplace_back(message); });
    kiv::message_handler_scope second(
        [&](std::string_view message) { other_seen.emplace_back(message); });
    first.reset();
    kiv_show_message("four");
  }
  kiv_show_message("five");  // to the default sink (KIV_LOG=off)
  EXPECT_EQ(outer_seen, (std::vector<std::string>{"one 1", "three"}));
  EXPECT_EQ(inner_seen, (std::vector<std::string>{"two"}));
  EXPECT_EQ(other_seen, (std::vector<std::string>{"four"}));
}

// Scopes start and end on several threads, in any order, while others log:
// no message reaches a scope that has ended (each counter dies right after
// its scope), and the last scope alive gets the messages.
TEST(CxxApiMessages, ScopesOnManyThreadsWhileOthersLog) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int i = 0; i < 2; ++i) {
    loggers.emplace_back([&stop] {
      while (!stop) kiv_show_message("tick");
    });
  }
  std::atomic<int> delivered{0};
  std::vector<std::thread> owners;
  for (int i = 0; i < 4; ++i) {
    owners.emplace_back([&delivered] {
      for (int round = 0; round < 100; ++round) {
        // Both loggers may be in this handler at once.
        auto seen = std::make_unique<std::atomic<int>>(0);
        kiv::message_handler_scope scope([&seen, &delivered](std::string_view) {
          ++*seen;
          ++delivered;
        });
        kiv_show_message("mine");
      }
    });
  }
  for (auto& owner : owners) owner.join();
  stop = true;
  for (auto& logger : loggers) logger.join();
  EXPECT_GT(delivered.load(), 0);

  std::vector<std::string> last_seen;
  {
    kiv::message_handler_scope last(
        [&](std::string_view message) { last_seen.emplace_back(message); });
    kiv_show_message("last");
  }
  EXPECT_EQ(last_seen, (std::vector<std::string>{"last"}));
}

}  // namespace
}  // namespace kiv::test
