#include "channel.h"

#include <zlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounded.h"
#include "heap.h"
#include "kept_deflate.h"
#include "kiv_clientlog.h"
#include "lasting.h"
#include "report_messages.h"

namespace kiv::logsend {
namespace {

constexpr char kSection[] = "LOG_SERVERS";
constexpr int kSendBuffer = 4096;

}  // namespace

Channel& module_channel() noexcept {
  // Never destroyed: reports may still be running while the process exits.
  static Lasting<Channel> channel;
  return *channel;
}

void Channel::Notes::add(const char* format, ...) noexcept {
  if (count_ == kMost) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(lines_[count_++], kLine, format, args);
  va_end(args);
}

void Channel::Notes::log() const noexcept {
  for (size_t i = 0; i < count_; ++i) kiv_show_message("%s", lines_[i]);
}

Channel::Outcome Channel::report(const char* record, size_t length) {
  Notes notes;
  Outcome outcome = Outcome::kNoServer;
  Settings settings;
  char address[16];
  if (read_settings(settings, notes) && find_server(settings.name, address, notes)) {
    const int32_t port = std::atoi(settings.port);  // at most 7 characters: no overflow
    outcome = send(record, length, address, port, notes) ? Outcome::kSent : Outcome::kNotSent;
  }
  notes.log();
  return outcome;
}

bool Channel::read_settings(Settings& settings, Notes& notes) const noexcept {
  const char* path = setup_.settings_path;
  if (!platform::path_exists(path)) {
    notes.add("Error :%s dose not Exits\n", path);
    return false;
  }
  // One read of the file for both keys; it is read afresh for every record.
  const platform::ProfileText profile(path);
  if (profile.get(kSection, "log_servers_dns", "", settings.name, sizeof settings.name) == 0 ||
      profile.get(kSection, "log_servers_port", "", settings.port, sizeof settings.port) == 0) {
    notes.add("Error: Failed to call GetPrivateProfileStringA\n");
    return false;
  }
  return true;
}

bool Channel::find_server(const char* name, char (&address)[16], Notes& notes) {
  // The lookup runs unlocked (the resolver cache makes callers of one name
  // wait for one lookup); the lock covers the shared address alone.
  const bool resolved = resolve(name, address, notes) == ResolveStatus::kResolved;
  std::lock_guard guard(lock_);
  if (resolved) {
    std::memcpy(server_ip_, address, sizeof server_ip_);
    copy_bounded(resolved_from_, sizeof resolved_from_, name);
    return true;
  }
  // The address on hand belongs to another server, or there is none.
  if (server_ip_[0] == '\0' || std::strcmp(resolved_from_, name) != 0) return false;
  std::memcpy(address, server_ip_, sizeof address);
  return true;
}

ResolveStatus Channel::resolve(const char* name, char (&address)[16]) const noexcept {
  Notes notes;
  const ResolveStatus status = resolve(name, address, notes);
  notes.log();
  return status;
}

ResolveStatus Channel::resolve(const char* name, char (&address)[16], Notes& notes) const noexcept {
  if (name == nullptr) {
    notes.add("Error: PARAM, in get_host_ip_by_name()");
    return ResolveStatus::kBadArgument;
  }
  const platform::SocketLayer sockets;
  if (!sockets) {
    notes.add("Error: Failed to call WSAStartup in log_report, errno=%d",
              platform::socket_last_error());
    return ResolveStatus::kSocketsFailed;
  }
  ResolverCache& cache = setup_.cache != nullptr ? *setup_.cache : shared_resolver_cache();
  char found[16] = {};
  switch (cache.lookup(name, found)) {
    case platform::LookupResult::kAddress:
      std::memcpy(address, found, sizeof found);
      return ResolveStatus::kResolved;
    case platform::LookupResult::kFailed:
      notes.add("Error: Failed to call gethostbyname in log_report(), errno=%d",
                platform::socket_last_error());
      return ResolveStatus::kLookupFailed;
    case platform::LookupResult::kNoAddress:
      break;
  }
  return ResolveStatus::kNoAddress;
}

bool Channel::send(const char* record, size_t length, const char* server_ip, int32_t server_port,
                   Notes& notes) noexcept {
  uLongf send_data_size = static_cast<uLongf>(compress_room(length));
  // Declared in the reverse of their release order: the socket is closed
  // first, then the output freed, the socket layer stopped and zlib released.
  platform::Library zlib;
  const platform::SocketLayer sockets;
  if (!sockets) {
    // Losing one record is better than ending the host process.
    notes.add("Error: Failed to init WS2_32.dll\n");
    return false;
  }
  HeapPtr<Bytef> output;
  platform::Socket socket(platform::udp_socket());
  if (!socket) {
    notes.add("Error: Failed socket() %d \n", platform::socket_last_error());
    return false;
  }
  platform::set_send_buffer(socket.get(), kSendBuffer);
  const uint32_t address = platform::ipv4_from_text(server_ip);
  const uint16_t port = platform::host_to_network(static_cast<uint16_t>(server_port & 0xFFFF));

  // A zlib without both entry points is not trusted, though only compress
  // is called.
  zlib = platform::Library(platform::kZlibLibraryFile);
  decltype(&::compress) compress = nullptr;
  decltype(&::uncompress) uncompress = nullptr;
  if (!zlib || !zlib.bind("compress", compress) || !zlib.bind("uncompress", uncompress)) {
    notes.add("Error: Failed to load zlib_dll\n");
    return false;
  }
  // With zlib's stream entry points the state's memory is kept between
  // records; a zlib without them compresses through compress().
  DeflateApi deflate;
  const bool kept = zlib.bind("deflateInit_", deflate.init) &&
                    zlib.bind("deflate", deflate.deflate) && zlib.bind("deflateEnd", deflate.end);
  output = heap_allocate<Bytef>(send_data_size);
  if (!output) {
    notes.add("Error: Failed to alloc the memory!");
    return false;
  }

  std::printf(msg::kSendLength, static_cast<int>(length));
  const auto* source = reinterpret_cast<const Bytef*>(record);
  const int compressed =
      kept ? compress_kept(deflate, output.get(), &send_data_size, source,
                           static_cast<uLong>(length))
           : compress(output.get(), &send_data_size, source, static_cast<uLong>(length));
  if (compressed != Z_OK) {
    std::fflush(stdout);
    notes.add("Error: Failed to compress the send_data\n");
    return false;
  }
  std::printf(msg::kSendCompressedLength, static_cast<int>(send_data_size));
  std::fflush(stdout);
  // Fire and forget: a datagram the system refuses is not reported.
  platform::send_datagram(socket.get(), output.get(), send_data_size, address, port);
  return true;
}

}  // namespace kiv::logsend
