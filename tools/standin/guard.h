// The one check in front of every control path. A web page in the user's
// browser can send requests to the stand-in: simple cross-site requests (a
// form, a text/plain POST) and, through a name that re-resolves to this host,
// requests that look same-origin. The guard refuses both before any handler
// runs; a request it refuses changes nothing.
//
//   Host     must name the address the control interface listens on,
//            "localhost" or a loopback address (any port); with a wildcard
//            address, any address written as numbers. A name that only
//            resolves here (DNS rebinding) is refused.
//   Origin   when present, the control interface's own ("http://HOST:PORT"
//            with HOST as above and its port).
//   changes  every method but GET and HEAD needs "Content-Type:
//            application/json", which no simple cross-site request can carry.
//   token    when one is set, in the header "X-Kiv-Token" or the query
//            parameter "token"; the page and its script and style, which hold
//            no data, are served without it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace httplib {
struct Request;
}

namespace kiv::standin {

inline constexpr char kTokenHeader[] = "X-Kiv-Token";
inline constexpr char kTokenParameter[] = "token";

// A request the control interface does not carry out: its status and reason.
struct Refusal {
  int status;
  std::string why;
};

// "/__kiv" and everything below it.
bool is_control_path(std::string_view path);

// 127.0.0.0/8 written as four decimal numbers, or ::1.
bool is_loopback_address(std::string_view address);

// A dotted IPv4 address, as strict as inet_pton: four decimal numbers of at
// most 255, without leading zeros. The bytes in network order.
std::optional<uint32_t> parse_ipv4(std::string_view text);

// A fresh random token: 32 hexadecimal digits.
std::string new_token();

class ControlGuard {
 public:
  // `address` is the one the control interface listens on; `token` empty:
  // none is asked for.
  ControlGuard(std::string address, std::string token);
  void set_port(uint16_t port) { port_ = port; }
  const std::string& token() const { return token_; }

  // Why the request is refused, or nothing when it may go on.
  std::optional<Refusal> check(const httplib::Request& req) const;

 private:
  bool host_allowed(std::string_view host) const;

  std::string address_;
  std::string token_;
  uint16_t port_ = 0;
};

}  // namespace kiv::standin
