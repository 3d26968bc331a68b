#include "query.h"

#include <kiv.hpp>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <optional>

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

// One export as a runner calls it: its name, and its C++ function bound to
// the export looked up by that name. The libraries' printf traces are
// diverted while it runs.
template <typename Function>
struct Call {
  const char* name;
  Function fn;
  template <typename... Args>
  auto operator()(const RequestHead& h, const Args&... args) const {
    LibraryOutput divert;
    return fn(::kiv::request_head{h.host, h.path, h.port, h.protocol, h.request}, args...);
  }
  QueryOutcome outcome(int32_t code, json_object* output) const {
    return ::kiv::tool::outcome(name, code, output);
  }
};

template <typename Call>
QueryOutcome run_protocol1(const Call& call, const RequestHead& h, const QueryOptions& o) {
  const auto answer = call(h, o.capacity);
  if (!answer) return call.outcome(answer.code(), nullptr);
  json_object* out = json_object_new_object();
  json_add(out, "respond_size", json_object_new_int64(static_cast<int64_t>(answer->size())));
  json_add(out, "respond_data", json_text(display(answer.value())));
  return call.outcome(KIV_OK, out);
}

template <typename Call>
QueryOutcome run_protocol2(const Call& call, const RequestHead& h, const QueryOptions& o) {
  if (o.save_file.empty()) throw UsageError("http_access_protocol2 needs --save FILE");
  const auto saved = call(h, std::string_view(o.save_file));
  if (!saved) return call.outcome(saved.code(), nullptr);
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(o.save_file, ec);
  json_object* out = json_object_new_object();
  json_add(out, "saveFile", json_text(o.save_file));
  json_add(out, "bytes", ec ? nullptr : json_object_new_int64(static_cast<int64_t>(bytes)));
  return call.outcome(KIV_OK, out);
}

template <typename Call>
QueryOutcome run_verification(const Call& call, const RequestHead& h, const QueryOptions&) {
  const auto info = call(h);
  if (!info) return call.outcome(info.code(), nullptr);
  json_object* out = json_object_new_object();
  json_add(out, "err", json_object_new_int(info->err));
  if (info->err != 0) {  // the rest is written only for an account the service accepted
    json_add(out, "haveTime", json_object_new_int(info->haveTime));
    json_add(out, "expired", json_object_new_int(info->expired));
    json_add(out, "usepay", json_object_new_int(info->usepay));
    json_add(out, "ut", json_text(display(info->ut)));
    json_add(out, "msg", json_text(display(info->msg)));
    json_add(out, "bindUnvalide", json_object_new_int(info->bindUnvalide));
    json_add(out, "ed", json_text(display(info->ed)));
    json_add(out, "endBind", json_text(display(info->endBind)));
  }
  return call.outcome(KIV_OK, out);
}

template <typename Call>
QueryOutcome run_local_ip(const Call& call, const RequestHead& h, const QueryOptions&) {
  const auto ip = call(h);
  if (!ip) return call.outcome(ip.code(), nullptr);
  json_object* out = json_object_new_object();
  json_add(out, "ip", json_client_text(ip.value()));
  return call.outcome(KIV_OK, out);
}

// The link and the notice: the export's own result is the service's "err"
// when it gave one.
template <typename Call>
QueryOutcome run_ad_link(const Call& call, const RequestHead& h, const QueryOptions&) {
  const auto link = call(h);
  if (!link) return call.outcome(link.code(), nullptr);
  QueryOutcome out = call.outcome(link->err, nullptr);
  out.code_name = kiv_result_name(KIV_OK);  // the call succeeded; its result is the service's
  if (link->err == 0) {
    out.meaning = "no link to show (the service's \"err\" was 0)";
    return out;
  }
  out.meaning = "the service's \"err\" value: the link was given";
  json_object* record = json_object_new_object();
  json_add(record, "key", json_text(display(link->key)));
  json_add(record, "ref", json_text(display(link->ref)));
  json_add(record, "url", json_text(display(link->url)));
  json_add(record, "ref1", json_text(display(link->ref1)));
  out.output.reset(record);
  return out;
}

template <typename Call>
QueryOutcome run_client_title(const Call& call, const RequestHead& h, const QueryOptions&) {
  const auto title = call(h);
  if (!title) return call.outcome(title.code(), nullptr);
  QueryOutcome out = call.outcome(title->err, nullptr);
  out.code_name = kiv_result_name(KIV_OK);  // the call succeeded; its result is the service's
  if (title->err == 0) {
    out.meaning = "no notice to show (the service's \"err\" was 0)";
    return out;
  }
  out.meaning = "the service's \"err\" value: the notice was given";
  json_object* record = json_object_new_object();
  json_add(record, "id", json_object_new_int(title->id));
  json_add(record, "title", json_text(display(title->title)));
  json_add(record, "url", json_text(display(title->url)));
  json_add(record, "usertype", json_object_new_int(title->usertype));
  json_add(record, "msg", json_text(display(title->msg)));
  json_add(record, "isopen", json_object_new_int(title->isopen));
  json_add(record, "isbind", json_object_new_int(title->isbind));
  out.output.reset(record);
  return out;
}

template <typename Call>
QueryOutcome run_err_and_message(const Call& call, const RequestHead& h, const QueryOptions&) {
  const auto check = call(h);
  if (!check) return call.outcome(check.code(), nullptr);
  json_object* out = json_object_new_object();
  json_add(out, "err_value", json_object_new_int(check->err));
  json_add(out, "message", json_text(display(check->message)));
  return call.outcome(KIV_OK, out);
}

template <typename Call>
QueryOutcome run_vpn_info(const Call& call, const RequestHead& h, const QueryOptions&) {
  const auto vpn = call(h);
  if (!vpn) return call.outcome(vpn.code(), nullptr);
  json_object* out = json_object_new_object();
  json_add(out, "VPNIP", json_text(display(vpn->VPNIP)));
  json_add(out, "LocalOutIP", json_text(display(vpn->LocalOutIP)));
  json_add(out, "VPNPort", json_object_new_int(vpn->VPNPort));
  return call.outcome(KIV_OK, out);
}

template <typename Call>
QueryOutcome run_text_query(const Call& call, const RequestHead& h, const QueryOptions&) {
  const auto text = call(h);
  if (!text) return call.outcome(text.code(), nullptr);
  json_object* out = json_object_new_object();
  json_add(out, "calls", json_object_new_int(text->has_value() ? 1 : 0));
  json_add(out, "text", json_client_text(text.value()));
  return call.outcome(KIV_OK, out);
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

template <typename Call>
QueryOutcome run_delay_query(const Call& call, const RequestHead& h, const QueryOptions&) {
  const auto rows = call(h);
  if (!rows) return call.outcome(rows.code(), nullptr);
  json_object* list = json_object_new_array();
  for (const auto& row : rows.value()) json_object_array_add(list, delay_row(row));
  json_object* out = json_object_new_object();
  json_add(out, "rows", list);
  return call.outcome(KIV_OK, out);
}

template <typename Call>
QueryOutcome run_save_game_route(const Call& call, const RequestHead& h, const QueryOptions&) {
  const auto err = call(h);
  if (!err) return call.outcome(err.code(), nullptr);
  json_object* out = json_object_new_object();
  json_add(out, "err_value", err->has_value() ? json_object_new_int(**err) : nullptr);
  return call.outcome(KIV_OK, out);
}

}  // namespace

// A row of the table: the export's name, written once, gives the name the
// tool shows, the export it binds and the C++ function that calls it.
// clang-format off
#define KIV_QUERY(export_name, path, summary, runner)                                   \
  QueryInfo{#export_name, path, summary,                                                \
            [](const RequestHead& h, const QueryOptions& o) {                           \
              ::kiv::svcquery_exports exports;                                          \
              exports.export_name = KIV_SVCQUERY_EXPORT(export_name);                   \
              const auto fn = [&exports](const auto&... args) {                         \
                return ::kiv::export_name(args..., exports);                            \
              };                                                                        \
              return runner(Call<decltype(fn)>{#export_name, fn}, h, o);                \
            }}
// clang-format on

const std::vector<QueryInfo>& queries() {
  static const std::vector<QueryInfo> table = {
      KIV_QUERY(http_access_protocol1, "servers", "post a request, print the inflated answer",
                run_protocol1),
      KIV_QUERY(http_access_protocol2, "servers",
                "post a request, save the raw answer (--save FILE)", run_protocol2),
      KIV_QUERY(get_verification_from_service, "verification", "the account's login check",
                run_verification),
      KIV_QUERY(get_local_ip_from_service, "local_ip", "the client's outside address",
                run_local_ip),
      KIV_QUERY(get_kiv_adLink_from_service, "ad_link", "the advertisement link", run_ad_link),
      KIV_QUERY(get_kiv_client_title_from_service, "client_title", "the client's pop-up notice",
                run_client_title),
      KIV_QUERY(get_loginvpn_from_service, "loginvpn", "the check after a VPN dial-up",
                run_err_and_message),
      KIV_QUERY(check_hangup_from_service, "hangup", "the check around hanging up",
                run_err_and_message),
      KIV_QUERY(get_vpn_info, "vpn_info", "the VPN connection data", run_vpn_info),
      KIV_QUERY(get_gameroute_from_server, "gameroute", "the game routes (JSON text)",
                run_text_query),
      KIV_QUERY(get_usertypelist_from_server, "usertypelist", "the user types (JSON text)",
                run_text_query),
      KIV_QUERY(get_gameprocess_from_server, "gameprocess", "the game processes (JSON text)",
                run_text_query),
      KIV_QUERY(get_serverdelay_from_server, "serverdelay", "delays per game and server (rows)",
                run_delay_query),
      KIV_QUERY(get_areadelay_from_server, "areadelay", "delays per node and area (rows)",
                run_delay_query),
      KIV_QUERY(save_game_route_info, "save_game_route",
                "upload game-route data, read back \"err\"", run_save_game_route),
  };
  return table;
}

#undef KIV_QUERY

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
      {KIV_E_NOT_JSON_101,
       "the answer is not JSON",
       {"get_local_ip_from_service", "get_kiv_adLink_from_service",
        "get_kiv_client_title_from_service", "get_loginvpn_from_service",
        "check_hangup_from_service", "get_gameroute_from_server", "get_usertypelist_from_server",
        "get_gameprocess_from_server", "get_serverdelay_from_server", "get_areadelay_from_server"}},
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
      {KIV_E_NOT_JSON_114,
       "the answer is not JSON",
       {"get_verification_from_service", "get_vpn_info"}},
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
