// Both libraries on many threads at once, as a client program uses them:
// eight threads mix queries and transfers against the loopback service
// (some of which fail and send failure reports), two send reports, two read
// the cached service list. Every result must be exactly what the same call
// gives alone, and every report must reach the log sink once. Built and run
// in every preset; under the tsan preset ThreadSanitizer watches it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "http_server.h"
#include "in_process.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"
#include "udp_sink.h"
#include "zlib_util.h"

namespace kiv::test {
namespace {

using namespace std::chrono_literals;

constexpr int kQueryThreads = 8;
constexpr int kReportThreads = 2;
constexpr int kReaderThreads = 2;
constexpr int kRounds = 30;

constexpr char kVpnAnswer[] =
    R"({"VPNIP":"198.51.100.7","LocalOutIP":"203.0.113.45","VPNPort":1723})";
constexpr char kVerificationAnswer[] =
    R"({"err":1,"haveTime":3600,"expired":0,"usepay":1,"ut":20270218,"msg":"ok",)"
    R"("bindUnvalide":0,"ed":"2027-12-31","endBind":"2027-06-30"})";
constexpr char kDelayAnswer[] =
    R"({"err":1,"gamedelay":[{"gameid":1001,"serverid":101,"delay":38},)"
    R"({"gameid":1002,"serverid":201,"delay":61}]})";
constexpr char kRouteAnswer[] =
    R"({"err":1,"gameroute":[{"gameid":1001,"route":["192.0.2.0/24"]}]})";
constexpr char kPlainAnswer[] = R"({"err":1,"text":"hello"})";
constexpr char kServiceList[] =
    R"({"err":1,"server":[{"id":101,"payId":2,"serverip":[{"id":1,"ip":"198.51.100.21"}],)"
    R"("serverName":"relay one","serverType":42},{"id":102,"serverName":"relay two"}],)"
    R"("serverType":[{"id":12,"name":"vip"},{"id":"13","name":"free"}]})";

// Faults seen on any thread, reported once all have ended.
class Faults {
 public:
  void add(const std::string& what) {
    std::lock_guard guard(lock_);
    if (faults_.size() < 20) faults_.push_back(what);
  }
  std::vector<std::string> all() const {
    std::lock_guard guard(lock_);
    return faults_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> faults_;
};

// Rows of one call, rendered as text; each call has its own.
struct Rows {
  std::vector<std::string> lines;
};

void on_delay(int32_t count, char** names, void** values, void* context) {
  std::string line;
  for (int32_t i = 0; i < count; ++i) {
    int32_t value;
    std::memcpy(&value, values[i], sizeof value);
    line += std::string(names[i]) + "=" + std::to_string(value) + " ";
  }
  static_cast<Rows*>(context)->lines.push_back(line);
}
void on_text(const char* text, void* context) {
  static_cast<Rows*>(context)->lines.push_back(text);
}
void on_server(int32_t, char** names, void** values, void* context) {
  static_cast<Rows*>(context)->lines.push_back(
      std::string(names[2]) + "=" + std::to_string(*static_cast<int32_t*>(values[2])) + " " +
      static_cast<const char*>(values[9]) + " " + static_cast<const char*>(values[10]) +
      (values[5] != nullptr ? " with addresses" : ""));
}
void on_address(int32_t, char**, void** values, void* slot) {
  *static_cast<void**>(slot) = values[0];  // any pointer: only its presence is checked
}
void on_type(int32_t, char**, void** values, void* context) {
  static_cast<Rows*>(context)->lines.push_back(std::string(static_cast<const char*>(values[0])) +
                                               " " + static_cast<const char*>(values[1]));
}

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.set_reply("/vpn_info", json_reply(kVpnAnswer));
    server_.set_reply("/verification", json_reply(kVerificationAnswer));
    server_.set_reply("/serverdelay", json_reply(kDelayAnswer));
    server_.set_reply("/gameroute", json_reply(kRouteAnswer));
    server_.set_reply("/protocol", json_reply(kPlainAnswer));
    folder_.write("loginurl.ini", "[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port=" +
                                      std::to_string(sink_.port()) + "\n");
    folder_.write("services.dat", zlib_compress(kServiceList));
    list_file_ = folder_.file("services.dat");
  }

  // One query of the kind `kind`; false (with a fault) when its result is
  // not what the same query gives alone.
  void query(int kind, const std::string& where) {
    const char* host = "127.0.0.1";
    const uint32_t port = server_.port();
    const char request[] = "request-text";
    const int32_t size = sizeof request - 1;
    switch (kind) {
      case 0: {
        vpn_connection_info vpn{};
        const int32_t code = get_vpn_info(host, "vpn_info", port, "http", request, size, &vpn);
        if (code != 0 || std::strcmp(vpn.VPNIP, "198.51.100.7") != 0 ||
            std::strcmp(vpn.LocalOutIP, "203.0.113.45") != 0 || vpn.VPNPort != 1723) {
          faults_.add(where + ": get_vpn_info gave " + std::to_string(code));
        }
        break;
      }
      case 1: {
        char texts[4][1024] = {};
        verification_info info{0, 0, 0, 0, texts[0], texts[1], 0, texts[2], texts[3]};
        const int32_t code =
            get_verification_from_service(host, "verification", port, "http", request, size, &info);
        if (code != 0 || info.err != 1 || info.haveTime != 3600 || info.usepay != 1 ||
            std::string(info.ut) != "20270218" || std::string(info.msg) != "ok" ||
            std::string(info.ed) != "2027-12-31" || std::string(info.endBind) != "2027-06-30") {
          faults_.add(where + ": get_verification_from_service gave " + std::to_string(code));
        }
        break;
      }
      case 2: {
        Rows rows;
        const int32_t code = get_serverdelay_from_server(host, "serverdelay", port, "http", request,
                                                         size, on_delay, &rows);
        const std::vector<std::string> expected = {"gameid=1001 serverid=101 delay=38 ",
                                                   "gameid=1002 serverid=201 delay=61 "};
        if (code != 0 || rows.lines != expected) {
          faults_.add(where + ": get_serverdelay_from_server gave " + std::to_string(code));
        }
        break;
      }
      case 3: {
        Rows rows;
        const int32_t code = get_gameroute_from_server(host, "gameroute", port, "http", request,
                                                       size, on_text, &rows);
        const std::vector<std::string> expected = {
            R"([ { "gameid": 1001, "route": [ "192.0.2.0\/24" ] } ])"};
        if (code != 0 || rows.lines != expected) {
          faults_.add(where + ": get_gameroute_from_server gave " + std::to_string(code));
        }
        break;
      }
      case 4: {
        char answer[256];
        uint32_t answer_size = sizeof answer;
        const int32_t code = http_access_protocol1(host, "protocol", port, "http", request, size,
                                                   answer, &answer_size);
        if (code != 0 || std::string(answer, answer_size) != kPlainAnswer) {
          faults_.add(where + ": http_access_protocol1 gave " + std::to_string(code));
        }
        break;
      }
      case 5: {
        // A missing record: 10003 and a failure report through the report library.
        const int32_t code = get_vpn_info(host, "vpn_info", port, "http", request, size, nullptr);
        if (code != 10003) faults_.add(where + ": a missing record gave " + std::to_string(code));
        failure_reports_.fetch_add(1);
        break;
      }
    }
  }

  void read_lists(const std::string& where) {
    Rows servers;
    int32_t err = -1;
    int32_t code = get_data_from_file(list_file_.c_str(), on_server, on_address, &servers, &err);
    const std::vector<std::string> expected_servers = {"serverId=101 relay one 42 with addresses",
                                                       "serverId=102 relay two "};
    if (code != 0 || err != 1 || servers.lines != expected_servers) {
      faults_.add(where + ": get_data_from_file gave " + std::to_string(code));
    }
    Rows types;
    code = get_servertype_from_file(list_file_.c_str(), &types, on_type, &err);
    if (code != 0 || err != 1 || types.lines != std::vector<std::string>{"12 vip", "13 free"}) {
      faults_.add(where + ": get_servertype_from_file gave " + std::to_string(code));
    }
  }

  TempDir folder_;
  LoopbackHttpServer server_;
  UdpSink sink_;
  std::string list_file_;
  Faults faults_;
  std::atomic<int> failure_reports_{0};
};

TEST_F(Concurrency, QueriesReportsAndListReadsOnManyThreadsAllComeOutRight) {
  const CurrentFolder in_folder(folder_.path());
  // The query threads first, then the report threads, then the readers.
  on_threads(kQueryThreads + kReportThreads + kReaderThreads, [this](int thread) {
    if (thread < kQueryThreads) {
      const int t = thread;
      for (int round = 0; round < kRounds; ++round) {
        query((t + round) % 6, "query thread " + std::to_string(t));
      }
    } else if (thread < kQueryThreads + kReportThreads) {
      const int t = thread - kQueryThreads;
      for (int round = 0; round < kRounds; ++round) {
        // Each record names its thread and round, so that each is told apart.
        const std::string account = "thread" + std::to_string(t) + "-" + std::to_string(round);
        link_report(1, 2, "192.0.2.1", "relay", account.c_str(), 3);
      }
    } else {
      const int t = thread - kQueryThreads - kReportThreads;
      for (int round = 0; round < kRounds; ++round) read_lists("reader " + std::to_string(t));
    }
  });

  for (const std::string& fault : faults_.all()) ADD_FAILURE() << fault;

  // Every link report once, and a failure report per missing record.
  const size_t links = kReportThreads * kRounds;
  const size_t expected = links + static_cast<size_t>(failure_reports_.load());
  const std::vector<Datagram> datagrams = sink_.wait_for(expected, 10s);
  std::multiset<std::string> accounts;
  size_t bug_reports = 0;
  for (const Datagram& datagram : datagrams) {
    ASSERT_TRUE(datagram.inflated);
    if (datagram.text.find("\"act\":\"BugService\"") != std::string::npos) {
      ++bug_reports;
      EXPECT_NE(datagram.text.find("\"error_func_name\":\"get_vpn_info\""), std::string::npos);
      continue;
    }
    const size_t at = datagram.text.find("\"link_account\":\"thread");
    ASSERT_NE(at, std::string::npos) << datagram.text;
    accounts.insert(datagram.text.substr(at, datagram.text.find('"', at + 16) - at));
  }
  EXPECT_EQ(bug_reports, static_cast<size_t>(failure_reports_.load()));
  std::multiset<std::string> expected_accounts;
  for (int t = 0; t < kReportThreads; ++t) {
    for (int round = 0; round < kRounds; ++round) {
      expected_accounts.insert("\"link_account\":\"thread" + std::to_string(t) + "-" +
                               std::to_string(round));
    }
  }
  EXPECT_EQ(accounts, expected_accounts);
}

// The transport alone on many threads, each call with its own request,
// answer and failures.
TEST_F(Concurrency, TransportCallsOnManyThreadsEachGetTheirOwnAnswer) {
  server_.set_handler([](const RecordedRequest& request) {
    if (request.path.find("/missing") == 0) return Reply{404, "", {}, ""};
    std::string asked;
    zlib_inflate(request.body, &asked);
    return json_reply("answer to " + request.path + " for " + asked);
  });
  constexpr int kThreads = 8;
  constexpr int kCalls = 50;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const bool missing = i % 10 == 9;
        const std::string url =
            (missing ? "missing/" : "t") + std::to_string(t) + "/" + std::to_string(i);
        const std::string request = "request " + std::to_string(t * 1000 + i);
        char answer[256];
        uint32_t size = sizeof answer;
        const int32_t rc = http_access_protocol1(
            "127.0.0.1", url.c_str(), server_.port(), "proto", request.c_str(),
            static_cast<int32_t>(request.size()), answer, &size);
        const bool right = missing ? rc == 113 && size == sizeof answer
                                   : rc == 0 && std::string(answer, size) ==
                                                    "answer to /" + url + " for " + request;
        if (!right) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(server_.request_count(), static_cast<size_t>(kThreads * kCalls));
}

// A client that calls exit while eight threads are inside the libraries (a
// query, a report, the message handler, or between calls) ends cleanly: at
// exit nothing those calls use is released. Each run exits at a different
// moment; a crash shows as a signal (Linux) or a failing status (Windows).
TEST_F(Concurrency, ExitingWhileThreadsAreInsideTheLibrariesEndsCleanly) {
  server_.set_reply("/vpn_info", json_reply(kVpnAnswer));
  constexpr int kRuns = 40;
  for (int run = 0; run < kRuns; ++run) {
    ChildOptions options;
    // From 0 to 19.5 ms after every thread has made its first call.
    const int delay_us = (run * 7919) % 40 * 500;
    options.argv = {test_program("probe_exit"), std::to_string(server_.port()),
                    std::to_string(delay_us)};
    options.cwd = folder_.path();
    options.env["KIV_LOG"] = "off";
    const ChildResult child = run_child(options);
    ASSERT_FALSE(child.timed_out) << "run " << run;
    ASSERT_EQ(child.signal, 0) << "run " << run << " (" << delay_us << " us)";
    ASSERT_EQ(child.exit_code, 0) << "run " << run << " (" << delay_us << " us)\n" << child.err;
    ASSERT_NE(child.out.find("exiting after"), std::string::npos) << child.out;
  }
}

}  // namespace
}  // namespace kiv::test
