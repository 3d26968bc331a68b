// Game route and delay queries: the account queries' procedure with a
// hand-over to the caller's function in place of a record.
#include <cstddef>

#include "binding.h"
#include "heap.h"
#include "json_access.h"
#include "kiv_svcquery.h"
#include "query_messages.h"
#include "query_procedure.h"
#include "report_numbers.h"
#include "rows.h"

namespace kiv::svcquery {
namespace {

using query::Arg;

consteval query::Table game_query(const char* name, int32_t number, int32_t not_json_code,
                                  uint32_t answer_size, const char* refusal, bool stdout_trace) {
  return {
      .name = name,
      .func_id = number,
      .report_name = nullptr,  // a missing argument is only logged
      .answer_size = answer_size,
      .parse_failure = not_json_code,
      .lines = {.param = {"ERROR: PARAM, in %s()", Arg::kName},
                .alloc = {"ERROR: Failed to alloc memory ,in %s()", Arg::kName},
                .transport = {"ERROR:  Failed call http_access_protocol1(),in %s()", Arg::kName},
                .parse = {"ERROR : Failed to call json_tokener_parser(), in %s()", Arg::kName},
                .refusal = {refusal, Arg::kName}},
      .stdout_trace = stdout_trace};
}

constexpr query::Table kGameRoute =
    game_query("get_gameroute_from_server", func_id::get_gameroute_from_server,
               not_json::get_gameroute_from_server, 1048576, msg::kServerFailedBang, true);
constexpr query::Table kUserTypeList =
    game_query("get_usertypelist_from_server", func_id::get_usertypelist_from_server,
               not_json::get_usertypelist_from_server, 2048, msg::kServerFailed, false);
constexpr query::Table kGameProcess =
    game_query("get_gameprocess_from_server", func_id::get_gameprocess_from_server,
               not_json::get_gameprocess_from_server, 1048576, msg::kServerFailedBang, true);
constexpr query::Table kServerDelay =
    game_query("get_serverdelay_from_server", func_id::get_serverdelay_from_server,
               not_json::get_serverdelay_from_server, 4096, msg::kServerFailed, false);
constexpr query::Table kAreaDelay =
    game_query("get_areadelay_from_server", func_id::get_areadelay_from_server,
               not_json::get_areadelay_from_server, 4096, msg::kServerFailed, false);

constexpr query::Table kSaveGameRoute{
    .name = "save_game_route_info",
    .func_id = func_id::save_game_route_info,
    .report_name = "get_check_ischeck_info",
    .answer_size = 256,
    .parse_failure = KIV_OK,
    // The route data was never sent: a failure like any failed exchange.
    .json_unbound = KIV_E_SAVE_ROUTE_FAILED,
    .lines =
        {
            .param = {"ERROR: PARAM, in get_check_ischeck_info()"},
            .alloc = {"ERROR: Failed to alloc memory, in get_check_ischeck_info()"},
            .transport =
                {"Error:  Failed to call http_access_protocol(), in get_check_ischeck_info()"},
            .parse = {"Error:  Failed to parse json"},
        },
    .transport_override = KIV_E_SAVE_ROUTE_FAILED};

int32_t list_query(const query::Table& table, const query::Head& head, const char* member,
                   int32_t refused, json_text_callback callback, void* context) noexcept {
  return query::run(table, head, callback != nullptr && context != nullptr,
                    [&](json_object* root, int32_t err) {
                      if (err == 0) return refused;
                      json_object* value = json::member(root, member);
                      if (value == nullptr) return KIV_OK;
                      const char* text = json::text_of(value);
                      if (text == nullptr) return query::out_of_memory(table);
                      if (table.stdout_trace) query::stdout_line(msg::kParseOk);
                      callback(text, context);
                      return KIV_OK;
                    });
}

// A delay row: three integers, each name in a 10-byte block and each value
// in the first four bytes of a 32-byte block; a missing member gives 0.
constexpr std::size_t kDelayNameBlock = 10;
constexpr uint16_t kDelayValueBlock = 32;
using DelayFields = rows::Field[3];

constexpr DelayFields kServerDelayFields = {
    {"gameid", "gameid", rows::Kind::kInt, kDelayValueBlock, rows::Absent::kClear},
    {"serverid", "serverid", rows::Kind::kInt, kDelayValueBlock, rows::Absent::kClear},
    {"delay", "delay", rows::Kind::kInt, kDelayValueBlock, rows::Absent::kClear},
};
constexpr DelayFields kAreaDelayFields = {
    {"nodeId", "nodeId", rows::Kind::kInt, kDelayValueBlock, rows::Absent::kClear},
    {"areaId", "areaId", rows::Kind::kInt, kDelayValueBlock, rows::Absent::kClear},
    {"delay", "delay", rows::Kind::kInt, kDelayValueBlock, rows::Absent::kClear},
};

int32_t delay_query(const query::Table& table, const query::Head& head, const DelayFields& fields,
                    row_callback callback, void* context) noexcept {
  return query::run(
      table, head, callback != nullptr && context != nullptr, [&](json_object* root, int32_t err) {
        if (err == 0) return KIV_OK;
        json_object* list = json::member(root, "gamedelay");
        if (list == nullptr) return KIV_OK;
        // One set of blocks for the whole answer, rewritten per element.
        rows::RowSet row;
        if (!row.allocate(fields, kDelayNameBlock)) return KIV_E_NO_ROW_MEMORY;
        const bool walked = json::for_each_object(list, [&](const json_object* element) {
          if (!row.fill(element)) return false;
          row.deliver(callback, context);
          return true;
        });
        return walked ? KIV_OK : query::out_of_memory(table);
      });
}

}  // namespace
}  // namespace kiv::svcquery

using namespace kiv::svcquery;

int32_t get_gameroute_from_server(const char* host, const char* url, uint32_t port,
                                  const char* protocol, const char* request_data,
                                  int32_t request_size, json_text_callback callback,
                                  void* context) {
  return list_query(kGameRoute, {host, url, port, protocol, request_data, request_size},
                    "gameroute", KIV_E_SERVICE_REFUSED, callback, context);
}

int32_t get_usertypelist_from_server(const char* host, const char* url, uint32_t port,
                                     const char* protocol, const char* request_data,
                                     int32_t request_size, json_text_callback callback,
                                     void* context) {
  return list_query(kUserTypeList, {host, url, port, protocol, request_data, request_size},
                    "usertypelist", KIV_OK, callback, context);
}

int32_t get_gameprocess_from_server(const char* host, const char* url, uint32_t port,
                                    const char* protocol, const char* request_data,
                                    int32_t request_size, json_text_callback callback,
                                    void* context) {
  return list_query(kGameProcess, {host, url, port, protocol, request_data, request_size},
                    "gameprocess", KIV_E_SERVICE_REFUSED, callback, context);
}

int32_t get_serverdelay_from_server(const char* host, const char* url, uint32_t port,
                                    const char* protocol, const char* request_data,
                                    int32_t request_size, row_callback callback, void* context) {
  return delay_query(kServerDelay, {host, url, port, protocol, request_data, request_size},
                     kServerDelayFields, callback, context);
}

int32_t get_areadelay_from_server(const char* host, const char* url, uint32_t port,
                                  const char* protocol, const char* request_data,
                                  int32_t request_size, row_callback callback, void* context) {
  return delay_query(kAreaDelay, {host, url, port, protocol, request_data, request_size},
                     kAreaDelayFields, callback, context);
}

int32_t save_game_route_info(const char* host, const char* url, uint32_t port, const char* protocol,
                             const char* request_data, int32_t request_size, int32_t* err_value) {
  return query::run(kSaveGameRoute, {host, url, port, protocol, request_data, request_size},
                    err_value != nullptr, [err_value](json_object* root, int32_t err) {
                      if (json::member(root, "err") != nullptr) *err_value = err;
                      return KIV_OK;
                    });
}
