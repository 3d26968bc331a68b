// `kiv demo`: the client program's day, against the stand-in service run
// in-process: fetch and read the service list, run every query, send every
// report, and check each result against what the stand-in was set to give.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "codec.h"
#include "commands.h"
#include "common.h"
#include "platform.h"
#include "query.h"
#include "report.h"
#include "servers.h"
#include "standin.h"

namespace kiv::tool {
namespace {

using namespace std::chrono_literals;

constexpr auto kDatagramWait = 2000ms;
constexpr const char* kVersion = "1.5.2";
constexpr const char* kUser = "demo01";
constexpr const char* kSaveFile = "servers.dat";

// Values compared the way the client sees them: numbers the readers narrow
// to float are compared as floats.
bool same(json_object* a, json_object* b) {
  const json_type ta = json_object_get_type(a);
  const json_type tb = json_object_get_type(b);
  const bool na = ta == json_type_int || ta == json_type_double;
  const bool nb = tb == json_type_int || tb == json_type_double;
  if (na && nb) {
    if (ta == json_type_int && tb == json_type_int) {
      return json_object_get_int64(a) == json_object_get_int64(b);
    }
    return static_cast<float>(json_object_get_double(a)) ==
           static_cast<float>(json_object_get_double(b));
  }
  if (ta != tb) return false;
  switch (ta) {
    case json_type_null:
      return true;
    case json_type_boolean:
      return json_object_get_boolean(a) == json_object_get_boolean(b);
    case json_type_string:
      return std::string_view(json_object_get_string(a)) == json_object_get_string(b);
    case json_type_array: {
      const size_t n = json_object_array_length(a);
      if (n != json_object_array_length(b)) return false;
      for (size_t i = 0; i < n; ++i) {
        if (!same(json_object_array_get_idx(a, i), json_object_array_get_idx(b, i))) return false;
      }
      return true;
    }
    case json_type_object: {
      if (json_object_object_length(a) != json_object_object_length(b)) return false;
      json_object_object_foreach(a, key, value) {
        json_object* other = nullptr;
        if (!json_object_object_get_ex(b, key, &other) || !same(value, other)) return false;
      }
      return true;
    }
    default:
      return false;
  }
}

std::string plain(json_object* value) {
  return value == nullptr ? "null"
                          : json_object_to_json_string_ext(
                                value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

// The first member that differs, as "name: expected X, got Y".
std::string difference(json_object* expected, json_object* got) {
  if (json_object_is_type(expected, json_type_object) &&
      json_object_is_type(got, json_type_object)) {
    json_object_object_foreach(expected, key, value) {
      json_object* other = nullptr;
      if (!json_object_object_get_ex(got, key, &other)) return std::string(key) + " missing";
      if (!same(value, other)) return std::string(key) + ": " + difference(value, other);
    }
    json_object_object_foreach(got, extra, unused) {
      (void)unused;
      if (!json_object_object_get_ex(expected, extra, nullptr))
        return std::string(extra) + " not expected";
    }
  }
  if (json_object_is_type(expected, json_type_array) && json_object_is_type(got, json_type_array) &&
      json_object_array_length(expected) == json_object_array_length(got)) {
    for (size_t i = 0; i < json_object_array_length(expected); ++i) {
      json_object* a = json_object_array_get_idx(expected, i);
      json_object* b = json_object_array_get_idx(got, i);
      if (!same(a, b)) return "[" + std::to_string(i) + "] " + difference(a, b);
    }
  }
  std::string e = plain(expected), g = plain(got);
  if (e.size() > 160) e = e.substr(0, 157) + "...";
  if (g.size() > 160) g = g.substr(0, 157) + "...";
  return "expected " + e + ", got " + g;
}

// A short readable account of a result's members.
std::string summary(json_object* output) {
  if (output == nullptr) return "";
  std::string text;
  json_object_object_foreach(output, key, value) {
    if (!text.empty()) text += ", ";
    text += key;
    text += ' ';
    if (json_object_is_type(value, json_type_array)) {
      text += std::to_string(json_object_array_length(value)) + " rows";
      continue;
    }
    // One line: each run of white space that breaks the line becomes a blank.
    const std::string shown = readable(value);
    for (size_t i = 0; i < shown.size(); ++i) {
      if (shown[i] != '\n' && shown[i] != '\r') {
        text += shown[i];
        continue;
      }
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
      while (i + 1 < shown.size() && std::isspace(static_cast<unsigned char>(shown[i + 1]))) ++i;
      if (i + 1 < shown.size()) text += ' ';
    }
  }
  // Keep the line short: cut at a character boundary.
  constexpr size_t kMax = 96;
  if (text.size() > kMax) {
    size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut) + " ...";
  }
  return text;
}

json_object* member(json_object* object, const char* name) {
  json_object* value = nullptr;
  json_object_object_get_ex(object, name, &value);
  return value;
}

// An object of `members` taken from `answer`, each renamed as the pairs say.
json_object* pick(json_object* answer,
                  std::initializer_list<std::pair<const char*, const char*>> members) {
  json_object* out = json_object_new_object();
  for (const auto& [name, from] : members)
    json_add(out, name, json_object_get(member(answer, from)));
  return out;
}

class Demo {
 public:
  explicit Demo(standin::Service& service) : service_(service) {
    head_.host = service.address();
    head_.port = service.http_port();
    const standin::AnswerSet built_in = standin::AnswerSet::built_in();
    for (const auto& [path, text] : built_in.texts()) {
      answers_[path].reset(json_tokener_parse(text.c_str()));
      answer_texts_[path] = text;
    }
  }

  int failures() const { return failures_; }
  int steps() const { return steps_; }

  void run() {
    service_list();
    account_queries();
    game_queries();
    transport();
    faults();
    reports();
  }

 private:
  void step(bool ok, const std::string& title, const std::string& detail) {
    ++steps_;
    if (!ok) ++failures_;
    std::printf("[%s] %-36s %s\n", ok ? " ok " : "FAIL", title.c_str(), detail.c_str());
    std::fflush(stdout);
  }

  json_object* answer(const char* path) {
    json_object* value = answers_[path].get();
    if (value == nullptr)
      throw ToolFailure(std::string("the built-in answer ") + path + " is not JSON");
    return value;
  }

  // Runs a query on `path` and checks the result code, the output (as
  // `view` shows it) and that the service received the request text exactly.
  void query(const std::string& title, const char* name, const std::string& path,
             const std::string& request, int32_t code, json_object* expected_output,
             const std::function<json_object*(json_object*)>& view = nullptr,
             const std::function<std::string()>& extra = nullptr) {
    Json expected(expected_output);
    const QueryInfo* info = find_query(name);
    RequestHead head = head_;
    head.path = path;
    head.request = request;
    QueryOptions options;
    options.save_file = kSaveFile;
    QueryOutcome out;
    try {
      out = run_query(*info, head, options);
    } catch (const std::runtime_error& e) {
      service_.take_exchanges();
      step(false, title, e.what());
      return;
    }
    std::string detail =
        std::string(name) + " -> " + std::to_string(out.code) + " (" + out.meaning + ")";
    bool ok = out.code == code;
    if (!ok) detail += ", expected " + std::to_string(code);
    Json shown(view && out.output ? view(out.output.get())
                                  : (out.output ? json_object_get(out.output.get()) : nullptr));
    if (ok && !same(expected.get(), shown.get())) {
      ok = false;
      detail += ": " + difference(expected.get(), shown.get());
    } else if (ok && out.output) {
      detail += ": " + summary(out.output.get());
    }
    const auto exchanges = service_.take_exchanges();
    if (exchanges.size() != 1 || exchanges[0].path != "/" + path) {
      ok = false;
      detail += "; the service saw " + std::to_string(exchanges.size()) + " requests" +
                (exchanges.empty() ? "" : ", the last for " + exchanges.back().path);
    } else if (exchanges[0].request != request) {
      ok = false;
      detail += "; the request arrived as " + (exchanges[0].request
                                                   ? "\"" + display(*exchanges[0].request) + "\""
                                                   : "[" + exchanges[0].request_error + "]");
    }
    if (ok && extra) {
      const std::string problem = extra();
      if (!problem.empty()) {
        ok = false;
        detail += "; " + problem;
      }
    }
    step(ok, title, detail);
  }

  std::string request_for(const char* what) const {
    return std::string("{\"user\":\"") + kUser + "\",\"ver\":\"" + kVersion + "\",\"q\":\"" + what +
           "\"}";
  }

  void service_list() {
    json_object* list = answer("servers");
    // The saved file is the answer body exactly: the GBK text, compressed.
    const std::string body =
        standin::zlib_compress(client_text(answer_texts_["servers"], "servers"));
    json_object* saved = json_object_new_object();
    json_add(saved, "saveFile", json_text(kSaveFile));
    json_add(saved, "bytes", json_object_new_int64(static_cast<int64_t>(body.size())));
    query("fetch and save the service list", "http_access_protocol2", "servers",
          request_for("serverlist"), 0, saved, nullptr, [&body]() -> std::string {
            try {
              return read_file_bytes(kSaveFile) == body ? "" : "the file is not the answer body";
            } catch (const UsageError& e) {
              return e.what();
            }
          });

    Json servers(json_object_new_array());
    json_object* server_list = member(list, "server");
    for (size_t i = 0; i < json_object_array_length(server_list); ++i) {
      json_object* s = json_object_array_get_idx(server_list, i);
      json_object* row = pick(s, {{"payId", "payId"},
                                  {"product", "product"},
                                  {"serverId", "id"},
                                  {"area", "area"},
                                  {"userbw", "userbw"},
                                  {"paramValue2", "paramValue2"},
                                  {"maxOnline", "maxOnline"},
                                  {"serverName", "serverName"},
                                  {"serverType", "serverType"},
                                  {"paramValue1", "paramValue1"},
                                  {"userablePer", "userablePer"},
                                  {"msg", "msg"}});
      json_add(row, "charge", json_object_new_int(json_object_get_boolean(member(s, "charge"))));
      json_object* addresses = json_object_new_array();
      json_object* ips = member(s, "serverip");
      for (size_t a = 0; a < json_object_array_length(ips); ++a) {
        json_object_array_add(addresses,
                              pick(json_object_array_get_idx(ips, a),
                                   {{"ip", "ip"}, {"net", "net"}, {"IPv6", "IPv6"}, {"id", "id"}}));
      }
      json_add(row, "serverIp", addresses);
      json_object_array_add(servers.get(), row);
    }
    check_list("read the relay servers", "get_data_from_file", read_servers, list, servers.get());

    Json types(json_object_new_array());
    json_object* type_list = member(list, "serverType");
    for (size_t i = 0; i < json_object_array_length(type_list); ++i) {
      json_object_array_add(
          types.get(), pick(json_object_array_get_idx(type_list, i),
                            {{"id", "id"}, {"name", "name"}, {"pid", "pid"}, {"level", "level"}}));
    }
    check_list("read the server types", "get_servertype_from_file", read_server_types, list,
               types.get());
  }

  void check_list(const std::string& title, const char* name,
                  ListOutcome (*read)(const std::string&), json_object* list, json_object* rows) {
    ListOutcome out;
    try {
      out = read(kSaveFile);
    } catch (const std::runtime_error& e) {
      step(false, title, e.what());
      return;
    }
    std::string detail =
        std::string(name) + " -> " + std::to_string(out.code) + " (" + out.meaning + ")";
    bool ok = out.code == 0;
    if (ok && !same(member(list, "err"), out.err.get())) {
      ok = false;
      detail += ": err " + difference(member(list, "err"), out.err.get());
    } else if (ok && !same(rows, out.rows.get())) {
      ok = false;
      detail += ": " + difference(rows, out.rows.get());
    } else if (ok) {
      const size_t n = json_object_array_length(rows);
      detail += ": " + std::to_string(n) + " rows";
      if (n > 0) {
        json_object* first = json_object_array_get_idx(out.rows.get(), 0);
        json_object* label = member(first, "serverName") != nullptr ? member(first, "serverName")
                                                                    : member(first, "name");
        if (label != nullptr) detail += ", the first \"" + readable(label) + "\"";
      }
    }
    step(ok, title, detail);
  }

  void account_queries() {
    json_object* v = answer("verification");
    query("verify the account", "get_verification_from_service", "verification",
          std::string("{\"user\":\"") + kUser +
              "\",\"pwd\":\"e10adc3949ba59abbe56e057f20f883e\",\"ver\":\"" + kVersion +
              "\",\"mac\":\"00-16-3E-5A-21-07\"}",
          0,
          pick(v, {{"err", "err"},
                   {"haveTime", "haveTime"},
                   {"expired", "expired"},
                   {"usepay", "usepay"},
                   {"ut", "ut"},
                   {"msg", "msg"},
                   {"bindUnvalide", "bindUnvalide"},
                   {"ed", "ed"},
                   {"endBind", "endBind"}}));
    query("learn the outside address", "get_local_ip_from_service", "local_ip",
          request_for("localip"), 0, pick(answer("local_ip"), {{"ip", "ip"}}));
    json_object* ad = answer("ad_link");
    query("fetch the advertisement link", "get_kiv_adLink_from_service", "ad_link",
          request_for("adlink"), json_object_get_int(member(ad, "err")),
          pick(ad, {{"key", "key"}, {"ref", "ref"}, {"url", "url"}, {"ref1", "ref1"}}));
    json_object* title = answer("client_title");
    query("fetch the pop-up notice", "get_kiv_client_title_from_service", "client_title",
          request_for("title"), json_object_get_int(member(title, "err")),
          pick(title, {{"id", "id"},
                       {"title", "title"},
                       {"url", "url"},
                       {"usertype", "usertype"},
                       {"msg", "msg"},
                       {"isopen", "isopen"},
                       {"isbind", "isbind"}}));
    query("check after the VPN dial-up", "get_loginvpn_from_service", "loginvpn",
          request_for("loginvpn"), 0,
          pick(answer("loginvpn"), {{"err_value", "err"}, {"message", "msg"}}));
    query("fetch the VPN connection data", "get_vpn_info", "vpn_info", request_for("vpninfo"), 0,
          pick(answer("vpn_info"),
               {{"VPNIP", "VPNIP"}, {"LocalOutIP", "LocalOutIP"}, {"VPNPort", "VPNPort"}}));
    query("check around hanging up", "check_hangup_from_service", "hangup", request_for("hangup"),
          0, pick(answer("hangup"), {{"err_value", "err"}, {"message", "usermsg"}}));
  }

  void game_queries() {
    // The list queries hand over the member's JSON text: compare what it says.
    auto parsed_text = [](json_object* output) -> json_object* {
      json_object* view = json_object_new_object();
      json_add(view, "calls", json_object_get(member(output, "calls")));
      json_object* text = member(output, "text");
      json_add(view, "text",
               text == nullptr ? nullptr : json_tokener_parse(json_object_get_string(text)));
      return view;
    };
    auto text_of = [this](const char* path, const char* name) {
      json_object* expected = json_object_new_object();
      json_add(expected, "calls", json_object_new_int(1));
      json_add(expected, "text", json_object_get(member(answer(path), name)));
      return expected;
    };
    query("fetch the game routes", "get_gameroute_from_server", "gameroute",
          request_for("gameroute"), 0, text_of("gameroute", "gameroute"), parsed_text);
    query("fetch the user types", "get_usertypelist_from_server", "usertypelist",
          request_for("usertypelist"), 0, text_of("usertypelist", "usertypelist"), parsed_text);
    query("fetch the game processes", "get_gameprocess_from_server", "gameprocess",
          request_for("gameprocess"), 0, text_of("gameprocess", "gameprocess"), parsed_text);

    auto rows_of = [this](const char* path,
                          std::initializer_list<std::pair<const char*, const char*>> names) {
      json_object* rows = json_object_new_array();
      json_object* list = member(answer(path), "gamedelay");
      for (size_t i = 0; i < json_object_array_length(list); ++i) {
        json_object_array_add(rows, pick(json_object_array_get_idx(list, i), names));
      }
      json_object* expected = json_object_new_object();
      json_add(expected, "rows", rows);
      return expected;
    };
    query("fetch the server delays", "get_serverdelay_from_server", "serverdelay",
          request_for("serverdelay"), 0,
          rows_of("serverdelay",
                  {{"gameid", "gameid"}, {"serverid", "serverid"}, {"delay", "delay"}}));
    query("fetch the area delays", "get_areadelay_from_server", "areadelay",
          request_for("areadelay"), 0,
          rows_of("areadelay", {{"nodeId", "nodeId"}, {"areaId", "areaId"}, {"delay", "delay"}}));
    query("upload the game-route data", "save_game_route_info", "save_game_route",
          std::string("{\"user\":\"") + kUser + "\",\"gameid\":1001,\"route\":\"198.51.100.0/24\"}",
          0, pick(answer("save_game_route"), {{"err_value", "err"}}));
  }

  void transport() {
    const std::string text = client_text(answer_texts_["local_ip"], "local_ip");
    json_object* expected = json_object_new_object();
    json_add(expected, "respond_size", json_object_new_int64(static_cast<int64_t>(text.size())));
    json_add(expected, "respond_data", json_text(display(text)));
    query("post a request directly", "http_access_protocol1", "local_ip", request_for("localip"), 0,
          expected);
  }

  void with_fault(const char* path, const char* spec, const std::function<void()>& run) {
    std::string why;
    service_.set_fault(path, *standin::parse_fault(spec, &why));
    run();
    service_.clear_fault(path);
  }

  void faults() {
    with_fault("vpn_info", "status=500", [this] {
      query("the service fails (HTTP 500)", "get_vpn_info", "vpn_info", request_for("vpninfo"), 113,
            nullptr);
    });
    with_fault("verification", "not-json", [this] {
      query("the answer is an HTML page", "get_verification_from_service", "verification",
            request_for("verify"), 114, nullptr);
    });
    with_fault("save_game_route", "empty", [this] {
      query("the answer is empty", "save_game_route_info", "save_game_route",
            request_for("saveroute"), 113, nullptr);
    });
    with_fault("local_ip", "not-zlib", [this] {
      query("the answer is not compressed", "get_local_ip_from_service", "local_ip",
            request_for("localip"), 102, nullptr);
    });
    // A zlib failure is reported without a text of its own, and the system
    // has none for its number, so only the message log sees it. A failed
    // system call is reported with the system's text and reaches the log server.
    ListOutcome missing;
    try {
      missing = read_servers("no-such-list.dat");
    } catch (const std::runtime_error& e) {
      missing.code = -1;
      missing.meaning = e.what();
    }
    const auto datagrams = service_.wait_for_datagrams(1, kDatagramWait);
    std::string detail =
        "get_data_from_file -> " + std::to_string(missing.code) + " (" + missing.meaning + "); ";
    bool ok = missing.code == 4 && !datagrams.empty() && datagrams[0].record.has_value();
    if (ok) {
      Json record(json_tokener_parse(datagrams[0].record->c_str()));
      json_object* param = member(record.get(), "param");
      ok = readable(member(record.get(), "act")) == "BugService" &&
           json_object_get_int(member(param, "func_id")) == 304 &&
           readable(member(param, "error_func_name")) == "OpenFile";
    }
    detail += datagrams.empty() ? "no failure report arrived"
                                : "the log server got " + datagrams[0].line();
    step(ok, "a missing list is reported", detail);

    const std::string original = answer_texts_["gameroute"];
    service_.set_answer("gameroute", "{\"err\":0}");
    query("the service refuses the game routes", "get_gameroute_from_server", "gameroute",
          request_for("gameroute"), 1, nullptr);
    service_.set_answer("gameroute", original);
  }

  // Sends a report and checks the one datagram it gives.
  void report(const std::string& title, const char* name, const std::vector<std::string>& args,
              const std::string& expected_utf8, bool exact = true) {
    const ReportInfo* info = find_report(name);
    try {
      const auto values = parse_report_args(*info, args, &client_text);
      LibraryOutput divert;
      info->send(values);
    } catch (const std::runtime_error& e) {
      step(false, title, e.what());
      return;
    }
    const auto datagrams = service_.wait_for_datagrams(1, kDatagramWait);
    if (datagrams.empty()) {
      step(false, title, std::string(name) + ": no datagram arrived");
      return;
    }
    const standin::Datagram& d = datagrams[0];
    const std::string expected = client_text(expected_utf8, "record");
    bool ok = d.record.has_value();
    if (ok && exact) {
      ok = *d.record == expected;
    } else if (ok) {  // `expected` is the record's head; a non-empty text and "}} follow
      ok = d.record->starts_with(expected) && d.record->ends_with("\"}}") &&
           d.record->size() > expected.size() + 3;
    }
    step(ok, title,
         std::string(name) + " -> " + d.line() +
             (ok ? "" : "; expected " + expected_utf8 + (exact ? "" : "...\"}}")));
  }

  void reports() {
    const std::string v = kVersion, u = kUser;
    report("the login window opens", "open_login_report", {v},
           "{\"act\":\"OpenLoginService\",\"param\":{\"kiv_version\":\"" + v + "\"}}");
    report("the login succeeds", "login_state_report", {v, u, "1"},
           "{\"act\":\"LoginService\",\"param\":{\"kiv_version\":\"" + v + "\",\"user_name\":\"" +
               u + "\",\"login_state\":1}}");
    report("the link comes up", "link_report", {"1", "2", "198.51.100.21", "上海电信一区", u, "2"},
           "{\"act\":\"LinkService\",\"param\":{\"link_mode\":1,\"link_state\":2,"
           "\"link_service_ip\":\"198.51.100.21\",\"userType_Id\":2,"
           "\"link_service_name\":\"上海电信一区\",\"link_account\":\"" +
               u + "\"}}");
    report("the client records an operation", "client_operate_report",
           {"{\"op\":\"open_settings\",\"page\":\"route\"}"},
           "{\"act\":\"ClientOperate\",\"param\":{\"op\":\"open_settings\",\"page\":\"route\"}}");
    report("the user disconnects", "kiv_disconnect_report",
           {v, u, "198.51.100.21", "上海电信一区", "1"},
           "{\"act\":\"DisconnServer\",\"param\":{\"kiv_version\":\"" + v + "\",\"user_name\":\"" +
               u +
               "\",\"dial_module\":1,\"server_ip\":\"198.51.100.21\","
               "\"server_name\":\"上海电信一区\"}}");
    report("the line drops", "break_report", {v, u, "198.51.100.21", "1", "3"},
           "{\"act\":\"OutLineState\",\"param\":{\"kiv_version\":\"" + v + "\",\"user_name\":\"" +
               u + "\", \"server_ip\":\"198.51.100.21\",\"dial_mode\":1,\"disconnect_type\":3}}");
    report("a failure with its own text", "bug_report",
           {"3", "304", "2", "OpenFile", "服务列表文件丢失"},
           "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":304,\"error_number\":2,"
           "\"error_func_name\":\"OpenFile\",\"error_specify\":\"服务列表文件丢失\"}}");
    report("a failure with the system's text", "bug_report", {"3", "304", "2", "OpenFile"},
           "{\"act\":\"BugService\",\"param\":{\"module_id\":3,\"func_id\":304,\"error_number\":2,"
           "\"error_func_name\":\"OpenFile\",\"error_specify\":\"",
           false);
    const auto stray = service_.wait_for_datagrams(1, std::chrono::milliseconds(200));
    step(stray.empty(), "no other datagram arrives",
         stray.empty() ? "the log server saw exactly the reports above" : stray[0].line());
  }

  standin::Service& service_;
  RequestHead head_;
  std::map<std::string, Json> answers_;
  std::map<std::string, std::string> answer_texts_;
  int failures_ = 0;
  int steps_ = 0;
};

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
    Demo demo(*service);
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
