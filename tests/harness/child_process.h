#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "system_names.h"
#include "test_process.h"

namespace kiv::test {

struct ChildOptions {
  std::vector<std::string> argv;             // argv[0] is the program's path
  std::map<std::string, std::string> env;    // set or replaced in the inherited environment
  std::vector<std::string> unset_env;        // removed from it
  std::string cwd;                           // empty: the current folder
  std::chrono::milliseconds timeout{30000};  // then the child is killed
};

// Its exit code or signal, whether it was killed at the time-out, and its
// output.
using ChildResult = platform::ProcessResult;

// Runs a program to its end with its own environment and current folder.
ChildResult run_child(const ChildOptions& options);

// A program's text with its lines ended by "\n" alone: a Windows program
// writing in text mode ends them with CR LF. Elsewhere the text as it is.
std::string text_lines(std::string_view text);

// A program running in the background while a test talks to it, its
// standard output read as it comes (standard error is the test's own). It is
// stopped the way a user stops a console program: SIGINT on POSIX,
// Ctrl-Break on Windows (it runs in a process group of its own, so the event
// reaches it alone). Where the system cannot deliver that event (Wine without
// a console), it is terminated instead, and stop_was_requested() says so.
// It goes when the test does, even when the test itself dies.
class BackgroundChild {
 public:
  explicit BackgroundChild(std::vector<std::string> argv);
  ~BackgroundChild();
  BackgroundChild(const BackgroundChild&) = delete;
  BackgroundChild& operator=(const BackgroundChild&) = delete;

  // Its output is taken as text_lines. Reads until `text` is in it; false when the time passes or
  // the output ends first.
  bool wait_for_output(std::string_view text, std::chrono::milliseconds timeout);
  const std::string& output() const { return output_; }

  // Sends the stop request alone, without waiting (SIGTERM instead of
  // SIGINT when `terminate` is set; Windows has only its console event).
  // False when it could not be delivered.
  bool request_stop(bool terminate = false);

  // Holds it still (SIGSTOP) and lets it go on (SIGCONT), as a busy system
  // might; false where that cannot be done (Windows).
  bool suspend(bool suspended);

  // Asks it to stop, reads its output to the end and returns its exit
  // status (-1 when it did not exit normally); at once when it has stopped.
  int stop();
  // Whether it has ended within `timeout`, without reading its output.
  bool ended_within(std::chrono::milliseconds timeout);
  // Whether the stop request reached it, rather than it being terminated.
  bool stop_was_requested() const { return stop_requested_; }

 private:
  struct Process;
  // Appends what arrives within `timeout`; false on time-out or the end.
  bool read_some(std::chrono::milliseconds timeout);

  std::unique_ptr<Process> process_;
  std::string output_;
  int exit_status_ = -1;
  bool stop_requested_ = false;
};

// The messages a probe wrote to standard error, each ended by 0x1E (a
// message may hold line breaks of its own).
std::vector<std::string> framed_messages(std::string_view text);

// A fresh empty folder under the system's temporary folder, removed with its
// content when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);

}  // namespace kiv::test
