#include "child_process.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "test_process.h"
#include "test_system.h"
#include "time_limits.h"

namespace kiv::test {

namespace {

// The inherited environment with the options' changes applied.
std::map<std::string, std::string> child_environment(const ChildOptions& options) {
  std::map<std::string, std::string> env = platform::environment_variables();
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

ChildResult run_child(const ChildOptions& options) {
  return platform::run_process(options.argv, child_environment(options), options.cwd,
                               scaled(options.timeout));
}

struct BackgroundChild::Process {
  explicit Process(std::vector<std::string> argv) : child(std::move(argv)) {}
  platform::BackgroundProcess child;
};

BackgroundChild::BackgroundChild(std::vector<std::string> argv)
    : process_(std::make_unique<Process>(std::move(argv))) {}

bool BackgroundChild::read_some(std::chrono::milliseconds timeout) {
  if (!process_) return false;
  // A CR LF may be split between two reads.
  const size_t from = output_.empty() ? 0 : output_.size() - 1;
  if (!process_->child.read_some(timeout, &output_)) return false;
  output_.replace(from, std::string::npos, text_lines(std::string_view(output_).substr(from)));
  return true;
}

bool BackgroundChild::suspend(bool suspended) {
  return process_ && process_->child.suspend(suspended);
}

bool BackgroundChild::ended_within(std::chrono::milliseconds timeout) {
  return process_ && process_->child.ended_within(timeout);
}

bool BackgroundChild::request_stop(bool terminate) {
  return process_ && process_->child.request_stop(terminate);
}

int BackgroundChild::stop() {
  if (!process_) return exit_status_;
  stop_requested_ = process_->child.begin_stop();
  while (read_some(std::chrono::seconds(10))) {
  }
  exit_status_ = process_->child.wait_for_end(&stop_requested_);
  process_.reset();
  return exit_status_;
}

TempDir::TempDir() {
  path_ =
      platform::make_unique_folder((std::filesystem::temp_directory_path() / "kiv-test-").string());
  if (path_.empty()) throw std::runtime_error("cannot make a temporary folder");
}

BackgroundChild::~BackgroundChild() {
  stop();
}

bool BackgroundChild::wait_for_output(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
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
