// Child processes as the tests, benchmarks and fuzzers start them: a program
// run to its end with its output collected, or one left running in the
// background while a test talks to it. Test support only; the libraries, the
// tool and the stand-in never link it.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kiv::platform {

// This process's environment, by variable name.
std::map<std::string, std::string> environment_variables();

unsigned long current_process_id() noexcept;

struct ProcessResult {
  int exit_code = -1;  // -1 when it did not exit normally
  int signal = 0;      // the signal that ended it, or 0
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program's path) to its end with exactly the
// environment `env`, in the folder `cwd` (empty: this process's own) and its
// input on nothing; killed once `timeout` has passed. Throws
// std::invalid_argument without a program, std::runtime_error when it cannot
// be started.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env, const std::string& cwd,
                          std::chrono::milliseconds timeout);

// A program running in the background with this process's environment, its
// standard output on a pipe and its standard error this process's own. On
// POSIX it is sent SIGTERM when this process dies (Linux); on Windows it runs
// in this console, in a process group of its own (so that a console event
// reaches it alone) and in a job that ends it with this process.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(std::vector<std::string> argv);  // throws as run_process
  ~BackgroundProcess();  // closes what it holds; ending the program is stop's
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Appends to `sink` what its output brings within `timeout`, bytes as they
  // came; false on time-out or at the end of the output.
  bool read_some(std::chrono::milliseconds timeout, std::string* sink);
  // SIGSTOP and SIGCONT; false where that cannot be done (Windows).
  bool suspend(bool suspended);
  // The stop request a user gives a console program (SIGINT, or SIGTERM when
  // `terminate` is set; Ctrl-Break on Windows). False when not delivered.
  bool request_stop(bool terminate);
  // Whether it has ended within `timeout`, its output read or not (it is
  // left for wait_for_end to collect).
  bool ended_within(std::chrono::milliseconds timeout);
  // stop's first half: sends SIGINT (Ctrl-Break on Windows, or, where that
  // cannot be delivered, terminates it). True when the request was delivered.
  bool begin_stop();
  // stop's second half, once its output has been read to the end: waits for
  // it and returns its exit status, -1 when it did not exit normally. On
  // Windows a program that has not ended within ten seconds is terminated
  // and `*stop_heeded` becomes false, and a program terminated gives -1.
  int wait_for_end(bool* stop_heeded);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kiv::platform
