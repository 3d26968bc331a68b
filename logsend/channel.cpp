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

void Channel::Notes::log() const noexcept {
  for (size_t i = 0; i < count_; ++i) {
    const Note& note = notes_[i];
    switch (note.kind) {
      case Kind::kPlain:
        kiv_show_message("%s", note.format);
        break;
      case Kind::kNumber:
        kiv_show_message(note.format, note.number);
        break;
      case Kind::kText:
        kiv_show_message(note.format, note.text);
        break;
    }
  }
}

Channel::Outcome Channel::report(const char* record, size_t length) {
  Notes notes;
  Outcome outcome = Outcome::kNoSettings;
  {
    std::lock_guard guard(lock_);
    if (read_settings(notes))
      outcome = send(record, length, notes) ? Outcome::kSent : Outcome::kNotSent;
  }
  notes.log();
  return outcome;
}

bool Channel::read_settings(Notes& notes) noexcept {
  const char* path = setup_.settings_path;
  if (!platform::path_exists(path)) {
    notes.add_text("Error :%s dose not Exits\n", path);
    return false;
  }
  char services_dns[64];
  if (platform::get_profile_string(kSection, "log_servers_dns", "", services_dns,
                                   sizeof services_dns, path) == 0) {
    notes.add("Error: Failed to call GetPrivateProfileStringA\n");
    return false;
  }
  char temp_port[8];
  if (platform::get_profile_string(kSection, "log_servers_port", "", temp_port, sizeof temp_port,
                                   path) == 0) {
    notes.add("Error: Failed to call GetPrivateProfileStringA\n");
    return false;
  }

  if (resolve(services_dns, server_ip_, notes) == ResolveStatus::kResolved) {
    copy_text(resolved_from_, sizeof resolved_from_, services_dns);
  } else if (server_ip_[0] == '\0' || std::strcmp(resolved_from_, services_dns) != 0) {
    // The address on hand belongs to another server, or there is none.
    return false;
  }
  server_port_ = std::atoi(temp_port);  // at most 7 characters: no overflow
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
    notes.add_number("Error: Failed to call WSAStartup in log_report, errno=%d",
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
      notes.add_number("Error: Failed to call gethostbyname in log_report(), errno=%d",
                       platform::socket_last_error());
      return ResolveStatus::kLookupFailed;
    case platform::LookupResult::kNoAddress:
      break;
  }
  return ResolveStatus::kNoAddress;
}

bool Channel::send(const char* record, size_t length, Notes& notes) noexcept {
  uLongf send_data_size = static_cast<uLongf>(length + kCompressionMargin);
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
    notes.add_number("Error: Failed socket() %d \n", platform::socket_last_error());
    return false;
  }
  platform::set_send_buffer(socket.get(), kSendBuffer);
  const uint32_t address = platform::ipv4_from_text(server_ip_);
  const uint16_t port = platform::host_to_network(static_cast<uint16_t>(server_port_ & 0xFFFF));

  // A zlib without both entry points is not trusted, though only compress
  // is called.
  zlib = platform::Library(platform::kZlibLibraryFile);
  decltype(&::compress) compress = nullptr;
  decltype(&::uncompress) uncompress = nullptr;
  if (!zlib || !zlib.bind("compress", compress) || !zlib.bind("uncompress", uncompress)) {
    notes.add("Error: Failed to load zlib_dll\n");
    return false;
  }
  output = heap_allocate<Bytef>(send_data_size);
  if (!output) {
    notes.add("Error: Failed to alloc the memory!");
    return false;
  }

  std::printf(msg::kSendLength, static_cast<int>(length));
  const int compressed =
      compress(output.get(), &send_data_size, reinterpret_cast<const Bytef*>(record),
               static_cast<uLong>(length));
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
