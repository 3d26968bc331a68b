#include "channel.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "heap.h"
#include "kiv_clientlog.h"
#include "report_messages.h"

namespace kiv::logsend {
namespace {

constexpr char kSection[] = "LOG_SERVERS";
constexpr int kSendBuffer = 4096;
// The compression output holds the record and this much more: zlib's own
// bound for any record under 4096 bytes.
constexpr size_t kCompressionMargin = 13;

// Balances a started socket layer on every way out.
class SocketsSession {
 public:
  explicit SocketsSession(void (*stop)() noexcept) noexcept : stop_(stop) {}
  ~SocketsSession() { stop_(); }
  SocketsSession(const SocketsSession&) = delete;
  SocketsSession& operator=(const SocketsSession&) = delete;

 private:
  void (*stop_)() noexcept;
};

void copy_text(char* out, size_t size, const char* text) noexcept {
  const size_t length = std::strlen(text);
  const size_t count = length < size - 1 ? length : size - 1;
  std::memcpy(out, text, count);
  out[count] = '\0';
}

}  // namespace

Channel& module_channel() noexcept {
  static Channel channel;
  return channel;
}

Channel::Outcome Channel::report(const char* record, size_t length) {
  std::lock_guard guard(lock_);
  if (!read_settings()) return Outcome::kNoSettings;
  return send(record, length) ? Outcome::kSent : Outcome::kNotSent;
}

bool Channel::read_settings() noexcept {
  const char* path = system_.settings_path;
  if (!platform::path_exists(path)) {
    kiv_show_message("Error :%s dose not Exits\n", path);
    return false;
  }
  char services_dns[64];
  if (platform::get_profile_string(kSection, "log_servers_dns", "", services_dns,
                                   sizeof services_dns, path) == 0) {
    kiv_show_message("Error: Failed to call GetPrivateProfileStringA\n");
    return false;
  }
  char temp_port[8];
  if (platform::get_profile_string(kSection, "log_servers_port", "", temp_port, sizeof temp_port,
                                   path) == 0) {
    kiv_show_message("Error: Failed to call GetPrivateProfileStringA\n");
    return false;
  }

  if (resolve(services_dns, server_ip_) == ResolveStatus::kResolved) {
    copy_text(resolved_from_, sizeof resolved_from_, services_dns);
  } else if (server_ip_[0] == '\0' || std::strcmp(resolved_from_, services_dns) != 0) {
    // The address on hand belongs to another server, or there is none.
    return false;
  }
  server_port_ = std::atoi(temp_port);  // at most 7 characters: no overflow
  return true;
}

ResolveStatus Channel::resolve(const char* name, char (&address)[16]) const noexcept {
  if (name == nullptr) {
    kiv_show_message("Error: PARAM, in get_host_ip_by_name()");
    return ResolveStatus::kBadArgument;
  }
  if (!system_.start_sockets()) {
    kiv_show_message("Error: Failed to call WSAStartup in log_report, errno=%d",
                     platform::socket_last_error());
    return ResolveStatus::kSocketsFailed;
  }
  SocketsSession session(system_.stop_sockets);
  char found[16] = {};
  switch (system_.lookup(name, found)) {
    case platform::LookupResult::kAddress:
      std::memcpy(address, found, sizeof found);
      return ResolveStatus::kResolved;
    case platform::LookupResult::kFailed:
      kiv_show_message("Error: Failed to call gethostbyname in log_report(), errno=%d",
                       platform::socket_last_error());
      return ResolveStatus::kLookupFailed;
    case platform::LookupResult::kNoAddress:
      break;
  }
  return ResolveStatus::kNoAddress;
}

bool Channel::send(const char* record, size_t length) noexcept {
  uLongf send_data_size = static_cast<uLongf>(length + kCompressionMargin);
  if (!system_.start_sockets()) {
    // Losing one record is better than ending the host process.
    kiv_show_message("Error: Failed to init WS2_32.dll\n");
    return false;
  }
  // Declared in the reverse of their release order: the socket is closed
  // first, then the output freed, the socket layer stopped and zlib released.
  platform::Library zlib;
  SocketsSession session(system_.stop_sockets);
  HeapPtr<Bytef> output;
  platform::Socket socket(platform::udp_socket());
  if (!socket) {
    kiv_show_message("Error: Failed socket() %d \n", platform::socket_last_error());
    return false;
  }
  platform::set_send_buffer(socket.get(), kSendBuffer);
  const uint32_t address = platform::ipv4_from_text(server_ip_);
  const uint16_t port = platform::host_to_network(static_cast<uint16_t>(server_port_ & 0xFFFF));

  // A zlib without both entry points is not trusted, though only compress
  // is called.
  zlib = platform::Library(system_.zlib_file);
  decltype(&::compress) compress = nullptr;
  decltype(&::uncompress) uncompress = nullptr;
  if (!zlib || !zlib.bind("compress", compress) || !zlib.bind("uncompress", uncompress)) {
    kiv_show_message("Error: Failed to load zlib_dll\n");
    return false;
  }
  output = heap_allocate<Bytef>(send_data_size);
  if (!output) {
    kiv_show_message("Error: Failed to alloc the memory!");
    return false;
  }

  std::printf(msg::kSendLength, static_cast<int>(length));
  const int compressed =
      compress(output.get(), &send_data_size, reinterpret_cast<const Bytef*>(record),
               static_cast<uLong>(length));
  if (compressed != Z_OK) {
    std::fflush(stdout);
    kiv_show_message("Error: Failed to compress the send_data\n");
    return false;
  }
  std::printf(msg::kSendCompressedLength, static_cast<int>(send_data_size));
  std::fflush(stdout);
  // Fire and forget: a datagram the system refuses is not reported.
  platform::send_datagram(socket.get(), output.get(), send_data_size, address, port);
  return true;
}

}  // namespace kiv::logsend
