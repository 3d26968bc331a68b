#include "query.h"

#include <kiv.hpp>

#include <algorithm>
#include <climits>
#include <concepts>
#include <cstring>
#include <filesystem>
#include <optional>
#include <tuple>
#include <type_traits>

namespace kiv::tool {
namespace {

// Client text, or null for a text the library left unwritten.
json_object* json_client_text(const std::optional<std::string>& text) {
  return text ? json_text(display(*text)) : nullptr;
}

QueryOutcome outcome(std::string_view name, int32_t code, json_object* output) {
  QueryOutcome out;
  out.name = std::string(name);
  out.code = code;
  out.code_name = kiv_result_name(code);
  out.meaning = code_meaning(name, code);
  out.output.reset(output);
  return out;
}

// What a query gives, by the kind of its arguments in the export table:
// the arguments it takes after the request head, and what its answer
// becomes, named after the caller's storage.
enum class Kind { buffer, file, record, text, flag_and_text, text_rows, delay_rows, flag };
template <Kind kind>
using KindTag = std::integral_constant<Kind, kind>;

std::tuple<uint32_t> arguments(KindTag<Kind::buffer>, const QueryOptions& o) {
  return {o.capacity};
}
std::tuple<std::string_view> arguments(KindTag<Kind::file>, const QueryOptions& o) {
  if (o.save_file.empty()) throw UsageError("http_access_protocol2 needs --save FILE");
  return {std::string_view(o.save_file)};
}
template <Kind kind>
std::tuple<> arguments(KindTag<kind>, const QueryOptions&) {
  return {};
}

json_object* answer(KindTag<Kind::buffer>, const std::string& respond, const QueryOptions&) {
  json_object* out = json_object_new_object();
  json_add(out, "respond_size", json_object_new_int64(static_cast<int64_t>(respond.size())));
  json_add(out, "respond_data", json_text(display(respond)));
  return out;
}

json_object* answer(KindTag<Kind::file>, const QueryOptions& o) {
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(o.save_file, ec);
  json_object* out = json_object_new_object();
  json_add(out, "saveFile", json_text(o.save_file));
  json_add(out, "bytes", ec ? nullptr : json_object_new_int64(static_cast<int64_t>(bytes)));
  return out;
}

json_object* answer(KindTag<Kind::record>, const ::kiv::verification& info, const QueryOptions&) {
  json_object* out = json_object_new_object();
  json_add(out, "err", json_object_new_int(info.err));
  if (info.err != 0) {  // the rest is written only for an account the service accepted
    json_add(out, "haveTime", json_object_new_int(info.haveTime));
    json_add(out, "expired", json_object_new_int(info.expired));
    json_add(out, "usepay", json_object_new_int(info.usepay));
    json_add(out, "ut", json_text(display(info.ut)));
    json_add(out, "msg", json_text(display(info.msg)));
    json_add(out, "bindUnvalide", json_object_new_int(info.bindUnvalide));
    json_add(out, "ed", json_text(display(info.ed)));
    json_add(out, "endBind", json_text(display(info.endBind)));
  }
  return out;
}

json_object* answer(KindTag<Kind::record>, const ::kiv::vpn_connection& vpn, const QueryOptions&) {
  json_object* out = json_object_new_object();
  json_add(out, "VPNIP", json_text(display(vpn.VPNIP)));
  json_add(out, "LocalOutIP", json_text(display(vpn.LocalOutIP)));
  json_add(out, "VPNPort", json_object_new_int(vpn.VPNPort));
  return out;
}

// The link and the notice are given only when the service's "err" is not 0.
json_object* answer(KindTag<Kind::record>, const ::kiv::ad_link& link, const QueryOptions&) {
  if (link.err == 0) return nullptr;
  json_object* record = json_object_new_object();
  json_add(record, "key", json_text(display(link.key)));
  json_add(record, "ref", json_text(display(link.ref)));
  json_add(record, "url", json_text(display(link.url)));
  json_add(record, "ref1", json_text(display(link.ref1)));
  return record;
}

json_object* answer(KindTag<Kind::record>, const ::kiv::client_title& title, const QueryOptions&) {
  if (title.err == 0) return nullptr;
  json_object* record = json_object_new_object();
  json_add(record, "id", json_object_new_int(title.id));
  json_add(record, "title", json_text(display(title.title)));
  json_add(record, "url", json_text(display(title.url)));
  json_add(record, "usertype", json_object_new_int(title.usertype));
  json_add(record, "msg", json_text(display(title.msg)));
  json_add(record, "isopen", json_object_new_int(title.isopen));
  json_add(record, "isbind", json_object_new_int(title.isbind));
  return record;
}

json_object* answer(KindTag<Kind::text>, const std::optional<std::string>& ip,
                    const QueryOptions&) {
  json_object* out = json_object_new_object();
  json_add(out, "ip", json_client_text(ip));
  return out;
}

json_object* answer(KindTag<Kind::flag_and_text>, const ::kiv::dial_check& check,
                    const QueryOptions&) {
  json_object* out = json_object_new_object();
  json_add(out, "err_value", json_object_new_int(check.err));
  json_add(out, "message", json_text(display(check.message)));
  return out;
}

json_object* answer(KindTag<Kind::text_rows>, const std::optional<std::string>& text,
                    const QueryOptions&) {
  json_object* out = json_object_new_object();
  json_add(out, "calls", json_object_new_int(text.has_value() ? 1 : 0));
  json_add(out, "text", json_client_text(text));
  return out;
}

json_object* delay_row(const ::kiv::server_delay& row) {
  json_object* out = json_object_new_object();
  json_add(out, "gameid", json_object_new_int(row.gameid));
  json_add(out, "serverid", json_object_new_int(row.serverid));
  json_add(out, "delay", json_object_new_int(row.delay));
  return out;
}

json_object* delay_row(const ::kiv::area_delay& row) {
  json_object* out = json_object_new_object();
  json_add(out, "nodeId", json_object_new_int(row.nodeId));
  json_add(out, "areaId", json_object_new_int(row.areaId));
  json_add(out, "delay", json_object_new_int(row.delay));
  return out;
}

template <typename Row>
json_object* answer(KindTag<Kind::delay_rows>, const std::vector<Row>& rows, const QueryOptions&) {
  json_object* list = json_object_new_array();
  for (const auto& row : rows) json_object_array_add(list, delay_row(row));
  json_object* out = json_object_new_object();
  json_add(out, "rows", list);
  return out;
}

json_object* answer(KindTag<Kind::flag>, int32_t err, const QueryOptions&) {
  json_object* out = json_object_new_object();
  json_add(out, "err_value", json_object_new_int(err));
  return out;
}

// The outcome of a call that succeeded. For the link and the notice the
// export's own result is the service's "err".
template <typename Value>
QueryOutcome succeeded(std::string_view name, const Value&, json_object* output) {
  return outcome(name, KIV_OK, output);
}
template <typename Record>
requires std::same_as<Record, ::kiv::ad_link> || std::same_as<Record, ::kiv::client_title>
    QueryOutcome succeeded(std::string_view name, const Record& record, json_object* output) {
  constexpr bool link = std::same_as<Record, ::kiv::ad_link>;
  QueryOutcome out = outcome(name, record.err, output);
  out.code_name = kiv_result_name(KIV_OK);  // the call succeeded; its result is the service's
  if (record.err == 0) {
    out.meaning = link ? "no link to show (the service's \"err\" was 0)"
                       : "no notice to show (the service's \"err\" was 0)";
  } else {
    out.meaning = link ? "the service's \"err\" value: the link was given"
                       : "the service's \"err\" value: the notice was given";
  }
  return out;
}

// The one way a query runs: its arguments from the options, the call with
// the libraries' printf traces diverted, then its answer or its failure.
template <Kind kind, typename Function>
QueryOutcome run(std::string_view name, const Function& fn, const RequestHead& h,
                 const QueryOptions& o) {
  const auto rest = arguments(KindTag<kind>{}, o);
  const auto result = [&] {
    LibraryOutput divert;
    return std::apply(
        [&](const auto&... args) {
          return fn(::kiv::request_head{h.host, h.path, h.port, h.protocol, h.request}, args...);
        },
        rest);
  }();
  if (!result) return outcome(name, result.code(), nullptr);
  if constexpr (kind == Kind::file) {
    return outcome(name, KIV_OK, answer(KindTag<kind>{}, o));
  } else {
    return succeeded(name, result.value(), answer(KindTag<kind>{}, result.value(), o));
  }
}

}  // namespace

// The table's queries and transports (the exports with a stand-in path),
// each bound to its export looked up by name.
// clang-format off
#define KIV_EXPORT(name, library, function, kind, path, summary) KIV_QUERY_##kind(name, path, summary)
#define KIV_QUERY(name, kind, path, summary)                                            \
  QueryInfo{#name, path, summary,                                                       \
            [](const RequestHead& h, const QueryOptions& o) {                           \
              ::kiv::svcquery_exports exports;                                          \
              exports.name = KIV_SVCQUERY_EXPORT(name);                                 \
              const auto fn = [&exports](const auto&... args) {                         \
                return ::kiv::name(args..., exports);                                   \
              };                                                                        \
              return run<Kind::kind>(#name, fn, h, o);                                  \
            }},
#define KIV_QUERY_buffer(name, path, summary) KIV_QUERY(name, buffer, path, summary)
#define KIV_QUERY_file(name, path, summary) KIV_QUERY(name, file, path, summary)
#define KIV_QUERY_record(name, path, summary) KIV_QUERY(name, record, path, summary)
#define KIV_QUERY_text(name, path, summary) KIV_QUERY(name, text, path, summary)
#define KIV_QUERY_flag_and_text(name, path, summary) KIV_QUERY(name, flag_and_text, path, summary)
#define KIV_QUERY_text_rows(name, path, summary) KIV_QUERY(name, text_rows, path, summary)
#define KIV_QUERY_delay_rows(name, path, summary) KIV_QUERY(name, delay_rows, path, summary)
#define KIV_QUERY_flag(name, path, summary) KIV_QUERY(name, flag, path, summary)
#define KIV_QUERY_list(name, path, summary)
#define KIV_QUERY_report(name, path, summary)
#define KIV_QUERY_logger(name, path, summary)
// clang-format on

const std::vector<QueryInfo>& queries() {
  static const std::vector<QueryInfo> table = {
#include "kiv_exports.inc"
  };
  return table;
}

#undef KIV_QUERY
#undef KIV_QUERY_buffer
#undef KIV_QUERY_file
#undef KIV_QUERY_record
#undef KIV_QUERY_text
#undef KIV_QUERY_flag_and_text
#undef KIV_QUERY_text_rows
#undef KIV_QUERY_delay_rows
#undef KIV_QUERY_flag
#undef KIV_QUERY_list
#undef KIV_QUERY_report
#undef KIV_QUERY_logger

const QueryInfo* find_query(std::string_view name) {
  for (const auto& query : queries()) {
    if (name == query.name) return &query;
  }
  return nullptr;
}

QueryOutcome run_query(const QueryInfo& query, const RequestHead& head,
                       const QueryOptions& options) {
  if (head.request.size() > static_cast<size_t>(INT32_MAX)) {
    throw UsageError("the request is too large");
  }
  return query.run(head, options);
}

namespace {

// What each result code means, by its public name. One value may have
// several names; the export decides which of them apply: a row lists the
// exports it is for (none: every export), and a row marked `alone` is the
// whole meaning for its exports.
struct CodeMeaning {
  int32_t code;
  const char* text;
  std::vector<std::string_view> only = {};
  bool alone = false;
};

// The queries that give `code` for an answer that is not JSON.
std::vector<std::string_view> not_json(int32_t code) {
  std::vector<std::string_view> names;
#define KIV_NOT_JSON(name, not_json_code) \
  if ((not_json_code) == code) names.emplace_back(#name);
#include "kiv_exports.inc"
  return names;
}

const std::vector<CodeMeaning>& code_meanings() {
  const std::vector<std::string_view> readers = {"get_data_from_file", "get_servertype_from_file"};
  const std::vector<std::string_view> rows = {"get_data_from_file", "get_servertype_from_file",
                                              "get_serverdelay_from_server",
                                              "get_areadelay_from_server"};
  static const std::vector<CodeMeaning> table = {
      {KIV_OK, "success"},
      {KIV_E_NO_MEMORY, "a working buffer was not allocated"},
      {KIV_E_SERVICE_REFUSED,
       "the service's \"err\" was 0",
       {"get_gameroute_from_server", "get_gameprocess_from_server"}},
      {KIV_E_FILE_OPEN, "the file could not be opened"},
      {KIV_E_FILE_CREATE, "the answer file could not be created"},
      {KIV_E_FILE_READ, "the file could not be read"},
      {KIV_E_FILE_SIZE, "the file's size could not be taken"},
      {KIV_E_COMPRESS, "compressing the request failed"},
      {KIV_E_NOT_JSON_101, "the answer is not JSON", not_json(KIV_E_NOT_JSON_101)},
      {KIV_E_UNCOMPRESS,
       "the answer could not be inflated (not a zlib stream, or larger than the answer buffer)"},
      {KIV_E_UNCOMPRESS, "the file could not be inflated (damaged, empty, or too long a text)",
       readers, true},
      {KIV_E_HTTP_STATUS, "the service answered with an HTTP status other than 200"},
      {KIV_E_SAVE_ROUTE_FAILED,
       "the transfer failed, or the answer was empty",
       {"save_game_route_info"},
       true},
      {KIV_E_TRANSFER, "the transfer failed (no connection, time-out)"},
      {KIV_E_NOT_JSON_114, "the answer is not JSON", not_json(KIV_E_NOT_JSON_114)},
      {KIV_E_NOT_JSON_114, "the list is not JSON", readers, true},
      {KIV_E_LIST_REFUSED, "the list's \"err\" is 0"},
      {KIV_E_NO_LIST, "the list lacks its list member"},
      {KIV_E_MISSING_ARGUMENT, "a required argument is missing"},
      {KIV_E_NO_ROW_MEMORY, "a working record was not allocated", rows},
      {KIV_E_FILE_WRITE, "writing the answer file failed"},
      {KIV_E_OPTION_REFUSED, "an option of the HTTP transfer was refused"},
  };
  return table;
}

}  // namespace

std::string code_meaning(std::string_view name, int32_t code) {
  std::string text;
  for (const CodeMeaning& row : code_meanings()) {
    if (row.code != code) continue;
    if (!row.only.empty() && std::find(row.only.begin(), row.only.end(), name) == row.only.end()) {
      continue;
    }
    if (row.alone) return row.text;
    text += (text.empty() ? "" : ", or ") + std::string(row.text);
  }
  return text.empty() ? "unknown result code" : text;
}

Command add_query_command(CLI::App& app) {
  struct Arguments {
    std::string name;
    RequestHead head;
    uint16_t port = 0;
    std::string path;
    std::string request;
    QueryOptions options;
    bool json = false;
  };
  auto args = std::make_shared<Arguments>();
  std::string names;
  size_t width = 0;
  size_t path_width = 0;
  for (const auto& query : queries()) {
    width = std::max(width, std::strlen(query.name));
    path_width = std::max(path_width, std::strlen(query.default_path) + 1);
  }
  for (const auto& query : queries()) {
    const std::string path = std::string("/") + query.default_path;
    names += std::string("\n  ") + query.name +
             std::string(width + 2 - std::strlen(query.name), ' ') + path +
             std::string(path_width + 2 - path.size(), ' ') + query.summary;
  }
  CLI::App* sub = app.add_subcommand("query", "Run one query export against a web service");
  sub->footer("Queries, with their path at the stand-in (kiv serve):" + names +
              "\nExit status: 0 when the result code is 0, 1 for any other code, 2 for bad input.");
  sub->add_option("NAME", args->name, "The export to run")->required();
  sub->add_option("--host", args->head.host, "Web service host (default 127.0.0.1)");
  sub->add_option("--port", args->port, "Web service port")
      ->required()
      ->check(CLI::Range(1, 65535))
      ->check(decimal_integer());
  sub->add_option("--path", args->path,
                  "Path on the service (default: the stand-in's path for NAME)");
  sub->add_option("--protocol", args->head.protocol, "Protocol label handed to the export");
  sub->add_option("--request", args->request, "Request text, or @FILE for a file's bytes")
      ->required();
  sub->add_option("--save", args->options.save_file,
                  "File that receives the answer (http_access_protocol2)");
  sub->add_option("--capacity", args->options.capacity,
                  "Answer buffer size for http_access_protocol1 (default 1048576)")
      ->check(CLI::Range(1u, 64u << 20))
      ->check(decimal_integer());
  sub->add_flag("--json", args->json, "Print one JSON document");

  Command command;
  command.app = sub;
  command.run = [args]() {
    const QueryInfo* query = find_query(args->name);
    if (query == nullptr) {
      std::string all;
      for (const auto& q : queries()) all += std::string(all.empty() ? "" : ", ") + q.name;
      throw UsageError("unknown query \"" + args->name + "\"; the queries are: " + all);
    }
    RequestHead head = args->head;
    head.port = args->port;
    head.path = args->path.empty() ? query->default_path : argument_text(args->path, "--path");
    head.host = argument_text(head.host, "--host");
    head.request = text_or_file(args->request, "--request");
    const QueryOutcome out = run_query(*query, head, args->options);

    if (args->json) {
      Json doc(json_object_new_object());
      json_add(doc.get(), "query", json_text(out.name));
      json_add(doc.get(), "host", json_text(display(head.host)));
      json_add(doc.get(), "port", json_object_new_int(static_cast<int32_t>(head.port)));
      json_add(doc.get(), "path", json_text(display(head.path)));
      json_add(doc.get(), "result", json_object_new_int(out.code));
      json_add(doc.get(), "code", out.code_name ? json_text(out.code_name) : nullptr);
      json_add(doc.get(), "meaning", json_text(out.meaning));
      json_add(doc.get(), "output", out.output ? json_object_get(out.output.get()) : nullptr);
      std::fputs(json_document(doc.get()).c_str(), stdout);
    } else {
      std::printf("%s: %d (%s)\n", out.name.c_str(), out.code, out.meaning.c_str());
      if (out.output) print_members(stdout, out.output.get(), "  ");
    }
    return out.code == 0 ? kExitOk : kExitFailed;
  };
  return command;
}

}  // namespace kiv::tool
