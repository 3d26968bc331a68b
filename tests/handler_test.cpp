// A message handler that calls back into the libraries: reports and queries
// from inside the handler, a handler that logs, and handlers replaced while
// other threads log. A fault here is a hang, so every scenario runs against
// a deadline and ends the test program when it is missed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "http_server.h"
#include "in_process.h"
#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"
#include "udp_sink.h"

namespace kiv::test {
namespace {

using namespace std::chrono_literals;

constexpr int kThreads = 8;

// What the reporting handler saw.
struct Seen {
  std::mutex lock;
  std::vector<std::string> messages;
  size_t count(const std::string& message) {
    std::lock_guard guard(lock);
    size_t n = 0;
    for (const std::string& m : messages) n += m == message;
    return n;
  }
  size_t size() {
    std::lock_guard guard(lock);
    return messages.size();
  }
};

// Sends every one of the seven reports for each message, each marked
// "handler", and asks the service a question the service cannot answer.
void report_everything(const char* message, void* context) {
  auto* seen = static_cast<Seen*>(context);
  {
    std::lock_guard guard(seen->lock);
    seen->messages.emplace_back(message);
  }
  break_report("handler", "handler", "192.0.2.1", 1, 2);
  bug_report(99, 990, 5, "handler", "from the handler");
  client_operate_report("{\"by\":\"handler\"}");
  kiv_disconnect_report("handler", "handler", "192.0.2.1", "relay", 1);
  link_report(1, 2, "192.0.2.1", "relay", "handler", 3);
  login_state_report("handler", "handler", 1);
  open_login_report("handler");
}

class HandlerCallingBack : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.set_reply("/vpn_info",
                      json_reply(R"({"VPNIP":"198.51.100.7","LocalOutIP":"1.2.3.4","VPNPort":1})"));
  }
  void TearDown() override { kiv_set_message_handler(nullptr, nullptr); }

  // Each thread: a query that succeeds, one whose record is missing (its
  // failure report goes through the report library) and a report of its own.
  void workload(int rounds, std::atomic<int>* faults) {
    on_threads(kThreads, [&](int t) {
      for (int round = 0; round < rounds; ++round) {
        vpn_connection_info vpn{};
        const char request[] = "{}";
        if (get_vpn_info("127.0.0.1", "vpn_info", server_.port(), "http", request, 2, &vpn) != 0 ||
            std::strcmp(vpn.VPNIP, "198.51.100.7") != 0) {
          ++*faults;
        }
        if (get_vpn_info("127.0.0.1", "vpn_info", server_.port(), "http", request, 2, nullptr) !=
            10003) {
          ++*faults;
        }
        const std::string account = "outer" + std::to_string(t) + "-" + std::to_string(round);
        link_report(1, 2, "192.0.2.1", "relay", account.c_str(), 3);
      }
    });
  }

  TempDir folder_;
  LoopbackHttpServer server_;
  UdpSink sink_;
};

TEST_F(HandlerCallingBack, AHandlerThatReportsEveryMessageNeitherHangsNorLosesAnything) {
  constexpr int kRounds = 2;
  const CurrentFolder in_folder(folder_.path());
  Seen seen;
  std::atomic<int> faults{0};

  // Without settings every report logs from inside the report channel, the
  // handler's own reports too: each of those lines reaches the handler once,
  // and what the handler's reports log goes to the default sink instead.
  kiv_set_message_handler(report_everything, &seen);
  within(120s, "reporting from the handler without settings", [&] { workload(kRounds, &faults); });
  EXPECT_EQ(faults.load(), 0);
  // Per round and thread: the outer link_report and the missing record's
  // failure report.
  const size_t outer_reports = 2u * kThreads * kRounds;
  EXPECT_EQ(seen.count("Error :./loginurl.ini dose not Exits\n"), outer_reports);
  EXPECT_EQ(seen.count("Error: Failed to get services information\n"), outer_reports);

  // With a log server every report of the handler arrives, seven per
  // message, besides every report of the threads themselves.
  kiv_set_message_handler(nullptr, nullptr);
  folder_.write("loginurl.ini", "[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port=" +
                                    std::to_string(sink_.port()) + "\n");
  Seen seen_sent;
  kiv_set_message_handler(report_everything, &seen_sent);
  within(120s, "reporting from the handler to a log server", [&] { workload(kRounds, &faults); });
  kiv_set_message_handler(nullptr, nullptr);
  EXPECT_EQ(faults.load(), 0);
  const size_t handled = seen_sent.size();
  EXPECT_GT(handled, 0u);
  const size_t expected = 7 * handled + outer_reports;
  const std::vector<Datagram> datagrams = sink_.wait_for(expected, 20s);
  size_t from_handler = 0;
  size_t outer_links = 0;
  size_t outer_bugs = 0;
  for (const Datagram& datagram : datagrams) {
    ASSERT_TRUE(datagram.inflated);
    if (datagram.text.find("handler") != std::string::npos) {
      ++from_handler;
    } else if (datagram.text.find("\"link_account\":\"outer") != std::string::npos) {
      ++outer_links;
    } else if (datagram.text.find("\"error_func_name\":\"get_vpn_info\"") != std::string::npos) {
      ++outer_bugs;
    }
  }
  EXPECT_EQ(from_handler, 7 * handled);
  EXPECT_EQ(outer_links, outer_reports / 2);
  EXPECT_EQ(outer_bugs, outer_reports / 2);
  EXPECT_EQ(datagrams.size(), expected);
}

// ---- a handler that logs, and handlers replaced while threads log ------------

// A handler that logs from inside itself: it sees the outer message once;
// the inner one goes to the default sink (the child's log file), not lost.
TEST(HandlerRule, MessagesLoggedInsideTheHandlerGoToTheDefaultSinkOnce) {
  TempDir dir;
  ChildOptions options;
  options.argv = {test_program("probe_log"), "nested"};
  options.env = {{"KIV_LOG", dir.file("log.txt")}};
  const ChildResult result = run_child(options);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // The handler prints what it is given; it is given each outer message once.
  EXPECT_EQ(text_lines(result.out), "handler: outer 1\nhandler: outer 2\n");
  const std::string log = read_file(dir.file("log.txt"));
  EXPECT_NE(log.find("inside the handler, for outer 1"), std::string::npos) << log;
  EXPECT_NE(log.find("inside the handler, for outer 2"), std::string::npos) << log;
  EXPECT_EQ(log.find("] outer 1"), std::string::npos) << "an outer message left the handler";
}

// One context per handler set; the setter retires it once the set returns,
// and a handler that runs on a retired context is a use after release.
struct Context {
  std::atomic<bool> retired{false};
  std::atomic<int> calls{0};
  std::atomic<int>* late_calls = nullptr;
};
void checking_handler(const char*, void* context) {
  auto* c = static_cast<Context*>(context);
  if (c->retired) ++*c->late_calls;
  ++c->calls;
  std::this_thread::yield();
  if (c->retired) ++*c->late_calls;
}
void other_checking_handler(const char* message, void* context) {
  checking_handler(message, context);
}
// Replaces itself from inside, on every thread at once.
void self_replacing_handler(const char*, void* context) {
  ++*static_cast<std::atomic<int>*>(context);
  kiv_set_message_handler(self_replacing_handler, context);
}

TEST(HandlerRule, HandlersReplacedAndClearedWhileEightThreadsLog) {
  std::atomic<bool> stop{false};
  std::atomic<int> late_calls{0};
  std::atomic<long> logged{0};
  std::vector<std::thread> loggers;
  for (int t = 0; t < kThreads; ++t) {
    loggers.emplace_back([&, t] {
      while (!stop) {
        kiv_show_message("thread %d", t);
        ++logged;
      }
    });
  }

  // Each change returns although the threads never stop logging, and no
  // handler runs on its context once its replacement has returned.
  constexpr int kChanges = 100;
  std::vector<std::unique_ptr<Context>> contexts;
  for (int i = 0; i < kChanges; ++i) {
    contexts.push_back(std::make_unique<Context>());
    contexts.back()->late_calls = &late_calls;
  }
  within(120s, "replacing the handler while threads log", [&] {
    // Every handler gets its turn while messages flow, however slowly the
    // threads are started and scheduled: past the messages that were already
    // under way on each thread, at least one comes after the change.
    const auto let_messages_flow = [&] {
      const long before = logged;
      while (logged < before + 2 * kThreads + 1) std::this_thread::yield();
    };
    let_messages_flow();
    Context* previous = nullptr;
    for (int i = 0; i < kChanges; ++i) {
      Context* next = contexts[static_cast<size_t>(i)].get();
      if (i % 3 == 2) {
        kiv_set_message_handler(nullptr, nullptr);
        next = nullptr;
      } else {
        kiv_set_message_handler(i % 2 == 0 ? checking_handler : other_checking_handler, next);
      }
      if (previous != nullptr) previous->retired = true;
      previous = next;
      let_messages_flow();
    }
    kiv_set_message_handler(nullptr, nullptr);
    if (previous != nullptr) previous->retired = true;
  });
  EXPECT_EQ(late_calls.load(), 0);
  int handled = 0;
  for (const auto& context : contexts) handled += context->calls;
  EXPECT_GT(handled, 0);

  // Handlers that set a handler from inside themselves, on all threads at
  // once, do not wait for one another.
  std::atomic<int> self_calls{0};
  within(60s, "handlers replacing themselves on every thread", [&] {
    kiv_set_message_handler(self_replacing_handler, &self_calls);
    const long before = logged;
    while (logged < before + 20000) std::this_thread::yield();
    kiv_set_message_handler(nullptr, nullptr);
  });
  EXPECT_GT(self_calls.load(), 0);

  stop = true;
  for (std::thread& logger : loggers) logger.join();
}

}  // namespace
}  // namespace kiv::test
