// The stand-in's page in a real browser: headless Chromium driven through
// chromedriver (the WebDriver protocol, spoken with the HTTP client the tests
// already have). The client (the libraries) runs two queries and a report;
// the page must show them, show a new one without a reload, expand an entry
// to its request and answer, and filter by kind. A screenshot is left in the
// build folder. Linux only: Debian's chromium and chromium-driver are the
// browser, and ./dev installs them; without them this test fails.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json-c/json.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "child_process.h"
#include "in_process.h"
#include "kiv_logsend.h"
#include "kiv_svcquery.h"
#include "standin.h"

namespace {

using namespace std::chrono_literals;
using kiv::test::BackgroundChild;
using kiv::test::CurrentFolder;
using kiv::test::TempDir;

struct JsonPut {
  void operator()(json_object* o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

std::string json_quoted(const std::string& text) {
  json_object* s = json_object_new_string(text.c_str());
  std::string out = json_object_to_json_string_ext(s, JSON_C_TO_STRING_PLAIN);
  json_object_put(s);
  return out;
}

std::string base64_decode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const int v = value(c);
    if (v < 0) continue;
    bits = bits << 6 | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// A free TCP port on the loopback address, for chromedriver to take.
int free_port() {
  httplib::Server probe;
  const int port = probe.bind_to_any_port("127.0.0.1");
  // Only a server that has entered its loop lets its socket go when stopped.
  std::thread loop([&] { probe.listen_after_bind(); });
  while (!probe.is_running()) std::this_thread::sleep_for(1ms);
  probe.stop();
  loop.join();
  return port;
}

// One WebDriver session of headless Chromium.
class Browser {
 public:
  Browser() : port_(free_port()), driver_(command(port_)), client_("127.0.0.1", port_) {
    client_.set_read_timeout(60s);
    if (!driver_.wait_for_output("started successfully", 20s)) {
      ADD_FAILURE() << "chromedriver did not start:\n" << driver_.output();
      return;
    }
    const std::string args =
        "[\"--headless\",\"--no-sandbox\",\"--disable-gpu\","
        "\"--disable-quic\",\"--no-first-run\","
        "\"--disable-background-networking\",\"--disable-component-update\","
        "\"--disable-sync\",\"--window-size=1400,900\",\"--user-data-dir=" +
        profile_.path() + "\"]";
    Json reply = send("POST", "/session",
                      "{\"capabilities\":{\"alwaysMatch\":{\"goog:chromeOptions\":{\"binary\":" +
                          json_quoted(browser_binary()) + ",\"args\":" + args + "}}}}");
    json_object* value = nullptr;
    json_object* id = nullptr;
    if (reply && json_object_object_get_ex(reply.get(), "value", &value) &&
        json_object_object_get_ex(value, "sessionId", &id)) {
      session_ = json_object_get_string(id);
    } else {
      ADD_FAILURE() << "no browser session: "
                    << (reply ? json_object_to_json_string(reply.get()) : "no answer");
    }
  }
  ~Browser() {
    if (!session_.empty()) send("DELETE", "/session/" + session_, "");
    driver_.stop();
  }
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  bool ready() const { return !session_.empty(); }

  void open(const std::string& url) {
    send("POST", "/session/" + session_ + "/url", "{\"url\":" + json_quoted(url) + "}");
  }

  // Runs a script in the page and gives its value as JSON text.
  std::string run(const std::string& script) {
    Json reply = send("POST", "/session/" + session_ + "/execute/sync",
                      "{\"script\":" + json_quoted(script) + ",\"args\":[]}");
    json_object* value = nullptr;
    if (!reply || !json_object_object_get_ex(reply.get(), "value", &value)) return "";
    return json_object_to_json_string_ext(value,
                                          JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  }

  // Runs `script` until it gives `expected`, for up to ten seconds.
  std::string wait_for(const std::string& script, const std::string& expected) {
    std::string got;
    for (int i = 0; i < 100; ++i) {
      got = run(script);
      if (got == expected) break;
      std::this_thread::sleep_for(100ms);
    }
    return got;
  }

  std::string screenshot_png() {
    Json reply = send("GET", "/session/" + session_ + "/screenshot", "");
    json_object* value = nullptr;
    if (!reply || !json_object_object_get_ex(reply.get(), "value", &value)) return "";
    return base64_decode(json_object_get_string(value));
  }

 private:
  static std::string browser_binary() {
    // The program itself: /usr/bin/chromium is a script around it.
    const char* real = "/usr/lib/chromium/chromium";
    return std::filesystem::exists(real) ? real : "/usr/bin/chromium";
  }
  static std::vector<std::string> command(int port) {
    return {"/usr/bin/chromedriver", "--port=" + std::to_string(port)};
  }

  Json send(const std::string& method, const std::string& path, const std::string& body) {
    httplib::Result r(nullptr, httplib::Error::Unknown);
    if (method == "GET") r = client_.Get(path);
    if (method == "DELETE") r = client_.Delete(path);
    if (method == "POST") r = client_.Post(path, body, "application/json");
    if (!r) return nullptr;
    return Json(json_tokener_parse(r->body.c_str()));
  }

  TempDir profile_;
  int port_;
  BackgroundChild driver_;
  httplib::Client client_;
  std::string session_;
};

TEST(StandInPage, ShowsTheJournalLiveWithRequestsAnswersAndFilters) {
  ASSERT_TRUE(std::filesystem::exists("/usr/bin/chromedriver"))
      << "chromium-driver is not installed (./dev deps installs it)";
  kiv::standin::Service service({});
  service.set_fault("hangup", kiv::standin::Fault{.status = 500});
  TempDir folder;
  folder.write("loginurl.ini", "[LOG_SERVERS]\nlog_servers_dns=127.0.0.1\nlog_servers_port=" +
                                   std::to_string(service.udp_port()) + "\n");
  const CurrentFolder in_folder(folder.path());

  static char ut[1024], msg[1024], ed[1024], end_bind[1024];
  verification_info account{0, 0, 0, 0, ut, msg, 0, ed, end_bind};
  const std::string login = R"({"user":"demo01","pwd":"secret"})";
  ASSERT_EQ(
      get_verification_from_service("127.0.0.1", "verification", service.http_port(), "http",
                                    login.c_str(), static_cast<int32_t>(login.size()), &account),
      0);
  vpn_connection_info vpn{};
  const std::string user = R"({"user":"demo01"})";
  ASSERT_EQ(get_vpn_info("127.0.0.1", "vpn_info", service.http_port(), "http", user.c_str(),
                         static_cast<int32_t>(user.size()), &vpn),
            0);
  login_state_report("1.5", "demo01", 1);
  ASSERT_EQ(service.wait_for_datagrams(1, 5s).size(), 1u);

  Browser browser;
  ASSERT_TRUE(browser.ready());
  browser.open("http://127.0.0.1:" + std::to_string(service.http_port()) + "/__kiv/");
  const std::string rows =
      "return Array.from(document.querySelectorAll('tr.entry'))"
      ".map(r => r.dataset.kind + ' ' + r.dataset.name)";
  EXPECT_EQ(browser.wait_for(rows, R"(["http /verification","http /vpn_info","udp LoginService"])"),
            R"(["http /verification","http /vpn_info","udp LoginService"])");

  // A new entry appears without a reload.
  link_report(1, 2, vpn.VPNIP, "relay", "demo01", 2);
  EXPECT_EQ(browser.wait_for("return document.querySelectorAll('tr.entry').length", "4"), "4");
  EXPECT_EQ(browser.run("return performance.getEntriesByType('navigation').length"), "1");

  // An entry opens to its request text and its answer.
  browser.run("document.querySelector('tr.entry[data-name=\"/verification\"]').click()");
  const std::string request = browser.wait_for(
      "const p = document.querySelector('tr.detail pre.request'); return p ? p.textContent : ''",
      json_quoted("{\n  \"user\": \"demo01\",\n  \"pwd\": \"secret\"\n}"));
  EXPECT_NE(request.find("secret"), std::string::npos) << request;
  const std::string answer = browser.run(
      "const p = document.querySelector('tr.detail pre.answer'); return p ? p.textContent : ''");
  EXPECT_NE(answer.find("VIP会员"), std::string::npos) << answer;

  // The current answers and faults.
  EXPECT_EQ(browser.wait_for("return document.querySelector('#faults').textContent"
                             ".includes('/hangup status=500')",
                             "true"),
            "true");
  EXPECT_EQ(browser.run("return Array.from(document.querySelectorAll('#answers summary'))"
                        ".some(s => s.textContent === '/vpn_info')"),
            "true");

  // The picture, before the filters hide anything: for a person to look at.
  const std::string png = browser.screenshot_png();
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  const std::string picture = std::string(KIV_TEST_BUILD_DIR) + "/standin_page.png";
  std::ofstream(picture, std::ios::binary) << png;
  EXPECT_GT(std::filesystem::file_size(picture), 10000u) << picture;

  // Filters by kind and by path.
  browser.run(
      "const k = document.getElementById('kind'); k.value = 'udp';"
      "k.dispatchEvent(new Event('change'))");
  EXPECT_EQ(browser.run(rows), R"(["udp LoginService","udp LinkService"])");
  browser.run(
      "const k = document.getElementById('kind'); k.value = '';"
      "k.dispatchEvent(new Event('change'));"
      "const n = document.getElementById('name'); n.value = 'vpn_info';"
      "n.dispatchEvent(new Event('input'))");
  EXPECT_EQ(browser.run(rows), R"(["http /vpn_info"])");
}

}  // namespace
