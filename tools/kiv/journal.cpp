// `kiv journal`: the journal of a running stand-in, read through its control
// interface, once or as it grows.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "common.h"
#include "control.h"

namespace kiv::tool {
namespace {

// How long one wait for new entries lasts; the control interface allows 60 s.
constexpr int kFollowWaitMs = 20000;

// A query parameter's value, percent-encoded.
std::string url_escape(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '-' ||
        b == '_' || b == '.' || b == '~' || b == '/') {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string member(json_object* o, const char* name) {
  return standin::member_text(o, name);
}

// One entry on one line (or two, when something is wrong with it).
std::string readable_entry(json_object* e) {
  std::string line = "#" + member(e, "seq") + " " + member(e, "time") + " ";
  std::string problem;
  if (member(e, "kind") == "http") {
    line += member(e, "method") + " " + member(e, "path") + " from " + member(e, "from") + " -> " +
            member(e, "status") + ", " + member(e, "answer");
    if (const std::string fault = member(e, "fault"); !fault.empty())
      line += " [fault " + fault + "]";
    line += ": ";
    line += member(e, "request").empty() ? "[" + member(e, "request_error") + "]"
                                         : member(e, "request");
    problem = member(e, "request_problem");
    if (!problem.empty()) problem = "request " + problem;
  } else {
    line += "datagram from " + member(e, "from") + " (" + member(e, "bytes") + " bytes): ";
    if (const std::string record = member(e, "record"); !record.empty()) {
      line += record;
    } else if (const std::string text = member(e, "record_text"); !text.empty()) {
      line += text;
    } else {
      line += "[" + member(e, "error") + "]";
    }
    problem = member(e, "record_problem");
    if (!problem.empty()) problem = "record " + problem;
  }
  // Control characters of the texts would act on the terminal.
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  if (!problem.empty()) line += "\n  [" + problem + "]";
  return line;
}

}  // namespace

Command add_journal_command(CLI::App& app) {
  struct Arguments {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string kind;
    std::string path;
    std::string act;
    std::string when;
    std::string token;
    uint64_t since = 0;
    bool follow = false;
    bool json = false;
  };
  auto args = std::make_shared<Arguments>();
  CLI::App* sub = app.add_subcommand(
      "journal", "Print the journal of a running stand-in (kiv serve): what it received");
  sub->add_option("--host", args->host, "The stand-in's address (default 127.0.0.1)");
  sub->add_option("--port", args->port, "The stand-in's HTTP port")
      ->required()
      ->check(CLI::Range(1, 65535));
  sub->add_option("--kind", args->kind, "http or udp (default both)")
      ->check(CLI::IsMember({"http", "udp"}));
  sub->add_option("--path", args->path, "Only HTTP requests on this path");
  sub->add_option("--act", args->act, "Only datagrams whose record has this \"act\"");
  sub->add_option("--when", args->when,
                  "Only HTTP requests whose text holds these members, a JSON object as a "
                  "rule's \"when\"");
  sub->add_option("--token", args->token,
                  "The control interface's token, when it asks for one (printed at start-up)");
  sub->add_option("--since", args->since, "Only entries after this sequence number");
  sub->add_flag("-f,--follow", args->follow, "Go on printing entries as they come (Ctrl-C ends)");
  sub->add_flag("--json", args->json, "Each entry as its line of JSON");
  sub->footer(
      "Each entry: #SEQUENCE TIME, then the request and its answer, or the datagram and its\n"
      "record. Exit status 1 when the stand-in cannot be reached.");

  Command command;
  command.app = sub;
  command.run = [args]() {
    std::string query;
    auto add = [&query](const char* name, const std::string& value) {
      if (value.empty()) return;
      query += "&" + std::string(name) + "=" + url_escape(value);
    };
    add("kind", args->kind);
    add("path", args->path);
    add("act", args->act);
    add("when", args->when);
    uint64_t since = args->since;
    bool first = true;
    for (;;) {
      const int wait = args->follow && !first ? kFollowWaitMs : 0;
      const std::string target = std::string(standin::kControlPrefix) +
                                 "journal?since=" + std::to_string(since) +
                                 "&wait=" + std::to_string(wait) + query;
      const standin::ControlReply reply =
          standin::control_request(args->host, args->port, "GET", target,
                                   std::chrono::milliseconds(wait + 10000), "", args->token);
      if (reply.status == 0) {
        throw ToolFailure("no answer from the stand-in at " + args->host + ":" +
                          std::to_string(args->port) + ": " + reply.error);
      }
      Json doc(json_tokener_parse(reply.body.c_str()));
      if (reply.status != 200 || doc == nullptr) {
        const std::string why = doc ? member(doc.get(), "error") : reply.body;
        throw ToolFailure("the stand-in answered " + std::to_string(reply.status) + ": " + why);
      }
      if (first && !args->json && args->since == 0) {
        if (const std::string dropped = member(doc.get(), "dropped"); dropped != "0") {
          std::printf("(%s older entries were dropped to keep the journal's bounds)\n",
                      dropped.c_str());
        }
      }
      json_object* entries = nullptr;
      json_object_object_get_ex(doc.get(), "entries", &entries);
      for (size_t i = 0; i < json_object_array_length(entries); ++i) {
        json_object* e = json_object_array_get_idx(entries, i);
        const std::string line =
            args->json ? json_object_to_json_string_ext(
                             e, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE)
                       : readable_entry(e);
        std::printf("%s\n", line.c_str());
      }
      std::fflush(stdout);
      since = std::stoull(member(doc.get(), "next_since"));
      first = false;
      if (!args->follow && member(doc.get(), "more") != "true") return kExitOk;
    }
  };
  return command;
}

}  // namespace kiv::tool
