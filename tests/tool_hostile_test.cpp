// The stand-in under hostile load, on loopback: compression bombs and
// oversized bodies, slow and idle clients, stop requests while it is busy,
// and datagram floods. Every test is bounded in time and in what it sends.
#include <gtest/gtest.h>
#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "codec.h"
#include "journal.h"
#include "platform.h"
#include "standin.h"
#include "tcp_client.h"
#include "tool_support.h"

namespace {

using kiv::test::Serve;
using kiv::test::TcpClient;
using kiv::test::TempDir;
using namespace std::chrono_literals;

// `text` as a gzip member (for bodies sent with Content-Encoding: gzip).
std::string gzip(const std::string& text) {
  z_stream stream{};
  deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string request_of(size_t inflated_bytes) {
  return "{\"user\":\"" + std::string(inflated_bytes - 11, 'a') + "\"}";
}

// The lines of the output that begin with `prefix`.
std::vector<std::string> lines_starting(const std::string& output, const std::string& prefix) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    if (output.compare(start, prefix.size(), prefix) == 0)
      lines.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

size_t line_count(const std::string& path) {
  std::string text;
  try {
    text = kiv::test::read_file(path);
  } catch (const std::runtime_error&) {
    return 0;
  }
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Sends datagrams to 127.0.0.1:`port`.
class Sender {
 public:
  explicit Sender(uint16_t port)
      : socket_(kiv::platform::udp_socket()), port_(kiv::platform::host_to_network(port)) {}
  bool send(const std::string& bytes) {
    return kiv::platform::send_datagram(socket_.get(), bytes.data(), bytes.size(),
                                        kiv::platform::ipv4_from_text("127.0.0.1"), port_);
  }

 private:
  kiv::platform::SocketLayer layer_;
  kiv::platform::Socket socket_;
  uint16_t port_;
};

// ---- bombs and memory ---------------------------------------------------------

TEST(Bombs, BodiesStayWithinTheLimitAndTheConsoleShowsOnlyTheirStart) {
#if defined(_WIN32)
  GTEST_SKIP() << "not yet holding under Wine (its requests fail there while the load is on): "
                  "Linux only until the stand-in's connection handling is verified on Windows";
#endif
  TempDir dir;
  const std::string sink = dir.file("sink.jsonl");
  Serve serve({"--sink", sink});
  ASSERT_GT(serve.http_port(), 0) << serve.output();
  httplib::Client client("127.0.0.1", serve.http_port());
  client.set_read_timeout(20s);

  // A request that inflates to 1 MiB is answered; its console line shows 4 KB of it.
  const std::string big = request_of(1u << 20);
  auto r = client.Post("/verification", kiv::codec::zlib_compress(big), "text/plain");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  // One past the limit inflates no further than the limit.
  r = client.Post("/verification",
                  kiv::codec::zlib_compress(request_of(kiv::codec::kBodyLimit + 1)), "text/plain");
  ASSERT_TRUE(r);
  // A body larger than the limit is refused unread, and the connection ends after the answer.
  r = client.Post("/verification", std::string(kiv::codec::kBodyLimit + 1, 'x'), "text/plain");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413);
  EXPECT_EQ(r->get_header_value("Connection"), "close");
  // So is a gzip bomb sent with Content-Encoding, which the HTTP library would inflate itself.
  r = client.Post("/verification", {{"Content-Encoding", "gzip"}},
                  gzip(std::string(64u << 20, ' ')), "text/plain");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 415);
  // And the stand-in answers as before.
  r = client.Post("/verification", kiv::codec::zlib_compress("{\"user\":\"demo01\"}"),
                  "text/plain");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);

  // A record of 1 MiB reaches the sink whole; one past the limit is kept as it came.
  Sender sender(serve.udp_port());
  const std::string record =
      "{\"act\":\"x\",\"param\":\"" + std::string((1u << 20) - 24, 'b') + "\"}";
  ASSERT_TRUE(sender.send(kiv::codec::zlib_compress(record)));
  const std::string bomb = kiv::codec::zlib_compress(std::string(kiv::codec::kBodyLimit + 1, ' '));
  ASSERT_LT(bomb.size(), 65000u);
  ASSERT_TRUE(sender.send(bomb));
  for (int i = 0; i < 200 && line_count(sink) < 2; ++i) std::this_thread::sleep_for(50ms);
  serve.stop();

  const std::vector<std::string> posts = lines_starting(serve.output(), "POST /verification");
  ASSERT_EQ(posts.size(), 5u) << serve.output().substr(0, 20000);
  EXPECT_LT(posts[0].size(), 4200u);
  EXPECT_TRUE(
      posts[0].ends_with("[... " + std::to_string(big.size() - 4096) + " more bytes not shown]"))
      << posts[0].substr(posts[0].size() - 100);
  EXPECT_NE(posts[1].find("[inflates beyond the size limit]"), std::string::npos) << posts[1];
  EXPECT_NE(posts[2].find("larger than the 16777216-byte limit"), std::string::npos) << posts[2];
  EXPECT_NE(posts[3].find("Content-Encoding \"gzip\" are not taken"), std::string::npos)
      << posts[3];
  // Everything it printed stays small: no body is shown whole.
  EXPECT_LT(serve.output().size(), 40000u);

  const std::string lines = kiv::test::read_file(sink);
  const size_t first_end = lines.find('\n');
  ASSERT_NE(first_end, std::string::npos);
  EXPECT_EQ(lines.substr(0, first_end), record);
  EXPECT_NE(lines.find("\"error\":\"inflates beyond the size limit\",\"base64\":\"", first_end),
            std::string::npos);
  EXPECT_EQ(lines_starting(serve.output(), "udp 127.0.0.1:").size(), 1u);  // the start-up line
  const std::vector<std::string> udp = lines_starting(serve.output(), "datagram from 127.0.0.1:");
  ASSERT_GE(udp.size(), 2u);
  EXPECT_LT(udp[0].size(), 4200u);
}

TEST(Bombs, TheJournalKeepsTheNewestWithinBothBounds) {
  auto datagram = [](std::string record) {
    kiv::standin::Datagram d;
    d.record = std::move(record);
    return d;
  };
  kiv::standin::Journal by_count(3, 1u << 20);
  for (int i = 0; i < 5; ++i) by_count.add(datagram("{\"n\":" + std::to_string(i) + "}"));
  EXPECT_EQ(by_count.dropped(), 2u);
  const auto newest = by_count.take_datagrams(10, 0ms);
  ASSERT_EQ(newest.size(), 3u);
  EXPECT_EQ(newest.front().record, "{\"n\":2}");

  // 64 KiB hold a few records of 10 KiB.
  kiv::standin::Journal by_bytes(1000, 64u << 10);
  kiv::standin::JournalFilter all;
  for (int i = 0; i < 10; ++i) by_bytes.add(datagram(std::string(10u << 10, 'r')));
  kiv::standin::JournalPage page = by_bytes.list(all, 1000, 0ms);
  EXPECT_LE(page.bytes, 64u << 10);
  EXPECT_GE(page.kept, 1u);
  EXPECT_EQ(page.kept + page.dropped, 10u);
  // A record far larger than the bound is kept cut, saying how much was left out.
  by_bytes.add(datagram(std::string(1u << 20, 'R')));
  page = by_bytes.list(all, 1000, 0ms);
  EXPECT_LE(page.bytes, 64u << 10);
  EXPECT_EQ(page.last, 11u);
  ASSERT_FALSE(page.lines.empty());
  EXPECT_NE(
      page.lines.back().find("\"record_text_left_out\":" + std::to_string((1u << 20) - (8u << 10))),
      std::string::npos)
      << page.lines.back().substr(0, 200);

  // The stand-in's own journal, for datagrams nobody takes.
  kiv::standin::Options options;
  options.journal_entries = 1000;
  kiv::standin::Service service{std::move(options)};
  Sender sender(service.udp_port());
  for (int i = 0; i < 1010; ++i) {
    ASSERT_TRUE(sender.send(kiv::codec::zlib_compress("{\"n\":" + std::to_string(i) + "}")));
    if (i % 100 == 99) std::this_thread::sleep_for(20ms);  // within the receive buffer
  }
  for (int i = 0; i < 200 && service.counters().datagrams < 1010; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(service.counters().datagrams, 1010u);
  const auto kept = service.wait_for_datagrams(5000, 0ms);
  ASSERT_EQ(kept.size(), 1000u);
  EXPECT_EQ(kept.front().record, "{\"n\":10}");
  EXPECT_EQ(service.counters().history_dropped, 10u);
}

// ---- slow clients and stop requests ---------------------------------------------

TEST(SlowClients, IdleAndSlowConnectionsLockNobodyOutAndAreCutOff) {
#if defined(_WIN32)
  GTEST_SKIP() << "not yet holding under Wine (its requests fail there while the load is on): "
                  "Linux only until the stand-in's connection handling is verified on Windows";
#endif
  Serve serve({});
  ASSERT_GT(serve.http_port(), 0) << serve.output();
  std::vector<std::unique_ptr<TcpClient>> idle;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(std::make_unique<TcpClient>(serve.http_port()));
    ASSERT_TRUE(idle.back()->connected()) << i;
  }
  // Twelve clients sending their request a byte at a time, each within the read time-out.
  std::atomic<bool> done{false};
  std::vector<std::thread> slow;
  for (int i = 0; i < 12; ++i) {
    slow.emplace_back([&] {
      TcpClient client(serve.http_port());
      const std::string request =
          "POST /verification HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(200, 'p') + "\r\n";
      for (size_t at = 0; at < request.size() && !done.load(); ++at) {
        if (!client.send(request.substr(at, 1))) return;
        for (int wait = 0; wait < 10 && !done.load(); ++wait) std::this_thread::sleep_for(30ms);
      }
    });
  }
  std::this_thread::sleep_for(500ms);
  httplib::Client client("127.0.0.1", serve.http_port());
  client.set_connection_timeout(2s);
  client.set_read_timeout(2s);
  const auto r =
      client.Post("/verification", kiv::codec::zlib_compress("{\"user\":\"demo01\"}"), "x");
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->status, 200);

  // A connection that says nothing is closed after the read time-out.
  EXPECT_TRUE(idle.front()->closed_by_peer(10s));

  // A stop request ends it while the slow clients are still sending.
  const auto asked = std::chrono::steady_clock::now();
  const int status = serve.stop();
  const auto took = std::chrono::steady_clock::now() - asked;
  done.store(true);
  for (auto& t : slow) t.join();
  if (!serve.stop_was_requested()) {
    GTEST_SKIP() << "Ctrl-Break cannot reach the stand-in here (no console): it was terminated";
  }
  EXPECT_EQ(status, 0) << serve.output();
  EXPECT_LT(took, 5s);
  EXPECT_TRUE(serve.output().ends_with("\nstopped\n")) << serve.output();
}

TEST(SlowClients, StopRequestsEndWaitsForDelaysAndUpstreamsAndASecondOneEndsItAtOnce) {
  // An upstream that takes ten minutes to answer, and a proxy that would wait for it.
  Serve upstream({"--fault", "verification:delay=600000"});
  ASSERT_GT(upstream.http_port(), 0) << upstream.output();
  Serve proxy({"--upstream", "127.0.0.1:" + upstream.port_text(), "--upstream-timeout", "600"});
  ASSERT_GT(proxy.http_port(), 0) << proxy.output();
  std::thread waiting_client([&] {
    httplib::Client client("127.0.0.1", proxy.http_port());
    client.set_read_timeout(30s);
    client.Post("/verification", kiv::codec::zlib_compress("{}"), "x");
  });
  std::this_thread::sleep_for(500ms);  // the request is on its way through both

  const auto asked = std::chrono::steady_clock::now();
  if (!proxy.child().request_stop(true)) {
    proxy.stop();  // terminated: the waiting client's connection ends with it
    waiting_client.join();
    GTEST_SKIP() << "no stop request can reach the stand-in here";
  }
  // Its end is waited for before stop() asks again (which would end it at once).
  EXPECT_TRUE(proxy.wait_for_output("\nstopped\n", 5s)) << proxy.output();
  const int proxy_status = proxy.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  waiting_client.join();
  if (proxy.stop_was_requested()) {
    EXPECT_EQ(proxy_status, 0) << proxy.output();
    EXPECT_NE(proxy.output().find("the stand-in is stopping"), std::string::npos) << proxy.output();
  }

  // The upstream itself still waits out its delay for that request: stopped all the same.
  const auto asked_again = std::chrono::steady_clock::now();
  const int upstream_status = upstream.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - asked_again, 5s);
  if (upstream.stop_was_requested()) {
    EXPECT_EQ(upstream_status, 0) << upstream.output();
  }

#if !defined(_WIN32)
  // Two requests in a row: the second ends it at once if the first has not yet.
  Serve twice({});
  ASSERT_TRUE(twice.child().request_stop());
  ASSERT_TRUE(twice.child().request_stop());
  const int twice_status = twice.stop();
  EXPECT_TRUE(twice_status == 0 || twice_status == 130) << twice_status << twice.output();
  if (twice_status == 130) {
    EXPECT_NE(twice.output().find("stopped at once: a second stop request"), std::string::npos);
  }
#endif
}

// Standard output on a pipe that nobody reads (a test runner, a pager, Ctrl-S
// in a terminal): the console drops lines, and counts them, rather than hold
// up the service or its stop.
TEST(SlowClients, AConsoleNobodyReadsHoldsUpNeitherTheServiceNorItsStop) {
  Serve serve({});
  ASSERT_GT(serve.http_port(), 0) << serve.output();
  // From here on its output is not read: the pipe is full after a few lines.
  httplib::Client client("127.0.0.1", serve.http_port());
  client.set_read_timeout(5s);
  const std::string body = kiv::codec::zlib_compress(request_of(8000));
  int answered = 0;
  for (int i = 0; i < 300; ++i) {
    const auto r = client.Post("/verification", body, "application/octet-stream");
    if (r && r->status == 200) ++answered;
  }
  EXPECT_EQ(answered, 300);
  const auto state = client.Get("/__kiv/state");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->body.find("\"console_dropped\":0}"), std::string::npos) << state->body;

  if (!serve.child().request_stop(true)) {
    GTEST_SKIP() << "no stop request can reach the stand-in here";
  }
  EXPECT_TRUE(serve.child().ended_within(2s));
  serve.stop();
}

// ---- datagram floods -----------------------------------------------------------

TEST(DatagramFloods, EveryDatagramOfABurstArrivesOrIsCountedAsDropped) {
  TempDir dir;
  const std::string sink = dir.file("sink.jsonl");
  Serve serve({"--sink", sink});
  ASSERT_GT(serve.udp_port(), 0) << serve.output();
  Sender sender(serve.udp_port());
  const std::string record = kiv::codec::zlib_compress(
      "{\"act\":\"LoginService\",\"param\":{\"kiv_version\":\"1.5.2\",\"user_name\":\"demo01\","
      "\"login_state\":1}}");
  constexpr size_t kBurst = 20000;
  size_t sent = 0;
  // Part of the burst comes while the stand-in is held still, so that the
  // system has to drop some (where it can be held: POSIX).
  const bool held = serve.child().suspend(true);
  for (size_t i = 0; i < kBurst; ++i) {
    if (held && i == kBurst / 2) serve.child().suspend(false);
    sent += sender.send(record) ? 1 : 0;
  }
  // Counted once the sink has stopped growing.
  size_t arrived = 0;
  for (int still = 0; still < 10;) {
    // Its console is read meanwhile, as a terminal would: a full pipe would hold it up.
    serve.wait_for_output("\nnever printed\n", 100ms);
    const size_t now = line_count(sink);
    still = now == arrived ? still + 1 : 0;
    arrived = now;
  }
  serve.stop();
  EXPECT_GT(arrived, 0u);
  if (!serve.stop_was_requested()) {
    GTEST_SKIP() << "Ctrl-Break cannot reach the stand-in here (no console): it was terminated "
                    "before its summary";
  }
  const auto summary = lines_starting(serve.output(), "summary: ");
  ASSERT_EQ(summary.size(), 1u) << serve.output().substr(serve.output().size() - 2000);
  EXPECT_NE(summary[0].find(std::to_string(arrived) + " datagrams; "), std::string::npos)
      << summary[0];
  unsigned long long by_system = 0;
  unsigned long long by_standin = 0;
  if (std::sscanf(summary[0].c_str() + summary[0].find("dropped: "),
                  "dropped: %llu by the system, %llu by the stand-in", &by_system,
                  &by_standin) == 2) {
    EXPECT_EQ(arrived + by_system + by_standin, sent) << summary[0];
    if (held) {
      EXPECT_GT(by_system, 0u) << summary[0];
      EXPECT_NE(serve.output().find("\nudp: datagrams lost so far: "), std::string::npos);
    }
  } else {
    // Windows counts no drops: what arrived is all that can be said.
    EXPECT_NE(summary[0].find("not counted by this system"), std::string::npos) << summary[0];
    EXPECT_LE(arrived, sent);
  }
  // The console says so as the stand-in stops.
  EXPECT_GT(arrived, 0u);
}

}  // namespace
