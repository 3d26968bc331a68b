// kiv: the command-line tool around the client libraries. It is a client
// like any other: it uses only the libraries' exports.
#include <cstdio>
#include <exception>
#include <vector>

#include "commands.h"
#include "common.h"

int main(int argc, char** argv) {
  using namespace kiv::tool;
  // Before any library is loaded, so that none of their messages bypass it.
  install_message_handler();

  CLI::App app(
      "kiv: try the accelerator's client libraries against a web service and a log "
      "server, or against the built-in stand-in for both.",
      "kiv");
  app.require_subcommand(1);
  app.fallthrough();
  app.add_flag("-v,--verbose", global_options().verbose,
               "Show the libraries' messages and traces on standard error");

  std::vector<Command> commands;
  commands.push_back(add_serve_command(app));
  commands.push_back(add_journal_command(app));
  commands.push_back(add_query_command(app));
  Command server_types;
  commands.push_back(add_servers_commands(app, &server_types));
  commands.push_back(server_types);
  commands.push_back(add_report_command(app));
  commands.push_back(add_demo_command(app));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? kExitOk : kExitUsage;
  }

  try {
    for (const auto& command : commands) {
      if (command.app->parsed()) return command.run();
    }
  } catch (const UsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "kiv: %s\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "kiv: %s\n", e.what());
    return kExitFailed;
  }
  return kExitUsage;
}
