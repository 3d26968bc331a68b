// `kiv demo`: the client program's day, against the stand-in service run
// in-process: fetch and read the service list, run every query, send every
// report, and check each result against what the stand-in was set to give.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "commands.h"
#include "common.h"
#include "demo.h"
#include "platform.h"
#include "report.h"
#include "standin.h"

namespace kiv::tool {
namespace demo {

Demo::Demo(standin::Service& service) : service_(service) {
  head_.host = service.address();
  head_.port = service.http_port();
  const standin::AnswerSet built_in = standin::AnswerSet::built_in();
  for (const auto& [path, text] : built_in.texts()) {
    answers_[path].reset(json_tokener_parse(text.c_str()));
    answer_texts_[path] = text;
  }
}

void Demo::run() {
  service_list();
  account_queries();
  game_queries();
  transport();
  faults();
  reports();
}

void Demo::step(bool ok, const std::string& title, const std::string& detail) {
  ++steps_;
  if (!ok) ++failures_;
  std::printf("[%s] %-36s %s\n", ok ? " ok " : "FAIL", title.c_str(), detail.c_str());
  std::fflush(stdout);
}

json_object* Demo::answer(const char* path) {
  json_object* value = answers_[path].get();
  if (value == nullptr)
    throw ToolFailure(std::string("the built-in answer ") + path + " is not JSON");
  return value;
}

}  // namespace demo

namespace {

// Ctrl-C during the demonstration ends it without leaving its temporary
// folder behind. Made before any thread starts, so that every thread leaves
// the stop request to it.
class InterruptGuard {
 public:
  InterruptGuard() {
    platform::catch_stop_requests();
    thread_ = std::thread([this] { watch(); });
  }
  ~InterruptGuard() {
    done_.store(true);
    thread_.join();
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  void remove_on_interrupt(const std::string& folder) {
    std::lock_guard guard(lock_);
    folder_ = folder;
  }

 private:
  void watch() {
    while (!done_.load()) {
      if (!platform::wait_for_stop_request_for(100)) continue;
      std::string folder;
      {
        std::lock_guard guard(lock_);
        folder = folder_;
      }
      std::fflush(stdout);
      std::error_code ec;
      // Out of the folder first: Windows removes no folder that is in use.
      std::filesystem::current_path(std::filesystem::temp_directory_path(ec), ec);
      if (!folder.empty()) std::filesystem::remove_all(folder, ec);
      std::fprintf(stderr, "kiv demo: interrupted\n");
      std::fflush(stderr);
      std::_Exit(130);
    }
  }

  std::atomic<bool> done_{false};
  std::mutex lock_;
  std::string folder_;
  std::thread thread_;
};

}  // namespace

Command add_demo_command(CLI::App& app) {
  CLI::App* sub = app.add_subcommand(
      "demo",
      "Run the client's calls against an in-process stand-in service and check each result");
  sub->footer(
      "Exit status: 0 when every step gave what the stand-in was set to give, 1 otherwise.");
  Command command;
  command.app = sub;
  command.run = []() {
    InterruptGuard interrupt;
    svcquery_library();  // a library that cannot be loaded ends the demo at once
    logsend_library();
    standin::Options options;
    std::unique_ptr<standin::Service> service;
    try {
      service = std::make_unique<standin::Service>(std::move(options));
    } catch (const std::runtime_error& e) {
      throw ToolFailure(std::string("cannot start the stand-in service: ") + e.what());
    }
    std::printf("kiv demo: stand-in web service on http://%s:%u/, log server on udp %s:%u\n",
                service->address().c_str(), service->http_port(), service->address().c_str(),
                service->udp_port());
    LogServerSettings settings(service->address(), service->udp_port());
    interrupt.remove_on_interrupt(settings.folder());
    std::printf("kiv demo: working in %s, whose loginurl.ini names that log server\n\n",
                settings.folder().c_str());
    demo::Demo demo(*service);
    demo.run();
    std::printf("\n");
    if (demo.failures() == 0) {
      std::printf("kiv demo: all %d steps gave what the stand-in was set to give\n", demo.steps());
      return kExitOk;
    }
    std::printf("kiv demo: %d of %d steps did not give what the stand-in was set to give\n",
                demo.failures(), demo.steps());
    return kExitFailed;
  };
  return command;
}

}  // namespace kiv::tool
