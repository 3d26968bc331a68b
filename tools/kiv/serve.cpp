// `kiv serve`: the stand-in web service and log server in the foreground.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include "commands.h"
#include "common.h"
#include "console.h"
#include "control.h"
#include "gbk_text.h"
#include "journal.h"
#include "platform.h"
#include "report.h"
#include "serve_setup.h"
#include "standin.h"

namespace kiv::tool {
namespace {

// How much of a request or record a console line shows: enough to read,
// little enough that a large body does not flood the console.
constexpr size_t kShownBytes = 4096;

Console& console() {
  static Console lines;
  return lines;
}

// Never waits for the console: the service's threads call it.
void print_line(std::string line) {
  console().line(std::move(line));
}

// Client bytes (GBK) on one readable line: control characters and bytes
// that are not GBK escaped.
std::string one_line(std::string_view gbk) {
  std::string line;
  kiv::text::append_display_line(gbk, true, line);
  line.pop_back();
  return line;
}

std::string not_shown(size_t bytes) {
  return " [... " + std::to_string(bytes) + " more bytes not shown]";
}

// As one_line, at most kShownBytes of the text, saying how much of its
// `whole` length was left out.
std::string shown_gbk(std::string_view gbk, size_t whole) {
  const size_t kept = kiv::text::gbk_clean_prefix(gbk, kShownBytes);
  std::string line = one_line(gbk.substr(0, kept));
  if (kept < whole) line += not_shown(whole - kept);
  return line;
}

// A UTF-8 line of the stand-in's own, at most kShownBytes of it, with any
// control character escaped.
std::string shown_utf8(std::string_view text) {
  size_t kept = std::min(text.size(), kShownBytes);
  while (kept > 0 && kept < text.size() &&
         (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80) {
    --kept;
  }
  std::string line = shown_text(text.substr(0, kept), false);
  if (kept < text.size()) line += not_shown(text.size() - kept);
  return line;
}

void show_exchange(const standin::HttpExchange& ex) {
  std::string line = shown_utf8(ex.method) + " " + one_line(ex.path) + " (" +
                     std::to_string(ex.body_bytes) + " bytes): ";
  if (ex.request) {
    line += shown_gbk(*ex.request, std::max(ex.request_bytes, ex.request->size()));
  } else {
    line += "[" + shown_utf8(ex.request_error) + "]";
  }
  line += "\n  -> " + std::to_string(ex.status) + ", " + std::to_string(ex.answer_bytes) +
          " bytes, " + shown_utf8(ex.answer);
  if (!ex.fault.empty()) line += " [fault " + ex.fault + "]";
  if (!ex.rule.empty()) line += "\n  by " + shown_utf8(ex.rule);
  if (!ex.record.empty()) line += "\n  " + shown_utf8(ex.record);
  if (const std::string problem = standin::request_problem(ex); !problem.empty()) {
    line += "\n  [request " + shown_utf8(problem) + "]";
  }
  print_line(line);
}

void show_datagram(const standin::Datagram& d) {
  // Not "udp ADDRESS:PORT": that is the start-up line naming the stand-in's own port.
  std::string line = "datagram from " + d.from + " (" + std::to_string(d.bytes) +
                     " bytes): " + shown_utf8(d.line());
  if (const std::string problem = standin::record_problem(d); !problem.empty()) {
    line += "\n  [record " + shown_utf8(problem) + "]";
  }
  if (!d.forward_error.empty())
    line += "\n  NOT passed on to the upstream log server: " + d.forward_error;
  print_line(line);
}

void show_drops(const standin::Counters& c) {
  print_line("udp: datagrams lost so far: " + std::to_string(c.system_drops) +
             " dropped by the system (receive buffer full), " +
             std::to_string(c.datagrams_dropped) + " by the stand-in (too many to decode)");
}

void show_sink_failure(const std::string& why) {
  print_line(shown_utf8(why) + "; later failures are only counted");
}

// The last lines: what came, and what was lost.
void show_summary(const standin::Counters& c) {
  std::string line = "summary: " + std::to_string(c.http_requests) + " HTTP requests, " +
                     std::to_string(c.datagrams) + " datagrams; datagrams dropped: ";
  line += c.system_drops_known ? std::to_string(c.system_drops) + " by the system"
                               : "not counted by this system";
  line += ", " + std::to_string(c.datagrams_dropped) + " by the stand-in";
  if (c.sink_lines > 0 || c.sink_failures > 0) {
    line += "; sink: " + std::to_string(c.sink_lines) + " lines written, " +
            std::to_string(c.sink_failures) + " failed";
  }
  print_line(line);
}

// While the service stops: a second stop request ends the process at once,
// and so does a stop that takes longer than it may.
class StopWatch {
 public:
  StopWatch()
      : thread_([this] {
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
          while (!done_.load()) {
            if (platform::wait_for_stop_request_for(50)) end_now("a second stop request", 130);
            if (std::chrono::steady_clock::now() >= deadline)
              end_now("stopping took longer than 2 seconds", 1);
          }
        }) {}
  ~StopWatch() {
    done_.store(true);
    thread_.join();
  }
  StopWatch(const StopWatch&) = delete;
  StopWatch& operator=(const StopWatch&) = delete;

 private:
  [[noreturn]] static void end_now(const char* why, int status) {
    print_line(std::string("stopped at once: ") + why);
    console().drain(std::chrono::milliseconds(200));
    std::_Exit(status);
  }
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace

Command add_serve_command(CLI::App& app) {
  struct Arguments {
    std::string address = "127.0.0.1";
    uint16_t http_port = 0;
    uint16_t udp_port = 0;
    std::string answers;
    std::vector<std::string> faults;
    std::string sink;
    std::string upstream;
    double upstream_timeout = 5;
    std::string record;
    std::string upstream_log;
  };
  auto args = std::make_shared<Arguments>();
  auto extras = std::make_shared<ServeExtras>();
  CLI::App* sub = app.add_subcommand(
      "serve", "Run a local stand-in for the web service (HTTP) and the log server (UDP)");
  sub->add_option("--bind", args->address,
                  "IPv4 address to listen on (default 127.0.0.1); beyond loopback the control "
                  "interface stays on --control-bind and asks for a token");
  sub->add_option("--http-port", args->http_port, "HTTP port, 0 for any free one (default 0)")
      ->check(CLI::Range(0, 65535))
      ->check(decimal_integer());
  sub->add_option("--udp-port", args->udp_port, "UDP port, 0 for any free one (default 0)")
      ->check(CLI::Range(0, 65535))
      ->check(decimal_integer());
  sub->add_option(
      "--answers", args->answers,
      "Folder of answer files, PATH.json for each path, or PATH.raw sent byte for byte, "
      "laid over the built-in set");
  sub->add_option("--fault", args->faults,
                  "PATH:FAULT[,FAULT...] with FAULT one of status=N, delay=MS, empty, not-zlib, "
                  "not-json (repeatable)");
  sub->add_option("--sink", args->sink, "Append each datagram, as one line of JSON, to this file");
  CLI::Option* upstream = sub->add_option(
      "--upstream", args->upstream,
      "HOST:PORT of a web service: every POST is passed on to it and its answer given back");
  sub->add_option("--upstream-timeout", args->upstream_timeout,
                  "Seconds to wait for the upstream to connect, and for each read (default 5)")
      ->check(decimal_fraction())
      ->check(CLI::Range(0.001, 600.0))
      ->needs(upstream);
  upstream->excludes(sub->get_option("--answers"));
  sub->add_option("--record", args->record,
                  "Folder that receives every answer with status 200 as an answer file, and its "
                  "request beside it (PATH.json or PATH.raw, PATH.request.json or .raw)");
  sub->add_option("--upstream-log", args->upstream_log,
                  "HOST:PORT of a log server: every datagram is passed on to it unchanged");
  add_serve_extras(sub, *extras);
  sub->footer(
      "Every POST is answered with the answer file of its path, as UTF-8 text turned into GBK and\n"
      "compressed with zlib, as the real service does; *.raw files are sent byte for byte.\n"
      "With --upstream the answers come from that service instead. When it fails, the client's\n"
      "connection is closed unanswered, and the client's transfer fails as if the service had.\n"
      "With --record the answers are kept; --answers on that folder serves them again.\n"
      "Everything received is kept in a journal (--journal-size entries at most, the oldest\n"
      "dropped first). The control interface, on the HTTP port below /__kiv/, serves it as JSON\n"
      "(GET /__kiv/journal?kind=http|udp&path=P&act=A&since=N&wait=MS, GET /__kiv/count, DELETE\n"
      "/__kiv/journal), changes answers, faults and rules at run time (PUT and DELETE\n"
      "/__kiv/answers/PATH and /__kiv/faults/PATH, POST and DELETE /__kiv/rules, GET\n"
      "/__kiv/state), and shows it all on a page at /__kiv/. It takes changes only as JSON and\n"
      "refuses other sites' pages (Host, Origin). Beyond loopback (--bind) it stays on\n"
      "--control-bind and asks for the token printed at start-up.\n"
      "`kiv journal` reads the journal.\n"
      "Stop with Ctrl-C.");

  Command command;
  command.app = sub;
  command.run = [args, extras]() {
    if (!extras->write_answers.empty()) return write_built_in_answers(extras->write_answers);
    standin::Options options;
    options.address = args->address;
    apply_control_options(*extras, options);
    options.http_port = args->http_port;
    options.udp_port = args->udp_port;
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
    if (!args->answers.empty()) options.answers = answers_from(args->answers, extras->only_folder);
    apply_serve_extras(*extras, options);
    options.sink_file = args->sink;
    if (!args->upstream.empty()) {
      auto [host, port] = parse_host_port(args->upstream, "--upstream");
      options.upstream = standin::Endpoint{std::move(host), port};
      options.upstream_timeout =
          std::chrono::milliseconds(static_cast<long long>(args->upstream_timeout * 1000 + 0.5));
    }
    if (!args->upstream_log.empty()) {
      auto [host, port] = parse_host_port(args->upstream_log, "--upstream-log");
      options.upstream_log = standin::Endpoint{std::move(host), port};
    }
    options.record_folder = args->record;
    options.on_http = &show_exchange;
    options.on_datagram = &show_datagram;
    options.on_sink_failure = &show_sink_failure;
    options.on_drops = &show_drops;
    options.console_dropped = [] { return console().dropped(); };

    // Before the service's threads start, so that Ctrl-C reaches the wait below.
    platform::catch_stop_requests();

    std::string paths;
    for (const auto* set : {&options.answers.texts(), &options.answers.raws()}) {
      for (const auto& [path, text] : *set) paths += (paths.empty() ? "" : ", ") + path;
    }
    const std::string upstream_name = args->upstream;
    const long long limit_ms = options.upstream_timeout.count();
    std::unique_ptr<standin::Service> service;
    try {
      service = std::make_unique<standin::Service>(std::move(options));
    } catch (const std::runtime_error& e) {
      throw UsageError(e.what());
    }
    for (const auto& [path, fault] : faults) service->set_fault(path, fault);

    print_line("http " + service->address() + ":" + std::to_string(service->http_port()));
    print_line("udp " + service->address() + ":" + std::to_string(service->udp_port()));
    for (const auto& line : started_lines(*service, *extras)) print_line(line);
    if (upstream_name.empty()) {
      print_line("answers: " + paths);
    } else {
      print_line("upstream: " + upstream_name + " (time limit " + std::to_string(limit_ms) +
                 " ms)");
    }
    if (!args->record.empty()) print_line("recording into: " + args->record);
    if (!args->upstream_log.empty()) print_line("upstream log server: " + args->upstream_log);
    for (const auto& [path, fault] : faults) print_line("fault: /" + path + " " + fault.describe());
    if (!args->sink.empty()) print_line("sink: " + args->sink);
    print_line(listening_line(*service));
    print_line("ready; stop with Ctrl-C");

    platform::wait_for_stop_request();
    {
      StopWatch watch;
      service->stop();
    }
    show_summary(service->counters());
    print_line(journal_summary(service->journal_figures(), *extras));
    print_line("stopped");
    // A console that takes nothing (standard output on a pipe nobody reads)
    // would hold the end of the process in its write, and exit's flush
    // behind it: the process ends without waiting for it.
    if (!console().drain(std::chrono::milliseconds(500))) std::_Exit(kExitOk);
    return kExitOk;
  };
  return command;
}

}  // namespace kiv::tool
