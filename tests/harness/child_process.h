#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "system_names.h"

namespace kiv::test {

struct ChildOptions {
  std::vector<std::string> argv;             // argv[0] is the program's path
  std::map<std::string, std::string> env;    // set or replaced in the inherited environment
  std::vector<std::string> unset_env;        // removed from it
  std::string cwd;                           // empty: the current folder
  std::chrono::milliseconds timeout{30000};  // then the child is killed
};

struct ChildResult {
  int exit_code = -1;  // -1 when it did not exit normally
  int signal = 0;      // the signal that ended it, or 0
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs a program to its end with its own environment and current folder.
ChildResult run_child(const ChildOptions& options);

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
