// The scenarios of the allocation-failure torture (see torture_runner.cpp).
#include "scenarios.h"

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "child_process.h"
#include "kiv_clientlog.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"
#include "zlib_util.h"

namespace kiv::torture {

Trace g_trace;

// ---- the world the exports talk to ----------------------------------------------------

uint32_t g_port = 0;
std::string g_list_file;   // a saved service list
std::string g_saved_file;  // where http_access_protocol2 saves

// The service's answers, by path. Members that are numbers but are read as
// texts make the JSON library allocate while the answer is read.
extern const std::map<std::string, std::string> kAnswers = {
    {"/protocol", R"({"err":1,"text":"hello"})"},
    {"/verification", R"({"err":1,"haveTime":3600,"expired":0,"usepay":1,"ut":20270218,"msg":"ok",)"
                      R"("bindUnvalide":0,"ed":"2027-12-31","endBind":"2027-06-30"})"},
    {"/local_ip", R"({"err":1,"ip":"203.0.113.45"})"},
    // "err" 2: the result is the answer's own value, told apart from code 1.
    {"/ad_link",
     R"({"err":2,"key":"spring","ref":"banner","url":"http://www.example.com/promo","ref1":7})"},
    {"/client_title",
     R"({"err":2,"id":27,"title":"notice","url":"http://www.example.com/n/27","usertype":2,)"
     R"("msg":20270301,"isopen":1,"isbind":0})"},
    {"/loginvpn", R"({"err":1,"msg":"dial-up checked"})"},
    {"/hangup", R"({"err":1,"usermsg":42})"},
    {"/vpn_info", R"({"VPNIP":"198.51.100.7","LocalOutIP":3405803821,"VPNPort":1723})"},
    {"/gameroute", R"({"err":1,"gameroute":[{"gameid":1001,"route":["198.51.100.0/24"]}]})"},
    {"/usertypelist", R"({"err":1,"usertypelist":[{"id":1,"name":"vip"}]})"},
    {"/gameprocess", R"({"err":1,"gameprocess":[{"gameid":1001,"process":["game.exe"]}]})"},
    {"/serverdelay", R"({"err":1,"gamedelay":[{"gameid":1001,"serverid":101,"delay":38},)"
                     R"({"gameid":1002,"serverid":201,"delay":61}]})"},
    {"/areadelay", R"({"err":1,"gamedelay":[{"nodeId":11,"areaId":3,"delay":25}]})"},
    {"/save_game_route", R"({"err":1})"},
};

extern const char kServiceList[] =
    R"({"err":1,"server":[{"id":101,"payId":2,"product":1,"area":3,"charge":true,)"
    R"("serverip":[{"id":1,"ip":"198.51.100.21","net":1,"IPv6":0},{"id":2,"ip":"198.51.100.22",)"
    R"("net":2}],"userbw":"20M","paramValue2":80,"maxOnline":500,"serverName":"relay one",)"
    R"("serverType":42,"paramValue1":1.5,"userablePer":0.75,"msg":"fast"},)"
    R"({"id":102,"serverip":[],"serverName":"relay two"}],)"
    R"("serverType":[{"id":12,"name":"vip","pid":"0","level":1},{"id":"13","name":"free"}]})";

namespace {

constexpr char kHost[] = "127.0.0.1";
constexpr char kProtocol[] = "http";
constexpr char kRequest[] = "request-text";
constexpr int32_t kRequestSize = sizeof kRequest - 1;
constexpr int32_t kOptionRefused = static_cast<int32_t>(0xE0FF00FFu);

// ---- recording callbacks and caller storage --------------------------------------------

enum class Cell : uint8_t { kInt, kText, kFloat, kSlot };

char g_address_marker;

void record_row(const char* kind, int32_t count, char** names, void** values,
                std::initializer_list<Cell> cells) {
  g_trace.text(kind).text(" ").number(count);
  int32_t i = 0;
  for (const Cell cell : cells) {
    if (i >= count) break;
    g_trace.text(" ").text(names[i]).text("=");
    switch (cell) {
      case Cell::kInt: {
        int32_t value;
        std::memcpy(&value, values[i], sizeof value);
        g_trace.number(value);
        break;
      }
      case Cell::kText:
        g_trace.text(static_cast<const char*>(values[i]));
        break;
      case Cell::kFloat: {
        float value;
        std::memcpy(&value, values[i], sizeof value);
        g_trace.real(value);
        break;
      }
      case Cell::kSlot:
        g_trace.text(values[i] == &g_address_marker ? "list" : values[i] ? "other" : "null");
        break;
    }
    ++i;
  }
  g_trace.end_line();
}

constexpr Cell I = Cell::kInt, T = Cell::kText, F = Cell::kFloat, S = Cell::kSlot;

void on_server(int32_t count, char** names, void** values, void*) {
  record_row("server", count, names, values, {I, I, I, I, I, S, T, I, I, T, T, F, F, T});
}
void on_address(int32_t count, char** names, void** values, void* slot) {
  record_row("address", count, names, values, {T, I, I, I});
  *static_cast<void**>(slot) = &g_address_marker;
}
void on_type(int32_t count, char** names, void** values, void*) {
  record_row("type", count, names, values, {T, T, T, I});
}
void on_delay(int32_t count, char** names, void** values, void*) {
  record_row("delay", count, names, values, {I, I, I});
}
void on_text(const char* text, void*) {
  g_trace.text("text ").text(text).end_line();
}

// Caller text buffers, as large as the largest answer buffer that fills them.
struct TextBuffers {
  char a[1024], b[1024], c[1024], d[1024];
  void reset() {
    for (char* buffer : {a, b, c, d}) std::strcpy(buffer, "<untouched>");
  }
};
TextBuffers g_texts;
verification_info g_verification;
ad_link_info g_ad_link;
client_title_info g_title;
vpn_connection_info g_vpn;
int32_t g_err;
char g_respond[1024];
uint32_t g_respond_size;
int g_context;

constexpr int32_t kUntouched = -12345;

// A field of the caller's storage, written to the trace after the rows.
void field(const char* name, int32_t value) {
  g_trace.text(kField).text(name).text("=").number(value).end_line();
}
void field(const char* name, const char* value) {
  g_trace.text(kField).text(name).text("=").text(value).end_line();
}

// ---- scenarios ------------------------------------------------------------------------

const std::set<int32_t> kQueryFailures = {1, 101, 102, 113, 114, kOptionRefused};
const std::set<int32_t> kListQueryFailures = {1, 101, 102, 113, 114, kOptionRefused, 10003};
const std::set<int32_t> kReaderFailures = {1, 4, 7, 8, 102, 114, 10003};

#define HEAD(path) kHost, path, g_port, kProtocol, kRequest, kRequestSize

// The export table: a scenario names its export through EXPORT, which
// fails to compile for a name the table does not hold, and takes its shape
// from the export's kind.
struct TableRow {
  std::string_view name;
  std::string_view kind;
};
constexpr TableRow kExportTable[] = {
#define KIV_EXPORT(name, library, function, kind, path, summary) {#name, #kind},
#include "kiv_exports.inc"
};

consteval const char* exported(std::string_view name) {
  for (const TableRow& row : kExportTable) {
    if (row.name == name) return row.name.data();
  }
  throw "not an export of the table";
}
consteval Shape shape_of(std::string_view name) {
  for (const TableRow& row : kExportTable) {
    if (row.name == name) return row.kind == "report" ? Shape::kDatagrams : Shape::kCaller;
  }
  throw "not an export of the table";
}
#define EXPORT(name) exported(#name), shape_of(#name)

void reset_nothing() {}
void collect_nothing() {}

const Scenario kScenarioTable[] = {
    // ---- transport
    {EXPORT(http_access_protocol1), kQueryFailures,
     [] {
       std::memset(g_respond, '~', sizeof g_respond);
       g_respond_size = sizeof g_respond;
     },
     [] { return http_access_protocol1(HEAD("protocol"), g_respond, &g_respond_size); },
     [] {
       field("size", static_cast<int32_t>(g_respond_size));
       // Written only on success: the text, when it is one.
       const bool text = ::memchr(g_respond, '\0', sizeof g_respond) != nullptr;
       field("text", text ? g_respond : "<untouched>");
     }},
    {EXPORT(http_access_protocol2),
     {1, 5, 101, 113, 114, 210605, kOptionRefused},
     [] { std::filesystem::remove(g_saved_file); },
     [] { return http_access_protocol2(HEAD("protocol"), g_saved_file.c_str()); },
     [] {
       std::string saved = "<untouched>";
       if (std::filesystem::exists(g_saved_file)) {
         std::string text;
         saved = kiv::test::zlib_inflate(kiv::test::read_file(g_saved_file), &text)
                     ? text
                     : "<not a zlib stream>";
       }
       field("file", saved.c_str());
     }},
    // ---- cached-list readers
    {EXPORT(get_data_from_file), kReaderFailures, [] { g_err = kUntouched; },
     [] {
       return get_data_from_file(g_list_file.c_str(), on_server, on_address, &g_context, &g_err);
     },
     [] { field("err", g_err); }},
    {EXPORT(get_servertype_from_file), kReaderFailures, [] { g_err = kUntouched; },
     [] { return get_servertype_from_file(g_list_file.c_str(), &g_context, on_type, &g_err); },
     [] { field("err", g_err); }},
    // ---- account and connection queries
    {EXPORT(get_verification_from_service), kQueryFailures,
     [] {
       g_texts.reset();
       g_verification = {kUntouched, kUntouched, kUntouched, kUntouched, g_texts.a,
                         g_texts.b,  kUntouched, g_texts.c,  g_texts.d};
     },
     [] { return get_verification_from_service(HEAD("verification"), &g_verification); },
     [] {
       const verification_info& v = g_verification;
       field("err", v.err);
       field("haveTime", v.haveTime);
       field("expired", v.expired);
       field("usepay", v.usepay);
       field("ut", v.ut);
       field("msg", v.msg);
       field("bindUnvalide", v.bindUnvalide);
       field("ed", v.ed);
       field("endBind", v.endBind);
     }},
    {EXPORT(get_local_ip_from_service), kQueryFailures, [] { g_texts.reset(); },
     [] { return get_local_ip_from_service(HEAD("local_ip"), g_texts.a); },
     [] { field("ip", g_texts.a); }},
    {EXPORT(get_kiv_adLink_from_service), kQueryFailures,
     [] {
       g_texts.reset();
       g_ad_link = {g_texts.a, g_texts.b, g_texts.c, g_texts.d};
     },
     [] { return get_kiv_adLink_from_service(HEAD("ad_link"), &g_ad_link); },
     [] {
       field("key", g_ad_link.key);
       field("ref", g_ad_link.ref);
       field("url", g_ad_link.url);
       field("ref1", g_ad_link.ref1);
     }},
    {EXPORT(get_kiv_client_title_from_service), kQueryFailures,
     [] {
       g_texts.reset();
       g_title = {kUntouched, g_texts.a, g_texts.b, kUntouched, g_texts.c, kUntouched, kUntouched};
     },
     [] { return get_kiv_client_title_from_service(HEAD("client_title"), &g_title); },
     [] {
       field("id", g_title.id);
       field("title", g_title.title);
       field("url", g_title.url);
       field("usertype", g_title.usertype);
       field("msg", g_title.msg);
       field("isopen", g_title.isopen);
       field("isbind", g_title.isbind);
     }},
    {EXPORT(get_loginvpn_from_service), kQueryFailures,
     [] {
       g_texts.reset();
       g_err = kUntouched;
     },
     [] { return get_loginvpn_from_service(HEAD("loginvpn"), &g_err, g_texts.a); },
     [] {
       field("err", g_err);
       field("msg", g_texts.a);
     }},
    {EXPORT(check_hangup_from_service), kQueryFailures,
     [] {
       g_texts.reset();
       g_err = kUntouched;
     },
     [] { return check_hangup_from_service(HEAD("hangup"), &g_err, g_texts.a); },
     [] {
       field("err", g_err);
       field("usermsg", g_texts.a);
     }},
    // The record is cleared once the answer is in: its untouched state is the
    // cleared one, so that a parse that fails after it stays consistent.
    {EXPORT(get_vpn_info), kQueryFailures, [] { g_vpn = {}; },
     [] { return get_vpn_info(HEAD("vpn_info"), &g_vpn); },
     [] {
       field("VPNIP", g_vpn.VPNIP);
       field("LocalOutIP", g_vpn.LocalOutIP);
       field("VPNPort", g_vpn.VPNPort);
     }},
    // ---- game queries
    {EXPORT(get_gameroute_from_server), kListQueryFailures, reset_nothing,
     [] { return get_gameroute_from_server(HEAD("gameroute"), on_text, &g_context); },
     collect_nothing},
    {EXPORT(get_usertypelist_from_server), kListQueryFailures, reset_nothing,
     [] { return get_usertypelist_from_server(HEAD("usertypelist"), on_text, &g_context); },
     collect_nothing},
    {EXPORT(get_gameprocess_from_server), kListQueryFailures, reset_nothing,
     [] { return get_gameprocess_from_server(HEAD("gameprocess"), on_text, &g_context); },
     collect_nothing},
    {EXPORT(get_serverdelay_from_server), kListQueryFailures, reset_nothing,
     [] { return get_serverdelay_from_server(HEAD("serverdelay"), on_delay, &g_context); },
     collect_nothing},
    {EXPORT(get_areadelay_from_server), kListQueryFailures, reset_nothing,
     [] { return get_areadelay_from_server(HEAD("areadelay"), on_delay, &g_context); },
     collect_nothing},
    {EXPORT(save_game_route_info),
     {1, 113},
     [] { g_err = kUntouched; },
     [] { return save_game_route_info(HEAD("save_game_route"), &g_err); },
     [] { field("err", g_err); },
     true},
    // ---- the message logger, with a message too long for its stack buffer
    {EXPORT(kiv_show_message),
     {},
     reset_nothing,
     [] {
       static char long_text[3000];
       std::memset(long_text, 'x', sizeof long_text - 1);
       kiv_show_message("%s %d", long_text, 7);
       return 0;
     },
     collect_nothing},
    // ---- reports, to the log sink named in ./loginurl.ini
    {EXPORT(break_report),
     {},
     reset_nothing,
     [] {
       break_report("1.0.3", "user", "192.0.2.1", 1, 2);
       return 0;
     },
     collect_nothing},
    {EXPORT(bug_report),
     {},
     reset_nothing,
     [] {
       bug_report(3, 304, 2, "OpenFile", nullptr);  // with the system's text for 2
       return 0;
     },
     collect_nothing},
    {EXPORT(client_operate_report),
     {},
     reset_nothing,
     [] {
       client_operate_report(R"({"op":"start","game":1001})");
       return 0;
     },
     collect_nothing},
    {EXPORT(kiv_disconnect_report),
     {},
     reset_nothing,
     [] {
       kiv_disconnect_report("1.0.3", "user", "192.0.2.1", "relay one", 1);
       return 0;
     },
     collect_nothing},
    {EXPORT(link_report),
     {},
     reset_nothing,
     [] {
       link_report(1, 2, "192.0.2.1", "relay \"one\"", "user", 3);
       return 0;
     },
     collect_nothing},
    {EXPORT(login_state_report),
     {},
     reset_nothing,
     [] {
       login_state_report("1.0.3", "user", 1);
       return 0;
     },
     collect_nothing},
    {EXPORT(open_login_report),
     {},
     reset_nothing,
     [] {
       open_login_report("1.0.3");
       return 0;
     },
     collect_nothing},
};

// Every export has its scenario but kiv_set_message_handler, which only
// stores the handler it is given.
static_assert(std::size(kScenarioTable) + 1 == std::size(kExportTable),
              "an export of the table without a scenario, or one scenario too many");

}  // namespace

extern const std::span<const Scenario> kScenarios{kScenarioTable};

}  // namespace kiv::torture
