// The tool's commands: each adds its subcommand and says how to run it.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace kiv::tool {

struct Command {
  CLI::App* app = nullptr;
  std::function<int()> run;  // the exit status
};

// Numbers on the command line are decimal: "0x50" is no port, "nan" no time.
// A whole number (an optional minus sign and digits).
CLI::Validator decimal_integer();
// Digits with an optional fraction ("2", "0.5"): finite, never negative.
CLI::Validator decimal_fraction();

Command add_serve_command(CLI::App& app);
Command add_query_command(CLI::App& app);
Command add_servers_commands(CLI::App& app, Command* server_types);
Command add_report_command(CLI::App& app);
Command add_demo_command(CLI::App& app);
Command add_journal_command(CLI::App& app);

}  // namespace kiv::tool
