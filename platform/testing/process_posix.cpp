#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cstring>
#include <stdexcept>

#include "test_process.h"

extern char** environ;

namespace kiv::platform {

std::map<std::string, std::string> environment_variables() {
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals != nullptr)
      env[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
  }
  return env;
}

unsigned long current_process_id() noexcept {
  return static_cast<unsigned long>(::getpid());
}

ProcessResult run_process(const std::vector<std::string>& program,
                          const std::map<std::string, std::string>& env, const std::string& cwd,
                          std::chrono::milliseconds timeout) {
  if (program.empty()) throw std::invalid_argument("no program");

  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : env) env_strings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = program;
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  ProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buffer[8192];
  while (open_count > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

struct BackgroundProcess::State {
  pid_t pid = -1;
  int out = -1;
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (out >= 0) ::close(out);
  }
};

BackgroundProcess::BackgroundProcess(std::vector<std::string> argv) {
  if (argv.empty()) throw std::invalid_argument("no program");
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
#if defined(__linux__)
    // Gone with the test, even when the test itself dies.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    ::dup2(fds[1], STDOUT_FILENO);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  state_ = std::make_unique<State>();
  state_->pid = pid;
  state_->out = fds[0];
}

BackgroundProcess::~BackgroundProcess() = default;

bool BackgroundProcess::read_some(std::chrono::milliseconds timeout, std::string* sink) {
  pollfd p{state_->out, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(state_->out, buffer, sizeof buffer);
  if (n <= 0) return false;
  sink->append(buffer, static_cast<size_t>(n));
  return true;
}

bool BackgroundProcess::suspend(bool suspended) {
  return ::kill(state_->pid, suspended ? SIGSTOP : SIGCONT) == 0;
}

bool BackgroundProcess::request_stop(bool terminate) {
  return ::kill(state_->pid, terminate ? SIGTERM : SIGINT) == 0;
}

bool BackgroundProcess::begin_stop() {
  return ::kill(state_->pid, SIGINT) == 0;
}

bool BackgroundProcess::ended_within(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    siginfo_t info{};
    // WNOWAIT: looked at, not collected.
    if (::waitid(P_PID, static_cast<id_t>(state_->pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == state_->pid) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::usleep(10000);
  }
}

int BackgroundProcess::wait_for_end(bool*) {
  int status = 0;
  ::waitpid(state_->pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kiv::platform
