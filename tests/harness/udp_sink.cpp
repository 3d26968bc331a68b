#include "udp_sink.h"

#include "time_limits.h"
#include "zlib_util.h"

namespace kiv::test {

namespace {
constexpr int kBurstRoom = 4 << 20;  // room for bursts from the concurrency tests
}

UdpSink::UdpSink()
    : receiver_(
          platform::ipv4_from_text("127.0.0.1"), 0,
          [this](const platform::UdpReceiver::Datagram& datagram) { take(datagram); }, kBurstRoom) {
}

void UdpSink::take(const platform::UdpReceiver::Datagram& received) {
  Datagram datagram;
  datagram.raw.assign(received.bytes);
  datagram.inflated = zlib_inflate(datagram.raw, &datagram.text);
  {
    std::lock_guard guard(lock_);
    datagrams_.push_back(std::move(datagram));
  }
  arrived_.notify_all();
}

std::vector<Datagram> UdpSink::wait_for(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  arrived_.wait_for(guard, scaled(timeout), [&] { return datagrams_.size() >= count; });
  return datagrams_;
}

std::vector<Datagram> UdpSink::received() const {
  std::lock_guard guard(lock_);
  return datagrams_;
}

void UdpSink::clear() {
  std::lock_guard guard(lock_);
  datagrams_.clear();
}

}  // namespace kiv::test
