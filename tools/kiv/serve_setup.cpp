#include "serve_setup.h"

#include <json-c/json.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "commands.h"
#include "common.h"
#include "control.h"
#include "platform.h"
#include "recording.h"

namespace kiv::tool {
namespace {

// The control interface's address, with its token when `with_token`.
std::string control_url(const standin::Service& service, bool with_token) {
  std::string url = "http://" + service.control_address() + ":" +
                    std::to_string(service.control_port()) + std::string(standin::kControlPrefix);
  if (with_token && !service.control_token().empty()) url += "?token=" + service.control_token();
  return url;
}

}  // namespace

void add_serve_extras(CLI::App* sub, ServeExtras& extras) {
  sub->add_option("--journal", extras.journal_file,
                  "Append every request and datagram the stand-in receives to this file, one "
                  "line of JSON each");
  sub->add_option("--journal-size", extras.journal_size,
                  "Entries the journal keeps in memory, the oldest dropped first (default 10000)")
      ->check(CLI::Range(1, 10000000))
      ->check(decimal_integer());
  sub->add_option("--journal-mib", extras.journal_mib,
                  "MiB of texts the journal keeps in memory (default 64)")
      ->check(CLI::Range(1, 4096))
      ->check(decimal_integer());
  sub->add_option("--rules", extras.rules_file,
                  "JSON file of scenario rules: [{\"path\":P,\"when\":{MEMBER:VALUE},\"call\":N,"
                  "\"answer\":JSON,\"fault\":FAULT}], the first that applies wins");
  sub->add_option("--ready-file", extras.ready_file,
                  "Once listening, write the address and ports here as JSON");
  sub->add_option("--write-answers", extras.write_answers,
                  "Write the built-in answers into this folder as PATH.json files, and exit");
  sub->add_option("--control-bind", extras.control_bind,
                  "IPv4 address of the control interface when --bind is not a loopback one, "
                  "or when given (default 127.0.0.1); beyond loopback it asks for a token");
  sub->add_option("--control-port", extras.control_port,
                  "Port of the control interface when it listens apart (default 0: any free one)")
      ->check(CLI::Range(0, 65535))
      ->check(decimal_integer());
  sub->add_flag("--no-built-in-answers", extras.only_folder,
                "With --answers: serve that folder's answers alone, not laid over the built-in "
                "ones");
}

void apply_control_options(const ServeExtras& extras, standin::Options& options) {
  if (!standin::is_loopback_address(options.address) || extras.control_bind != "127.0.0.1" ||
      extras.control_port != 0) {
    options.control_address = extras.control_bind;
    options.control_port = extras.control_port;
  }
}

void apply_serve_extras(const ServeExtras& extras, standin::Options& options) {
  options.journal_file = extras.journal_file;
  options.journal_entries = extras.journal_size;
  options.journal_bytes = extras.journal_mib << 20;
  if (!extras.rules_file.empty()) {
    options.rules = read_file_bytes(extras.rules_file);
    std::string why;
    if (!standin::Scenario::parse(options.rules, &why)) {
      throw UsageError("--rules " + extras.rules_file + ": " + why);
    }
  }
}

standin::AnswerSet answers_from(const std::string& folder, bool only_folder) {
  standin::AnswerSet folder_set;
  try {
    folder_set = standin::AnswerSet::from_folder(folder);
  } catch (const std::runtime_error& e) {
    throw UsageError(e.what());
  }
  if (only_folder) return folder_set;
  standin::AnswerSet set = standin::AnswerSet::built_in();
  for (const auto& [key, text] : folder_set.texts()) set.set(key, text);
  for (const auto& [key, bytes] : folder_set.raws()) set.set_raw(key, bytes);
  return set;
}

int write_built_in_answers(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) throw UsageError("cannot create " + folder + ": " + ec.message());
  int written = 0;
  int kept = 0;
  const standin::AnswerSet built_in = standin::AnswerSet::built_in();
  for (const auto& [key, text] : built_in.texts()) {
    const std::string path = folder + "/" + key + ".json";
    platform::File file(platform::create_new(path.c_str()));
    if (!file) {
      if (platform::path_exists(path.c_str())) {
        std::printf("kept %s (it exists)\n", path.c_str());
        ++kept;
        continue;
      }
      throw ToolFailure("cannot write " + path + ": " +
                        platform::error_line(platform::last_error()));
    }
    size_t done = 0;
    if (!platform::write_file(file.get(), text.data(), text.size(), &done)) {
      throw ToolFailure("cannot write " + path + ": " +
                        platform::error_line(platform::last_error()));
    }
    std::printf("wrote %s\n", path.c_str());
    ++written;
  }
  std::printf("%d answers written, %d kept; serve them with: kiv serve --answers %s\n", written,
              kept, folder.c_str());
  return kExitOk;
}

std::string journal_summary(const standin::JournalFigures& figures, const ServeExtras& extras) {
  std::string line = "journal: " + std::to_string(figures.received) + " entries, " +
                     std::to_string(figures.dropped) + " dropped from memory";
  if (figures.file_failures > 0) {
    line += ", " + std::to_string(figures.file_failures) + " NOT written to " + extras.journal_file;
  }
  return line;
}

std::string listening_line(const standin::Service& service) {
  json_object* o = json_object_new_object();
  const std::string& address = service.address();
  json_object_object_add(o, "address", json_object_new_string(address.c_str()));
  json_object_object_add(o, "http_port", json_object_new_int(service.http_port()));
  json_object_object_add(o, "udp_port", json_object_new_int(service.udp_port()));
  json_object_object_add(o, "control_port", json_object_new_int(service.control_port()));
  json_object_object_add(o, "control", json_object_new_string(control_url(service, false).c_str()));
  std::string line =
      json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  json_object_put(o);
  return "listening " + line;
}

std::vector<std::string> started_lines(const standin::Service& service, const ServeExtras& extras) {
  std::vector<std::string> lines;
  // The token, when one is asked for, is shown here once, inside the
  // address to open, as a notebook server shows its own.
  lines.push_back("control: " + control_url(service, true) +
                  " (journal, answers, faults, rules; open it in a browser to watch)");
  if (!service.control_token().empty()) {
    lines.push_back(
        "the control interface asks for the token above: in the header X-Kiv-Token, "
        "or the parameter token");
  }
  if (!standin::is_loopback_address(service.control_address())) {
    lines.push_back("warning: the control interface is reachable wherever " +
                    service.control_address() + ":" + std::to_string(service.control_port()) +
                    " is: anyone there with the token can read the journal and change answers");
  }
  if (!extras.journal_file.empty()) lines.push_back("journal: " + extras.journal_file);
  if (!extras.ready_file.empty()) {
    // The JSON of the listening line.
    std::string json = listening_line(service).substr(sizeof "listening");
    if (!service.control_token().empty()) {
      // The file is the script's way in: it carries the token too.
      json.insert(json.size() - 1, ",\"token\":\"" + service.control_token() + "\"");
    }
    try {
      standin::replace_file_with(extras.ready_file, json + "\n");
    } catch (const std::runtime_error& e) {
      throw UsageError("cannot write the ready file " + extras.ready_file + ": " + e.what());
    }
  }
  return lines;
}

}  // namespace kiv::tool
