#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "test_process.h"

namespace kiv::platform {

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const noexcept {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

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
std::pair<OwnedHandle, OwnedHandle> output_pipe() {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) throw std::runtime_error("CreatePipe");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  return {OwnedHandle(read_end), OwnedHandle(write_end)};
}

// Starts `argv` with its output and errors on `out` and `err` and its input
// on NUL; a null `environment` or `cwd` is this process's own.
PROCESS_INFORMATION start_process(const std::vector<std::string>& argv, DWORD flags,
                                  void* environment, const char* cwd, HANDLE out, HANDLE err) {
  std::string command_line = command_line_of(argv);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  OwnedHandle no_input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
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

constexpr UINT kTerminated = 255;

}  // namespace

std::map<std::string, std::string> environment_variables() {
  std::map<std::string, std::string> env;
  char* block = GetEnvironmentStringsA();
  for (const char* entry = block; entry != nullptr && *entry != '\0';
       entry += std::strlen(entry) + 1) {
    // Entries such as "=C:=C:\" hold per-drive folders: their name starts with '='.
    const char* equals = std::strchr(entry + 1, '=');
    if (equals != nullptr)
      env[std::string(entry, static_cast<size_t>(equals - entry))] = equals + 1;
  }
  if (block != nullptr) FreeEnvironmentStringsA(block);
  return env;
}

unsigned long current_process_id() noexcept {
  return GetCurrentProcessId();
}

ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env, const std::string& cwd,
                          std::chrono::milliseconds timeout) {
  // Sorted by name, as Windows expects, and ended by an empty entry.
  std::string block;
  for (const auto& [name, value] : env) {
    block += name + "=" + value;
    block += '\0';
  }
  block += '\0';

  auto [out_read, out_write] = output_pipe();
  auto [err_read, err_write] = output_pipe();
  const PROCESS_INFORMATION process =
      start_process(argv, CREATE_NO_WINDOW, block.data(), cwd.empty() ? nullptr : cwd.c_str(),
                    out_write.get(), err_write.get());
  OwnedHandle child(process.hProcess);
  CloseHandle(process.hThread);
  // Only the child holds the write ends now: the pipes end when it does.
  out_write.reset();
  err_write.reset();

  ProcessResult result;
  std::thread out_reader = drain(out_read.get(), &result.out);
  std::thread err_reader = drain(err_read.get(), &result.err);
  if (WaitForSingleObject(child.get(), static_cast<DWORD>(timeout.count())) == WAIT_TIMEOUT) {
    result.timed_out = true;
    TerminateProcess(child.get(), kTerminated);
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

struct BackgroundProcess::State {
  OwnedHandle process;
  OwnedHandle job;
  OwnedHandle out;
  DWORD id = 0;
};

BackgroundProcess::BackgroundProcess(std::vector<std::string> argv) {
  auto [out_read, out_write] = output_pipe();
  HANDLE error = nullptr;  // this process's own, made inheritable
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &error,
                  0, TRUE, DUPLICATE_SAME_ACCESS);
  OwnedHandle error_copy(error);
  // In this console (a control event reaches only processes sharing it), in
  // a process group of its own (so Ctrl-Break reaches it alone), and held
  // until it is in the job.
  const PROCESS_INFORMATION info =
      start_process(argv, CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr,
                    out_write.get(), error_copy.get());
  state_ = std::make_unique<State>();
  state_->process.reset(info.hProcess);
  state_->id = info.dwProcessId;
  OwnedHandle thread(info.hThread);
  // The job ends it when its last handle goes, which happens however this
  // process ends. Where jobs cannot nest, it runs without one.
  state_->job.reset(CreateJobObjectA(nullptr, nullptr));
  if (state_->job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(state_->job.get(), JobObjectExtendedLimitInformation, &limits,
                            sizeof limits);
    AssignProcessToJobObject(state_->job.get(), state_->process.get());
  }
  ResumeThread(thread.get());
  state_->out = std::move(out_read);
}

BackgroundProcess::~BackgroundProcess() = default;

bool BackgroundProcess::read_some(std::chrono::milliseconds timeout, std::string* sink) {
  // An anonymous pipe cannot be waited on: it is looked at until data comes.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(state_->out.get(), nullptr, 0, nullptr, &available, nullptr)) {
      return false;  // broken: the child has gone
    }
    if (available > 0) {
      char buffer[4096];
      DWORD n = 0;
      if (!ReadFile(state_->out.get(), buffer, std::min<DWORD>(available, sizeof buffer), &n,
                    nullptr) ||
          n == 0) {
        return false;
      }
      sink->append(buffer, n);
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Sleep(10);
  }
}

bool BackgroundProcess::suspend(bool) {
  return false;
}

bool BackgroundProcess::request_stop(bool) {
  return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, state_->id) != 0;
}

bool BackgroundProcess::begin_stop() {
  const bool requested = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, state_->id) != 0;
  if (!requested) TerminateProcess(state_->process.get(), kTerminated);
  return requested;
}

bool BackgroundProcess::ended_within(std::chrono::milliseconds timeout) {
  return WaitForSingleObject(state_->process.get(), static_cast<DWORD>(timeout.count())) ==
         WAIT_OBJECT_0;
}

int BackgroundProcess::wait_for_end(bool* stop_heeded) {
  HANDLE process = state_->process.get();
  if (WaitForSingleObject(process, 10000) == WAIT_TIMEOUT) {
    *stop_heeded = false;  // it did not heed the request
    TerminateProcess(process, kTerminated);
    WaitForSingleObject(process, INFINITE);
  }
  DWORD code = 0;
  return *stop_heeded && GetExitCodeProcess(process, &code) ? static_cast<int>(code) : -1;
}

}  // namespace kiv::platform
