// Every query's answer handling, answer bytes in. The first byte picks the
// query; the rest is the answer as the service means it, inflated. The
// transfer is armed through the fault seam to deliver those bytes,
// compressed, as its 200 answer, so the whole query procedure runs,
// http_access_protocol1's inflation included, without a network. Caller
// buffers are exactly as large as the rules of each export require, each a
// heap block of its own, so any overrun is caught.
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "binding.h"
#include "fault.h"
#include "fuzz_support.h"
#include "kiv_svcquery.h"

namespace {

using kiv::platform::fault::Call;
using kiv::platform::fault::ScopedFault;

// `answer` as the service sends it: zlib's compress output, which an answer
// longer than the caller's buffer fails to inflate into it (102), leaving
// the part that fitted.
std::vector<Bytef> packed(std::string_view answer) {
  uLongf size = static_cast<uLongf>(answer.size() + answer.size() / 100 + 64);
  std::vector<Bytef> bytes(size);
  const int code = kiv::svcquery::bindings().zlib.compress(
      bytes.data(), &size, reinterpret_cast<const Bytef*>(answer.data()),
      static_cast<uLong>(answer.size()));
  KIV_FUZZ_CHECK(code == Z_OK);
  bytes.resize(size);
  return bytes;
}

// A caller text buffer of exactly `size` bytes.
struct TextBuffer {
  explicit TextBuffer(size_t size) : bytes(std::make_unique<char[]>(size)), size(size) {
    std::memset(bytes.get(), 'x', size);
  }
  std::unique_ptr<char[]> bytes;
  size_t size;
  char* get() const { return bytes.get(); }
  // Written or not, it holds a terminated text within its size.
  void check() const { KIV_FUZZ_CHECK(::strnlen(bytes.get(), size) < size || bytes[0] == 'x'); }
};

int g_context;
int g_calls;

void on_text(const char* text, void* context) {
  ++g_calls;
  KIV_FUZZ_CHECK(context == &g_context);
  KIV_FUZZ_CHECK(text != nullptr);
  static_cast<void>(std::strlen(text));
}

void on_delay_row(int32_t count, char** names, void** values, void* context) {
  ++g_calls;
  KIV_FUZZ_CHECK(context == &g_context);
  KIV_FUZZ_CHECK(count == 3 && names != nullptr && values != nullptr);
  for (int32_t i = 0; i < count; ++i) {
    KIV_FUZZ_CHECK(names[i] != nullptr && values[i] != nullptr);
    int32_t value;
    std::memcpy(&value, values[i], sizeof value);
    static_cast<void>(value);
  }
}

// Codes that a query may return on a delivered answer: success, the JSON
// failures and the transport's 102 for an answer longer than the buffer.
const std::set<int32_t> kCodes = {0, 1, 101, 102, 113, 114};

void check_code(int32_t code) {
  KIV_FUZZ_CHECK(kCodes.count(code) == 1);
}

constexpr const char* kHead[] = {"127.0.0.1", "query", "http", "request"};

#define KIV_HEAD kHead[0], kHead[1], 80, kHead[2], kHead[3], 7

void account_query(uint8_t which) {
  switch (which) {
    case 0: {
      std::vector<TextBuffer> texts;
      for (int i = 0; i < 4; ++i) texts.emplace_back(1024);
      verification_info info{};
      info.ut = texts[0].get();
      info.msg = texts[1].get();
      info.ed = texts[2].get();
      info.endBind = texts[3].get();
      check_code(get_verification_from_service(KIV_HEAD, &info));
      for (const TextBuffer& text : texts) text.check();
      break;
    }
    case 1: {
      const TextBuffer ip(128);
      check_code(get_local_ip_from_service(KIV_HEAD, ip.get()));
      ip.check();
      break;
    }
    case 2: {
      std::vector<TextBuffer> texts;
      for (int i = 0; i < 4; ++i) texts.emplace_back(1024);
      ad_link_info link{texts[0].get(), texts[1].get(), texts[2].get(), texts[3].get()};
      get_kiv_adLink_from_service(KIV_HEAD, &link);  // returns the answer's own "err"
      for (const TextBuffer& text : texts) text.check();
      break;
    }
    case 3: {
      std::vector<TextBuffer> texts;
      for (int i = 0; i < 3; ++i) texts.emplace_back(1024);
      client_title_info title{};
      title.title = texts[0].get();
      title.url = texts[1].get();
      title.msg = texts[2].get();
      get_kiv_client_title_from_service(KIV_HEAD, &title);  // returns the answer's own "err"
      for (const TextBuffer& text : texts) text.check();
      break;
    }
    case 4:
    case 5: {
      const TextBuffer message(1024);
      int32_t err = 0;
      check_code(which == 4 ? get_loginvpn_from_service(KIV_HEAD, &err, message.get())
                            : check_hangup_from_service(KIV_HEAD, &err, message.get()));
      message.check();
      break;
    }
    case 6: {
      auto vpn = std::make_unique<vpn_connection_info>();
      std::memset(vpn.get(), 'x', sizeof *vpn);
      const int32_t code = get_vpn_info(KIV_HEAD, vpn.get());
      check_code(code);
      if (code == 0 || code == 114) {  // cleared once the answer arrived
        KIV_FUZZ_CHECK(::strnlen(vpn->VPNIP, sizeof vpn->VPNIP) < sizeof vpn->VPNIP);
        KIV_FUZZ_CHECK(::strnlen(vpn->LocalOutIP, sizeof vpn->LocalOutIP) < sizeof vpn->LocalOutIP);
      }
      break;
    }
  }
}

void game_query(uint8_t which) {
  g_calls = 0;
  int32_t code = 0;
  switch (which) {
    case 0:
      code = get_gameroute_from_server(KIV_HEAD, on_text, &g_context);
      break;
    case 1:
      code = get_usertypelist_from_server(KIV_HEAD, on_text, &g_context);
      break;
    case 2:
      code = get_gameprocess_from_server(KIV_HEAD, on_text, &g_context);
      break;
    case 3:
      code = get_serverdelay_from_server(KIV_HEAD, on_delay_row, &g_context);
      break;
    case 4:
      code = get_areadelay_from_server(KIV_HEAD, on_delay_row, &g_context);
      break;
    case 5: {
      int32_t err = 0;
      code = save_game_route_info(KIV_HEAD, &err);
      break;
    }
  }
  check_code(code);
  if (code != 0) KIV_FUZZ_CHECK(g_calls == 0 || which == 3 || which == 4);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiv::svcquery::attach();
  kiv::fuzz::quiet_logger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<Bytef> answer =
      packed(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  const ScopedFault delivered(
      Call::kTransfer,
      {.answer = std::string_view(reinterpret_cast<const char*>(answer.data()), answer.size())});
  const uint8_t which = data[0] % 13;
  if (which < 7) {
    account_query(which);
  } else {
    game_query(static_cast<uint8_t>(which - 7));
  }
  return 0;
}
