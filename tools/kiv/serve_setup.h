// `kiv serve`: what a client's test needs of the stand-in besides answers and
// faults: the journal, scenario rules, answers laid over the built-in ones,
// a start-up line for scripts, and the built-in answers written out.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "standin.h"

namespace kiv::tool {

struct ServeExtras {
  std::string journal_file;
  std::size_t journal_size = 10000;
  std::size_t journal_mib = 64;
  std::string rules_file;
  std::string ready_file;
  std::string write_answers;
  bool only_folder = false;
  std::string control_bind = "127.0.0.1";
  uint16_t control_port = 0;
};

// Where the control interface listens: with the service while that is on
// loopback, on --control-bind otherwise (and whenever it is given).
void apply_control_options(const ServeExtras& extras, standin::Options& options);

void add_serve_extras(CLI::App* sub, ServeExtras& extras);

// The journal's bounds and file, and the rules; UsageError when the rules
// file cannot be read.
void apply_serve_extras(const ServeExtras& extras, standin::Options& options);

// The answers of `folder` laid over the built-in set (or alone with
// `only_folder`); UsageError when the folder is no answer folder.
standin::AnswerSet answers_from(const std::string& folder, bool only_folder);

// Writes the built-in answers into `folder` as PATH.json files; an existing
// file is not overwritten. Returns the exit status.
int write_built_in_answers(const std::string& folder);

// The lines printed once both ports are bound: the control address, a
// warning when it is reachable from elsewhere, and the line for scripts.
// Writes the ready file when one is asked for (UsageError when it cannot).
std::vector<std::string> started_lines(const standin::Service& service, const ServeExtras& extras);
// What the journal went through, for the end.
std::string journal_summary(const standin::JournalFigures& figures, const ServeExtras& extras);
// The line for scripts alone, printed just before "ready".
std::string listening_line(const standin::Service& service);

}  // namespace kiv::tool
