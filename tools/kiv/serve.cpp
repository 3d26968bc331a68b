// `kiv serve`: the stand-in web service and log server in the foreground.
#include <cstdio>
#include <map>
#include <mutex>

#include "commands.h"
#include "common.h"
#include "gbk_text.h"
#include "platform.h"
#include "standin.h"

namespace kiv::tool {
namespace {

std::mutex g_print_lock;

void print_line(const std::string& line) {
  std::lock_guard guard(g_print_lock);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Client bytes on one readable line.
std::string one_line(std::string_view gbk) {
  std::string line;
  kiv::text::append_display_line(gbk, true, line);
  line.pop_back();
  return line;
}

void show_exchange(const standin::HttpExchange& ex) {
  std::string line = ex.method + " " + ex.path + " (" + std::to_string(ex.body_bytes) + " bytes): ";
  if (ex.request) {
    line += one_line(*ex.request);
  } else {
    line += "[" + ex.request_error + "]";
  }
  line += "\n  -> " + std::to_string(ex.status) + ", " + std::to_string(ex.answer_bytes) +
          " bytes, " + ex.answer;
  if (!ex.fault.empty()) line += " [fault " + ex.fault + "]";
  print_line(line);
}

void show_datagram(const standin::Datagram& d) {
  print_line("udp " + d.from + " (" + std::to_string(d.bytes) + " bytes): " + d.line());
}

}  // namespace

Command add_serve_command(CLI::App& app) {
  struct Arguments {
    std::string address = "127.0.0.1";
    std::string http_port = "0";
    std::string udp_port = "0";
    std::string answers;
    std::vector<std::string> faults;
    std::string sink;
  };
  auto args = std::make_shared<Arguments>();
  CLI::App* sub = app.add_subcommand(
      "serve", "Run a local stand-in for the web service (HTTP) and the log server (UDP)");
  sub->add_option("--bind", args->address, "IPv4 address to listen on (default 127.0.0.1)");
  sub->add_option("--http-port", args->http_port, "HTTP port, 0 for any free one (default 0)");
  sub->add_option("--udp-port", args->udp_port, "UDP port, 0 for any free one (default 0)");
  sub->add_option(
      "--answers", args->answers,
      "Folder of JSON answer files, PATH.json for each path (default: the built-in set)");
  sub->add_option("--fault", args->faults,
                  "PATH:FAULT[,FAULT...] with FAULT one of status=N, delay=MS, empty, not-zlib, "
                  "not-json (repeatable)");
  sub->add_option("--sink", args->sink, "Append each datagram, as one line of JSON, to this file");
  sub->footer(
      "Every POST is answered with the answer file of its path, as UTF-8 text turned into GBK and\n"
      "compressed with zlib, as the real service does. Stop with Ctrl-C.");

  Command command;
  command.app = sub;
  command.run = [args]() {
    standin::Options options;
    options.address = args->address;
    options.http_port = parse_port(args->http_port, true, "--http-port");
    options.udp_port = parse_port(args->udp_port, true, "--udp-port");
    std::map<std::string, standin::Fault> faults;
    for (const auto& text : args->faults) {
      const size_t colon = text.find(':');
      if (colon == std::string::npos || colon == 0) {
        throw UsageError("--fault must be PATH:FAULT, not \"" + text + "\"");
      }
      std::string why;
      auto fault = standin::parse_fault(std::string_view(text).substr(colon + 1), &why);
      if (!fault) throw UsageError("--fault " + text + ": " + why);
      faults[standin::answer_key(text.substr(0, colon))] = *fault;
    }
    try {
      if (!args->answers.empty()) options.answers = standin::AnswerSet::from_folder(args->answers);
    } catch (const std::runtime_error& e) {
      throw UsageError(e.what());
    }
    options.sink_file = args->sink;
    options.on_http = &show_exchange;
    options.on_datagram = &show_datagram;

    // Before the service's threads start, so that Ctrl-C reaches the wait below.
    platform::catch_stop_requests();

    std::string paths;
    for (const auto& [path, text] : options.answers.texts())
      paths += (paths.empty() ? "" : ", ") + path;
    std::unique_ptr<standin::Service> service;
    try {
      service = std::make_unique<standin::Service>(std::move(options));
    } catch (const std::runtime_error& e) {
      throw UsageError(e.what());
    }
    for (const auto& [path, fault] : faults) service->set_fault(path, fault);

    print_line("http " + service->address() + ":" + std::to_string(service->http_port()));
    print_line("udp " + service->address() + ":" + std::to_string(service->udp_port()));
    print_line("answers: " + paths);
    for (const auto& [path, fault] : faults) print_line("fault: /" + path + " " + fault.describe());
    if (!args->sink.empty()) print_line("sink: " + args->sink);
    print_line("ready; stop with Ctrl-C");

    platform::wait_for_stop_request();
    service->stop();
    print_line("stopped");
    return kExitOk;
  };
  return command;
}

}  // namespace kiv::tool
