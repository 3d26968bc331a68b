// `kiv demo`'s query steps: the service list fetched, saved and read, every
// query and the transport, and the failures the stand-in is set to give.
#include <functional>
#include <stdexcept>

#include "codec.h"
#include "demo.h"
#include "servers.h"

namespace kiv::tool::demo {

// Runs a query on `path` and checks the result code, the output (as
// `view` shows it) and that the service received the request text exactly.
void Demo::query_at(const std::string& title, const char* name, const std::string& path,
                    const std::string& request, int32_t code, json_object* expected_output,
                    const std::function<json_object*(json_object*)>& view,
                    const std::function<std::string()>& extra) {
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

// The same on the export's own path at the stand-in.
void Demo::query(const std::string& title, const char* name, const std::string& request,
                 int32_t code, json_object* expected_output,
                 const std::function<json_object*(json_object*)>& view,
                 const std::function<std::string()>& extra) {
  const QueryInfo* info = find_query(name);
  query_at(title, name, info->default_path, request, code, expected_output, view, extra);
}

std::string Demo::request_for(const char* what) const {
  return std::string("{\"user\":\"") + kUser + "\",\"ver\":\"" + kVersion + "\",\"q\":\"" + what +
         "\"}";
}

void Demo::service_list() {
  json_object* list = answer("servers");
  // The saved file is the answer body exactly: the GBK text, compressed.
  const std::string body = codec::zlib_compress(client_text(answer_texts_["servers"], "servers"));
  json_object* saved = json_object_new_object();
  json_add(saved, "saveFile", json_text(kSaveFile));
  json_add(saved, "bytes", json_object_new_int64(static_cast<int64_t>(body.size())));
  query("fetch and save the service list", "http_access_protocol2", request_for("serverlist"), 0,
        saved, nullptr, [&body]() -> std::string {
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

void Demo::check_list(const std::string& title, const char* name,
                      ListOutcome (*read)(const std::string&), json_object* list,
                      json_object* rows) {
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

void Demo::account_queries() {
  json_object* v = answer("verification");
  query("verify the account", "get_verification_from_service",
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
  query("learn the outside address", "get_local_ip_from_service", request_for("localip"), 0,
        pick(answer("local_ip"), {{"ip", "ip"}}));
  json_object* ad = answer("ad_link");
  query("fetch the advertisement link", "get_kiv_adLink_from_service", request_for("adlink"),
        json_object_get_int(member(ad, "err")),
        pick(ad, {{"key", "key"}, {"ref", "ref"}, {"url", "url"}, {"ref1", "ref1"}}));
  json_object* title = answer("client_title");
  query("fetch the pop-up notice", "get_kiv_client_title_from_service", request_for("title"),
        json_object_get_int(member(title, "err")),
        pick(title, {{"id", "id"},
                     {"title", "title"},
                     {"url", "url"},
                     {"usertype", "usertype"},
                     {"msg", "msg"},
                     {"isopen", "isopen"},
                     {"isbind", "isbind"}}));
  query("check after the VPN dial-up", "get_loginvpn_from_service", request_for("loginvpn"), 0,
        pick(answer("loginvpn"), {{"err_value", "err"}, {"message", "msg"}}));
  query("fetch the VPN connection data", "get_vpn_info", request_for("vpninfo"), 0,
        pick(answer("vpn_info"),
             {{"VPNIP", "VPNIP"}, {"LocalOutIP", "LocalOutIP"}, {"VPNPort", "VPNPort"}}));
  query("check around hanging up", "check_hangup_from_service", request_for("hangup"), 0,
        pick(answer("hangup"), {{"err_value", "err"}, {"message", "usermsg"}}));
}

void Demo::game_queries() {
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
  query("fetch the game routes", "get_gameroute_from_server", request_for("gameroute"), 0,
        text_of("gameroute", "gameroute"), parsed_text);
  query("fetch the user types", "get_usertypelist_from_server", request_for("usertypelist"), 0,
        text_of("usertypelist", "usertypelist"), parsed_text);
  query("fetch the game processes", "get_gameprocess_from_server", request_for("gameprocess"), 0,
        text_of("gameprocess", "gameprocess"), parsed_text);

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
  query(
      "fetch the server delays", "get_serverdelay_from_server", request_for("serverdelay"), 0,
      rows_of("serverdelay", {{"gameid", "gameid"}, {"serverid", "serverid"}, {"delay", "delay"}}));
  query("fetch the area delays", "get_areadelay_from_server", request_for("areadelay"), 0,
        rows_of("areadelay", {{"nodeId", "nodeId"}, {"areaId", "areaId"}, {"delay", "delay"}}));
  query("upload the game-route data", "save_game_route_info",
        std::string("{\"user\":\"") + kUser + "\",\"gameid\":1001,\"route\":\"198.51.100.0/24\"}",
        0, pick(answer("save_game_route"), {{"err_value", "err"}}));
}

void Demo::transport() {
  const std::string text = client_text(answer_texts_["local_ip"], "local_ip");
  json_object* expected = json_object_new_object();
  json_add(expected, "respond_size", json_object_new_int64(static_cast<int64_t>(text.size())));
  json_add(expected, "respond_data", json_text(display(text)));
  query_at("post a request directly", "http_access_protocol1", "local_ip", request_for("localip"),
           0, expected);
}

void Demo::with_fault(const char* path, const char* spec, const std::function<void()>& run) {
  std::string why;
  service_.set_fault(path, *standin::parse_fault(spec, &why));
  run();
  service_.clear_fault(path);
}

void Demo::faults() {
  with_fault("vpn_info", "status=500", [this] {
    query("the service fails (HTTP 500)", "get_vpn_info", request_for("vpninfo"), 113, nullptr);
  });
  with_fault("verification", "not-json", [this] {
    query("the answer is an HTML page", "get_verification_from_service", request_for("verify"), 114,
          nullptr);
  });
  with_fault("save_game_route", "empty", [this] {
    query("the answer is empty", "save_game_route_info", request_for("saveroute"), 113, nullptr);
  });
  with_fault("local_ip", "not-zlib", [this] {
    query("the answer is not compressed", "get_local_ip_from_service", request_for("localip"), 102,
          nullptr);
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
  detail +=
      datagrams.empty() ? "no failure report arrived" : "the log server got " + datagrams[0].line();
  step(ok, "a missing list is reported", detail);

  const std::string original = answer_texts_["gameroute"];
  service_.set_answer("gameroute", "{\"err\":0}");
  query("the service refuses the game routes", "get_gameroute_from_server",
        request_for("gameroute"), 1, nullptr);
  service_.set_answer("gameroute", original);
}

}  // namespace kiv::tool::demo
