#include "child_process.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

extern char** environ;
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace kiv::test {

namespace {

// The inherited environment with the options' changes applied.
std::map<std::string, std::string> child_environment(const ChildOptions& options) {
  std::map<std::string, std::string> env;
#if defined(_WIN32)
  char* block = GetEnvironmentStringsA();
  for (const char* entry = block; entry != nullptr && *entry != '\0';
       entry += std::strlen(entry) + 1) {
    // Entries such as "=C:=C:\" hold per-drive folders: their name starts with '='.
    const char* equals = std::strchr(entry + 1, '=');
    if (equals != nullptr)
      env[std::string(entry, static_cast<size_t>(equals - entry))] = equals + 1;
  }
  if (block != nullptr) FreeEnvironmentStringsA(block);
#else
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals != nullptr)
      env[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
  }
#endif
  for (const auto& name : options.unset_env) env.erase(name);
  for (const auto& [name, value] : options.env) env[name] = value;
  return env;
}

}  // namespace

void search_libraries_in(ChildOptions& options, const std::vector<std::string>& folders) {
  std::string search;
  for (const auto& folder : folders) {
    if (!search.empty()) search += kSearchPathSeparator;
    search += folder;
  }
#if defined(_WIN32)
  if (!search.empty()) search += kSearchPathSeparator;
  search += KIV_TEST_SYSTEM_LIB_DIR;
#endif
  if (search.empty()) {
    options.unset_env.push_back(kSearchPathVariable);
  } else {
    options.env[kSearchPathVariable] = search;
  }
}

#if defined(_WIN32)

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const noexcept {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// One argument quoted so that the C runtime's command-line parser reads it back.
std::string quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out = "\"";
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

// Reads a pipe to its end on a thread of its own.
std::thread drain(HANDLE pipe, std::string* sink) {
  return std::thread([pipe, sink] {
    char buffer[8192];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) sink->append(buffer, n);
  });
}

std::string command_line_of(const std::vector<std::string>& argv) {
  if (argv.empty()) throw std::invalid_argument("no program");
  std::string command_line;
  for (const auto& argument : argv) {
    if (!command_line.empty()) command_line += ' ';
    command_line += quoted(argument);
  }
  return command_line;
}

// A pipe for a child's output: the child inherits the write end only.
std::pair<Handle, Handle> output_pipe() {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) throw std::runtime_error("CreatePipe");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  return {Handle(read_end), Handle(write_end)};
}

// Starts `argv` with its output and errors on `out` and `err` and its input
// on NUL; a null `environment` or `cwd` is this process's own.
PROCESS_INFORMATION start_process(const std::vector<std::string>& argv, DWORD flags,
                                  void* environment, const char* cwd, HANDLE out, HANDLE err) {
  std::string command_line = command_line_of(argv);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle no_input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                              OPEN_EXISTING, 0, nullptr));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = no_input.get();
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(argv[0].c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                      environment, cwd, &startup, &info)) {
    throw std::runtime_error("CreateProcess " + argv[0] + ": error " +
                             std::to_string(GetLastError()));
  }
  return info;
}

}  // namespace

ChildResult run_child(const ChildOptions& options) {
  // Sorted by name, as Windows expects, and ended by an empty entry.
  std::string block;
  for (const auto& [name, value] : child_environment(options)) {
    block += name + "=" + value;
    block += '\0';
  }
  block += '\0';

  auto [out_read, out_write] = output_pipe();
  auto [err_read, err_write] = output_pipe();
  const PROCESS_INFORMATION process = start_process(
      options.argv, CREATE_NO_WINDOW, block.data(),
      options.cwd.empty() ? nullptr : options.cwd.c_str(), out_write.get(), err_write.get());
  Handle child(process.hProcess);
  CloseHandle(process.hThread);
  // Only the child holds the write ends now: the pipes end when it does.
  out_write.reset();
  err_write.reset();

  ChildResult result;
  std::thread out_reader = drain(out_read.get(), &result.out);
  std::thread err_reader = drain(err_read.get(), &result.err);
  if (WaitForSingleObject(child.get(), static_cast<DWORD>(options.timeout.count())) ==
      WAIT_TIMEOUT) {
    result.timed_out = true;
    TerminateProcess(child.get(), 255);
    WaitForSingleObject(child.get(), INFINITE);
  }
  out_reader.join();
  err_reader.join();
  DWORD code = 0;
  if (!result.timed_out && GetExitCodeProcess(child.get(), &code)) {
    result.exit_code = static_cast<int>(code);
  }
  return result;
}

struct BackgroundChild::Process {
  Handle process;
  Handle job;
  Handle out;
  DWORD id = 0;
};

BackgroundChild::BackgroundChild(std::vector<std::string> argv) {
  auto [out_read, out_write] = output_pipe();
  HANDLE error = nullptr;  // this process's own, made inheritable
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &error,
                  0, TRUE, DUPLICATE_SAME_ACCESS);
  Handle error_copy(error);
  // In this console (a control event reaches only processes sharing it), in
  // a process group of its own (so Ctrl-Break reaches it alone), and held
  // until it is in the job.
  const PROCESS_INFORMATION info =
      start_process(argv, CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr,
                    out_write.get(), error_copy.get());
  process_ = std::make_unique<Process>();
  process_->process.reset(info.hProcess);
  process_->id = info.dwProcessId;
  Handle thread(info.hThread);
  // The job ends it when its last handle goes, which happens however this
  // process ends. Where jobs cannot nest, it runs without one.
  process_->job.reset(CreateJobObjectA(nullptr, nullptr));
  if (process_->job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(process_->job.get(), JobObjectExtendedLimitInformation, &limits,
                            sizeof limits);
    AssignProcessToJobObject(process_->job.get(), process_->process.get());
  }
  ResumeThread(thread.get());
  process_->out = std::move(out_read);
}

bool BackgroundChild::read_some(std::chrono::milliseconds timeout) {
  if (!process_) return false;
  // An anonymous pipe cannot be waited on: it is looked at until data comes.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(process_->out.get(), nullptr, 0, nullptr, &available, nullptr)) {
      return false;  // broken: the child has gone
    }
    if (available > 0) {
      char buffer[4096];
      DWORD n = 0;
      if (!ReadFile(process_->out.get(), buffer, std::min<DWORD>(available, sizeof buffer), &n,
                    nullptr) ||
          n == 0) {
        return false;
      }
      // A CR LF may be split between two reads.
      const size_t from = output_.empty() ? 0 : output_.size() - 1;
      output_.append(buffer, n);
      output_.replace(from, std::string::npos, text_lines(std::string_view(output_).substr(from)));
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Sleep(10);
  }
}

bool BackgroundChild::suspend(bool) {
  return false;
}

bool BackgroundChild::request_stop(bool) {
  return process_ && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_->id) != 0;
}

int BackgroundChild::stop() {
  if (!process_) return exit_status_;
  constexpr UINT kTerminated = 255;
  HANDLE process = process_->process.get();
  stop_requested_ = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_->id) != 0;
  if (!stop_requested_) TerminateProcess(process, kTerminated);
  while (read_some(std::chrono::seconds(10))) {
  }
  if (WaitForSingleObject(process, 10000) == WAIT_TIMEOUT) {
    stop_requested_ = false;  // it did not heed the request
    TerminateProcess(process, kTerminated);
    WaitForSingleObject(process, INFINITE);
  }
  DWORD code = 0;
  exit_status_ =
      stop_requested_ && GetExitCodeProcess(process, &code) ? static_cast<int>(code) : -1;
  process_.reset();
  return exit_status_;
}

TempDir::TempDir() {
  // A name no other process takes: this process's id, a count and the clock.
  static std::atomic<unsigned> counter{0};
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto candidate =
        base / ("kiv-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(counter++) + "-" + std::to_string(GetTickCount64()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.generic_string();
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

#else

ChildResult run_child(const ChildOptions& options) {
  if (options.argv.empty()) throw std::invalid_argument("no program");

  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  const std::map<std::string, std::string> env = child_environment(options);
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : env) env_strings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = options.argv;
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
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  ChildResult result;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
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

struct BackgroundChild::Process {
  pid_t pid = -1;
  int out = -1;
  ~Process() {
    if (out >= 0) ::close(out);
  }
};

BackgroundChild::BackgroundChild(std::vector<std::string> argv) {
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
  process_ = std::make_unique<Process>();
  process_->pid = pid;
  process_->out = fds[0];
}

bool BackgroundChild::read_some(std::chrono::milliseconds timeout) {
  if (!process_) return false;
  pollfd p{process_->out, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(process_->out, buffer, sizeof buffer);
  if (n <= 0) return false;
  output_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool BackgroundChild::suspend(bool suspended) {
  return process_ && ::kill(process_->pid, suspended ? SIGSTOP : SIGCONT) == 0;
}

bool BackgroundChild::request_stop(bool terminate) {
  return process_ && ::kill(process_->pid, terminate ? SIGTERM : SIGINT) == 0;
}

int BackgroundChild::stop() {
  if (!process_) return exit_status_;
  stop_requested_ = ::kill(process_->pid, SIGINT) == 0;
  while (read_some(std::chrono::seconds(10))) {
  }
  int status = 0;
  ::waitpid(process_->pid, &status, 0);
  exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  process_.reset();
  return exit_status_;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kiv-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

#endif

BackgroundChild::~BackgroundChild() {
  stop();
}

bool BackgroundChild::wait_for_output(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !read_some(left)) return output_.find(text) != std::string::npos;
  }
  return true;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& content) const {
  std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + file(name));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string text_lines(std::string_view text) {
#if defined(_WIN32)
  std::string lines;
  lines.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') lines += text[i];
  }
  return lines;
#else
  return std::string(text);  // as it came: a CR here would be a fault to see
#endif
}

std::vector<std::string> framed_messages(std::string_view text) {
  std::vector<std::string> messages;
  for (size_t end; (end = text.find('\x1e')) != std::string_view::npos;
       text.remove_prefix(end + 1)) {
    messages.emplace_back(text.substr(0, end));
  }
  return messages;
}

}  // namespace kiv::test
