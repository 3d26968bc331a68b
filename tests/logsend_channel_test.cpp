// The report channel itself, with the settings it is pointed at: the lookup
// of the log server and its fallback, the resolver cache's intervals, and a
// socket layer that will not start. System calls fail through the fault seam.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel.h"
#include "fault.h"
#include "logsend_support.h"
#include "message_capture.h"
#include "platform.h"
#include "resolver_cache.h"

namespace kiv::test {
namespace {

using namespace std::chrono_literals;
using logsend::Channel;
using logsend::ResolverCache;
using logsend::ResolveStatus;
using platform::fault::Call;
using platform::fault::ScopedFault;

constexpr int kHostNotFound = 11001;    // WSAHOST_NOT_FOUND
constexpr int kSocketsRefused = 10091;  // WSASYSNOTREADY

uint64_t g_now_ms = 0;
uint64_t test_clock() noexcept {
  return g_now_ms;
}
// A clock an hour later at every reading: no answer is ever recent, so each
// lookup of a channel that uses it reaches the system.
uint64_t passing_clock() noexcept {
  static std::atomic<uint64_t> now{0};
  return now += 60 * 60 * 1000;
}

// ---- the channel, pointed at the test's settings ----------------------------------

class LogsendChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    setup_.settings_path = settings_path_.c_str();
    setup_.cache = &uncached_;
  }
  void point_at(const std::string& name) {
    dir_.write("loginurl.ini", settings_text(name, std::to_string(sink_.port())));
  }
  std::vector<Datagram> sent(size_t expected) {
    // Loopback delivery is done when sendto returns: a short wait shows any
    // datagram that should not have been sent.
    return expected == 0 ? sink_.wait_for(1, 100ms) : sink_.wait_for(expected, 5s);
  }

  UdpSink sink_;
  TempDir dir_;
  std::string settings_path_ = dir_.file("loginurl.ini");
  ResolverCache uncached_{platform::lookup_ipv4, passing_clock};
  logsend::ChannelSetup setup_;
  MessageCapture capture_;
};

TEST_F(LogsendChannel, FailedLookupFallsBackOnlyToAnAddressOfTheSameName) {
  Channel channel(setup_);
  const char record[] = "{\"act\":\"x\"}";
  const std::string lookup_failed = "Error: Failed to call gethostbyname in log_report(), errno=";

  point_at("127.0.0.1");
  {
    const ScopedFault dead(Call::kLookup, {.error = kHostNotFound});
    // Fails before any success: nothing to fall back to.
    EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kNoServer);
  }
  ASSERT_EQ(capture_.messages().size(), 1u);
  EXPECT_EQ(capture_.messages()[0].rfind(lookup_failed, 0), 0u) << capture_.messages()[0];

  EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kSent);
  {
    const ScopedFault dead(Call::kLookup, {.error = kHostNotFound});
    // The same name fails now: its last address is used.
    EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kSent);
  }
  {
    const ScopedFault empty(Call::kLookup, {});  // an answer without an address: the same
    EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kSent);
  }
  EXPECT_EQ(sent(3).size(), 3u);

  sink_.clear();
  point_at("localhost");  // another name must not inherit 127.0.0.1's address
  const ScopedFault dead(Call::kLookup, {.error = kHostNotFound});
  EXPECT_EQ(channel.report(record, sizeof record - 1), Channel::Outcome::kNoServer);
  EXPECT_TRUE(sent(0).empty());
}

TEST_F(LogsendChannel, ResolveReportsEachOutcome) {
  Channel channel(setup_);
  char address[16] = "kept";
  {
    const ScopedFault dead(Call::kLookup, {.error = kHostNotFound});
    EXPECT_EQ(channel.resolve("nowhere", address), ResolveStatus::kLookupFailed);
  }
  {
    const ScopedFault empty(Call::kLookup, {});
    EXPECT_EQ(channel.resolve("empty", address), ResolveStatus::kNoAddress);
  }
  EXPECT_EQ(channel.resolve(nullptr, address), ResolveStatus::kBadArgument);
  EXPECT_STREQ(address, "kept");
  EXPECT_EQ(channel.resolve("192.0.2.7", address), ResolveStatus::kResolved);
  EXPECT_STREQ(address, "192.0.2.7");

  {
    const ScopedFault no_sockets(Call::kSocketsStart, {.error = kSocketsRefused});
    EXPECT_EQ(channel.resolve("192.0.2.7", address), ResolveStatus::kSocketsFailed);
  }

  const Messages messages = capture_.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].rfind("Error: Failed to call gethostbyname in log_report(), errno=", 0),
            0u);
  EXPECT_EQ(messages[1], "Error: PARAM, in get_host_ip_by_name()");
  EXPECT_EQ(messages[2].rfind("Error: Failed to call WSAStartup in log_report, errno=", 0), 0u);
}

TEST_F(LogsendChannel, SocketLayerThatWillNotStartDropsTheRecordAndKeepsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  point_at("127.0.0.1");
  // The child exits with 7 only when the report came back as not sent with
  // the message; ending the process from inside the library gives 0.
  EXPECT_EXIT(
      {
        // The lookup's start succeeds, the send step's start fails.
        const ScopedFault second_start(Call::kSocketsStart,
                                       {.error = kSocketsRefused, .after_calls = 1});
        MessageCapture capture;
        Channel channel(setup_);
        const bool dropped = channel.report("{}", 2) == Channel::Outcome::kNotSent &&
                             capture.messages() == Messages{"Error: Failed to init WS2_32.dll\n"};
        std::filesystem::remove_all(dir_.path());  // _Exit runs no destructor
        std::_Exit(dropped ? 7 : 1);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_TRUE(sent(0).empty());
}

// ---- the resolver cache in front of a resolver that takes its time --------------

// Answers as the system does only once let go, and counts the questions.
struct HeldResolver {
  std::mutex lock;
  std::condition_variable changed;
  bool held = false;
  int asked = 0;
};
HeldResolver g_resolver;
platform::LookupResult held_lookup(const char* name, char (&out)[16]) noexcept {
  std::unique_lock guard(g_resolver.lock);
  ++g_resolver.asked;
  g_resolver.changed.notify_all();
  // Bounded, so that a test gone wrong ends instead of hanging.
  g_resolver.changed.wait_for(guard, 30s, [] { return !g_resolver.held; });
  return platform::lookup_ipv4(name, out);
}
int asked() {
  std::lock_guard guard(g_resolver.lock);
  return g_resolver.asked;
}
void hold(bool held) {
  std::lock_guard guard(g_resolver.lock);
  g_resolver.held = held;
  g_resolver.changed.notify_all();
}
void wait_until_asked(int times) {
  std::unique_lock guard(g_resolver.lock);
  g_resolver.changed.wait_for(guard, 30s, [&] { return g_resolver.asked >= times; });
}
// Holds the lookups of "localhost" alone; other names are answered at once.
platform::LookupResult localhost_held(const char* name, char (&out)[16]) noexcept {
  if (std::strcmp(name, "localhost") == 0) return held_lookup(name, out);
  return platform::lookup_ipv4(name, out);
}

TEST_F(LogsendChannel, ASlowResolverIsWaitedOnByOneReportPerInterval) {
  ResolverCache cache(held_lookup, test_clock);
  setup_.cache = &cache;
  Channel channel(setup_);
  const auto report = [&] { return channel.report("{}", 2); };
  // One report with the resolver held: it waits inside the lookup until let go.
  const auto held_report = [&](int asked_before) {
    hold(true);
    auto first = std::async(std::launch::async, report);
    wait_until_asked(asked_before + 1);
    EXPECT_EQ(first.wait_for(0s), std::future_status::timeout);
    hold(false);
    return first.get();
  };
  const auto hundred_sent = [&] {
    int sent_count = 0;
    for (int i = 0; i < 100; ++i) sent_count += report() == Channel::Outcome::kSent;
    return sent_count;
  };

  point_at("127.0.0.1");
  EXPECT_EQ(held_report(0), Channel::Outcome::kSent);
  EXPECT_EQ(hundred_sent(), 100);
  EXPECT_EQ(asked(), 1);
  EXPECT_EQ(sent(101).size(), 101u);

  {
    // The answer has grown old and the resolver is dead: one report waits
    // and learns nothing, the failure is remembered, and every record goes
    // to the address the name had.
    const ScopedFault dead(Call::kLookup, {.error = kHostNotFound});
    g_now_ms += logsend::kAnswerKeptMs;
    sink_.clear();
    EXPECT_EQ(held_report(1), Channel::Outcome::kSent);
    EXPECT_EQ(hundred_sent(), 100);
    EXPECT_EQ(asked(), 2);
    EXPECT_EQ(sent(101).size(), 101u);

    // Once the failure has grown old the resolver is asked again.
    g_now_ms += logsend::kFailureKeptMs;
    EXPECT_EQ(report(), Channel::Outcome::kSent);
    EXPECT_EQ(asked(), 3);
  }
  // A changed name is asked at once.
  point_at("localhost");
  EXPECT_EQ(report(), Channel::Outcome::kSent);
  EXPECT_EQ(asked(), 4);
}

// Reports run side by side: while one waits on a slow lookup, a report of
// the same name waits for that one lookup (in the cache, not behind the
// channel), and a report of another name goes out at once.
TEST_F(LogsendChannel, ASlowLookupDelaysOnlyTheReportsThatNeedIt) {
  ResolverCache cache(localhost_held, test_clock);
  setup_.cache = &cache;
  Channel channel(setup_);
  const auto report = [&] { return channel.report("{}", 2); };
  const int asked_before = asked();

  point_at("localhost");
  hold(true);
  auto first = std::async(std::launch::async, report);
  wait_until_asked(asked_before + 1);
  auto same_name = std::async(std::launch::async, report);
  std::this_thread::sleep_for(100ms);  // time to read the settings and wait in the cache

  point_at("127.0.0.1");
  auto other_name = std::async(std::launch::async, report);
  const bool other_done = other_name.wait_for(10s) == std::future_status::ready;
  const bool first_waiting = first.wait_for(0s) == std::future_status::timeout;
  hold(false);
  ASSERT_TRUE(other_done) << "a report waited behind another report's lookup";
  EXPECT_TRUE(first_waiting);
  EXPECT_EQ(other_name.get(), Channel::Outcome::kSent);
  EXPECT_EQ(first.get(), Channel::Outcome::kSent);
  EXPECT_EQ(same_name.get(), Channel::Outcome::kSent);
  EXPECT_EQ(asked() - asked_before, 1);  // the second "localhost" report shared the lookup
  EXPECT_EQ(sent(3).size(), 3u);
}

// ---- the resolver cache, in front of a lookup that counts its questions ----

std::atomic<int> g_asked{0};
std::atomic<int> g_callers{0};
// Answers "good" after every caller has come (or a second has passed), and
// fails "bad" with a socket error of its own.
platform::LookupResult counted_lookup(const char* name, char (&out)[16]) noexcept {
  ++g_asked;
  for (int i = 0; i < 100 && g_callers.load() < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (std::strcmp(name, "bad") == 0) {
    platform::set_socket_last_error(11001);
    return platform::LookupResult::kFailed;
  }
  std::strcpy(out, std::strcmp(name, "good") == 0 ? "192.0.2.1" : "192.0.2.2");
  return platform::LookupResult::kAddress;
}

TEST(ResolverCache, CallersOfOneNameShareOneLookupUntilItsIntervalEnds) {
  logsend::ResolverCache cache(counted_lookup, test_clock);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      char out[16] = {};
      ++g_callers;
      if (cache.lookup("good", out) != platform::LookupResult::kAddress ||
          std::strcmp(out, "192.0.2.1") != 0) {
        ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(g_asked.load(), 1);

  // A failure is remembered with its error number; another name is asked on its own.
  char out[16] = "kept";
  for (int i = 0; i < 3; ++i) {
    platform::set_socket_last_error(0);
    EXPECT_EQ(cache.lookup("bad", out), platform::LookupResult::kFailed);
    EXPECT_EQ(platform::socket_last_error(), 11001);
  }
  EXPECT_STREQ(out, "kept");
  EXPECT_EQ(cache.lookup("other", out), platform::LookupResult::kAddress);
  EXPECT_STREQ(out, "192.0.2.2");
  EXPECT_EQ(g_asked.load(), 3);

  // Each kind of answer is asked again once its own interval has passed.
  g_now_ms += logsend::kFailureKeptMs;
  cache.lookup("bad", out);
  cache.lookup("good", out);
  EXPECT_EQ(g_asked.load(), 4);
  g_now_ms += logsend::kAnswerKeptMs;
  cache.lookup("good", out);
  EXPECT_EQ(g_asked.load(), 5);
}

}  // namespace
}  // namespace kiv::test
