// What the tool's tests share: the tool run as a process, and `kiv serve`
// running in the background while a test talks to it.
#pragma once

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "codec.h"

namespace kiv::test {

inline const std::string& kiv_program() {
  static const std::string program = built_program("kiv");
  return program;
}

// The tool's command line. A Windows command line is in the ANSI code page
// (936 here, as a Chinese client's is): the texts are given to it in GBK.
inline std::vector<std::string> kiv_command(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kiv_program()};
  for (const auto& arg : args) {
#if defined(_WIN32)
    std::string why;
    auto gbk = kiv::codec::utf8_to_gbk(arg, &why);
    if (!gbk) throw std::invalid_argument(arg + ": " + why);
    argv.push_back(std::move(*gbk));
#else
    argv.push_back(arg);
#endif
  }
  return argv;
}

// The tool run to its end in `cwd` (empty: the current folder), its output as
// text lines.
inline ChildResult kiv_in(const std::string& cwd, const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  ChildOptions options;
  options.argv = kiv_command(args);
  options.cwd = cwd;
  options.timeout = timeout;
  ChildResult result = run_child(options);
  result.out = text_lines(result.out);
  result.err = text_lines(result.err);
  return result;
}

inline ChildResult kiv(const std::vector<std::string>& args,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  return kiv_in("", args, timeout);
}

// `kiv serve` in the background for one test, stopped like Ctrl-C.
class Serve {
 public:
  explicit Serve(std::vector<std::string> args) : child_(command(std::move(args))) {
    // The first lines name the ports it took.
    child_.wait_for_output("ready", std::chrono::seconds(10));
    http_port_ = port_after("http 127.0.0.1:");
    udp_port_ = port_after("udp 127.0.0.1:");
  }

  uint16_t http_port() const { return http_port_; }
  uint16_t udp_port() const { return udp_port_; }
  std::string port_text() const { return std::to_string(http_port_); }
  const std::string& output() const { return child_.output(); }
  bool wait_for_output(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return child_.wait_for_output(text, timeout);
  }
  BackgroundChild& child() { return child_; }
  int stop() { return child_.stop(); }
  bool stop_was_requested() const { return child_.stop_was_requested(); }

 private:
  static std::vector<std::string> command(std::vector<std::string> args) {
    args.insert(args.begin(), "serve");
    return kiv_command(args);
  }
  uint16_t port_after(const std::string& prefix) const {
    const size_t at = output().find(prefix);
    return at == std::string::npos
               ? 0
               : static_cast<uint16_t>(std::atoi(output().c_str() + at + prefix.size()));
  }

  BackgroundChild child_;
  uint16_t http_port_ = 0;
  uint16_t udp_port_ = 0;
};

}  // namespace kiv::test
