// What the report library's tests share: the settings file's text, and the
// library in a client process (probe_report) whose messages and datagrams a
// test collects.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "child_process.h"
#include "report_messages.h"
#include "system_names.h"
#include "udp_sink.h"

namespace kiv::test {

using Messages = std::vector<std::string>;

inline std::string settings_text(const std::string& dns, const std::string& port) {
  return "[LOG_SERVERS]\nlog_servers_dns=" + dns + "\nlog_servers_port=" + port + "\n";
}

// The two length traces of one sent record.
inline std::string length_traces(size_t length, size_t compressed) {
  char line[128];
  std::snprintf(line, sizeof line, logsend::msg::kSendLength, static_cast<int>(length));
  std::string out = line;
  std::snprintf(line, sizeof line, logsend::msg::kSendCompressedLength,
                static_cast<int>(compressed));
  return out + line;
}

struct Report {
  ChildResult child;
  Messages messages;
  std::vector<Datagram> datagrams;
};

class LogsendClient : public ::testing::Test {
 protected:
  void SetUp() override { settings("127.0.0.1", std::to_string(sink_.port())); }
  void settings(const std::string& dns, const std::string& port) {
    dir_.write("loginurl.ini", settings_text(dns, port));
  }

  // Runs probe_report with `args` in the client folder and collects what it
  // logged and sent; waits for `expected` datagrams. `search` names the
  // folders its library search starts with (none: the environment's).
  Report run(const std::vector<std::string>& args, size_t expected = 1,
             const std::vector<std::string>& search = {}) {
    using namespace std::chrono_literals;
    sink_.clear();
    ChildOptions options;
    options.argv = {test_program("probe_report")};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.cwd = dir_.path();
    if (!search.empty()) search_libraries_in(options, search);
    Report report;
    report.child = run_child(options);
    EXPECT_EQ(report.child.exit_code, 0) << report.child.err;
    report.messages = framed_messages(report.child.err);
    // The child has ended, so whatever it sent is in the sink's queue.
    report.datagrams = expected == 0 ? sink_.wait_for(1, 100ms) : sink_.wait_for(expected, 10s);
    return report;
  }

  UdpSink sink_;
  TempDir dir_;
};

}  // namespace kiv::test
