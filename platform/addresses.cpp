// IPv4 address text and byte order, the same calls on every system: only
// the header that declares them differs.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include "platform.h"

namespace kiv::platform {

uint32_t ipv4_from_text(const char* text) noexcept {
  return text == nullptr ? INADDR_NONE : ::inet_addr(text);
}

uint16_t host_to_network(uint16_t value) noexcept {
  return htons(value);
}

uint16_t network_to_host(uint16_t value) noexcept {
  return ntohs(value);
}

}  // namespace kiv::platform
