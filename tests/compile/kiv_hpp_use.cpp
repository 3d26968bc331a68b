// Every function and template of kiv.hpp instantiated as a client uses them,
// built as an object under several language levels and options (without
// exceptions too): it compiles without a warning or the build fails.
#include "kiv.hpp"

#include <string_view>

int kiv_hpp_use(const kiv::svcquery_exports& bound, const kiv::logsend_exports& reports);
int kiv_hpp_use(const kiv::svcquery_exports& bound, const kiv::logsend_exports& reports) {
  const kiv::request_head h{"127.0.0.1", "path", 80, "http", "{}"};
  int ok = 0;
  ok += kiv::http_access_protocol1(h).ok();
  ok += kiv::http_access_protocol1(h, 16, bound).ok();
  ok += kiv::http_access_protocol2(h, "file", bound).ok();
  ok += kiv::get_data_from_file("file").ok();
  ok += kiv::get_data_from_file(
            "file", [](const kiv::server&) {}, bound)
            .ok();
  ok += kiv::get_servertype_from_file("file", bound).ok();
  ok += kiv::get_servertype_from_file("file", [](kiv::server_type) {}).ok();
  ok += kiv::get_verification_from_service(h, bound).ok();
  ok += kiv::get_local_ip_from_service(h).ok();
  ok += kiv::get_kiv_adLink_from_service(h).ok();
  ok += kiv::get_kiv_client_title_from_service(h).ok();
  ok += kiv::get_loginvpn_from_service(h).ok();
  ok += kiv::check_hangup_from_service(h).ok();
  ok += kiv::get_vpn_info(h).ok();
  ok += kiv::get_gameroute_from_server(h).ok();
  ok += kiv::get_usertypelist_from_server(h).ok();
  ok += kiv::get_gameprocess_from_server(h, bound).ok();
  ok += kiv::get_serverdelay_from_server(h).ok();
  ok += kiv::get_serverdelay_from_server(
            h, [](kiv::server_delay&&) {}, bound)
            .ok();
  ok += kiv::get_areadelay_from_server(h, bound).ok();
  const auto counted = [&ok](const kiv::area_delay& row) { ok += row.delay; };
  ok += kiv::get_areadelay_from_server(h, counted).ok();
  const auto saved = kiv::save_game_route_info(h);
  ok += saved.ok() ? *saved : 0;
  ok += static_cast<int>(saved.name().size()) + saved.code();

  kiv::break_report("1.0", "user", "ip", 1, 2, reports);
  kiv::bug_report(1, 2, 3, "func");
  kiv::bug_report(1, 2, 3, "func", std::string_view("text"), reports);
  kiv::client_operate_report("{}");
  kiv::kiv_disconnect_report("1.0", "user", "ip", "name", 1);
  kiv::link_report(1, 2, "ip", "name", "account", 3);
  kiv::login_state_report("1.0", "user", 1);
  kiv::open_login_report("1.0");

  kiv::message_handler_scope scope([&ok](std::string_view message) { ok += !message.empty(); });
  const auto found = kiv::svcquery_exports::bind([](const char*) -> void* { return nullptr; });
  using Procedure = int (*)();
  const auto procs = kiv::logsend_exports::bind([](const char*) -> Procedure { return nullptr; });
  return ok + found.complete() + procs.complete() + kiv::svcquery_exports::linked().complete();
}
