#include "guard.h"

#include <httplib.h>

#include <cstring>
#include <random>

#include "number.h"

namespace kiv::standin {
namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// "name", "name:port", "[v6]" or "[v6]:port": the name (without brackets)
// and the port text (empty when there is none). Nothing when malformed.
std::optional<std::pair<std::string_view, std::string_view>> split_host(std::string_view host) {
  std::string_view name = host;
  std::string_view port;
  if (host.starts_with('[')) {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    name = host.substr(1, close - 1);
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return std::nullopt;
      port = rest.substr(1);
    }
  } else if (const size_t colon = host.find(':'); colon != std::string_view::npos) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
  }
  if (name.empty()) return std::nullopt;
  if (!port.empty() && !parse_number(port, 0, 65535)) return std::nullopt;
  return std::pair{name, port};
}

// Compares without stopping at the first difference, so that the time taken
// does not tell how much of a guess was right.
bool same_token(std::string_view given, std::string_view token) {
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < token.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  }
  return diff == 0;
}

bool is_page(const httplib::Request& req) {
  return (req.method == "GET" || req.method == "HEAD") &&
         (req.path == "/__kiv" || req.path == "/__kiv/" || req.path == "/__kiv/page.js" ||
          req.path == "/__kiv/page.css");
}

}  // namespace

bool is_control_path(std::string_view path) {
  return path == "/__kiv" || path.starts_with("/__kiv/");
}

std::optional<uint32_t> parse_ipv4(std::string_view text) {
  unsigned char bytes[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    size_t digits = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') {
      ++digits;
    }
    if (digits == 0 || digits > 3 || (digits > 1 && text.front() == '0')) return std::nullopt;
    const auto value = parse_number(text.substr(0, digits), 0, 255);
    if (!value) return std::nullopt;
    bytes[i] = static_cast<unsigned char>(*value);
    text.remove_prefix(digits);
  }
  if (!text.empty()) return std::nullopt;
  uint32_t address = 0;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

bool is_loopback_address(std::string_view address) {
  if (address == "::1") return true;
  const auto v4 = parse_ipv4(address);
  return v4 && (reinterpret_cast<const unsigned char*>(&*v4))[0] == 127;
}

std::string new_token() {
  std::random_device source;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 8; ++i) {
    const uint32_t word = source();
    for (int nibble = 0; nibble < 4; ++nibble) token += kHex[(word >> (4 * nibble)) & 0xF];
  }
  return token;
}

ControlGuard::ControlGuard(std::string address, std::string token)
    : address_(std::move(address)), token_(std::move(token)) {}

bool ControlGuard::host_allowed(std::string_view name) const {
  if (same_text_ignoring_case(name, "localhost") || is_loopback_address(name)) return true;
  if (name == address_) return true;
  // Listening everywhere: any address written as numbers names this host
  // (no name can be rebound to it).
  return address_ == "0.0.0.0" && parse_ipv4(name).has_value();
}

std::optional<Refusal> ControlGuard::check(const httplib::Request& req) const {
  const std::string host = req.get_header_value("Host");
  const auto split = split_host(host);
  if (!split || !host_allowed(split->first)) {
    return Refusal{403, "the Host header \"" + host +
                            "\" does not name this stand-in (use localhost, a loopback address "
                            "or " +
                            address_ + ")"};
  }
  if (req.has_header("Origin")) {
    const std::string origin = req.get_header_value("Origin");
    constexpr std::string_view kScheme = "http://";
    bool own = false;
    if (std::string_view(origin).starts_with(kScheme)) {
      const auto parts = split_host(std::string_view(origin).substr(kScheme.size()));
      const std::string_view port = parts ? parts->second : std::string_view();
      own = parts && host_allowed(parts->first) &&
            parse_number(port.empty() ? std::string_view("80") : port, 0, 65535) == port_;
    }
    if (!own) {
      return Refusal{403,
                     "requests from the page of another origin (" + origin + ") are not taken"};
    }
  }
  if (req.method != "GET" && req.method != "HEAD") {
    std::string type = req.get_header_value("Content-Type");
    type = type.substr(0, type.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
    if (!same_text_ignoring_case(type, "application/json")) {
      return Refusal{415,
                     "a request that changes the stand-in must be sent with "
                     "Content-Type: application/json"};
    }
  }
  if (!token_.empty() && !is_page(req)) {
    const std::string given = req.has_header(kTokenHeader) ? req.get_header_value(kTokenHeader)
                                                           : req.get_param_value(kTokenParameter);
    if (!same_token(given, token_)) {
      return Refusal{403,
                     "this control interface asks for its token (printed at start-up), in "
                     "the header X-Kiv-Token or the parameter token"};
    }
  }
  return std::nullopt;
}

}  // namespace kiv::standin
