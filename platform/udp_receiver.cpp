#include "udp_receiver.h"

#include <stdexcept>

#include "program.h"

namespace kiv::platform {

namespace {
// How long the receiving thread waits before it looks again whether it is to
// stop; stop() also wakes it at once with an empty datagram.
constexpr int kReceiveWaitMs = 200;
constexpr size_t kLargestDatagram = 65536;
}  // namespace

UdpReceiver::UdpReceiver(uint32_t address, uint16_t port, Handler handler, int receive_buffer)
    : handler_(std::move(handler)), address_(address) {
  uint16_t bound = 0;
  socket_.reset(udp_bound_socket(address, port, &bound));
  if (!socket_) throw std::runtime_error(error_line(socket_last_error()));
  if (receive_buffer > 0) set_receive_buffer(socket_.get(), receive_buffer);
  receive_buffer_ = receive_buffer_size(socket_.get());
  uint64_t drops = 0;
  drops_known_ = system_drop_count(socket_.get(), &drops);
  port_ = network_to_host(bound);
  thread_ = std::thread([this] { receive_loop(); });
}

uint64_t UdpReceiver::system_drops() const {
  uint64_t drops = 0;
  return drops_known_ && system_drop_count(socket_.get(), &drops) ? drops : 0;
}

UdpReceiver::~UdpReceiver() {
  stop();
}

void UdpReceiver::stop() {
  if (stopping_.exchange(true) || !thread_.joinable()) return;
  wake();
  thread_.join();
}

void UdpReceiver::wake() {
  Socket waker(udp_socket());
  if (!waker) return;
  // A listener on any address is reached on the loopback address.
  const uint32_t to = address_ == 0 ? ipv4_from_text("127.0.0.1") : address_;
  send_datagram(waker.get(), "", 0, to, host_to_network(port_));
}

void UdpReceiver::receive_loop() {
  std::string buffer(kLargestDatagram, '\0');
  for (;;) {
    size_t received = 0;
    Datagram datagram{{}, 0, 0};
    const ReceiveResult result =
        receive_datagram(socket_.get(), buffer.data(), buffer.size(), kReceiveWaitMs, &received,
                         &datagram.from_address, &datagram.from_port);
    if (stopping_) return;
    if (result != ReceiveResult::kDatagram) continue;
    datagram.bytes = std::string_view(buffer.data(), received);
    handler_(datagram);
  }
}

}  // namespace kiv::platform
