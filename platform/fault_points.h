// Where each system's platform functions ask the fault seam (fault.h): one
// atomic load on the way in while no test has armed their call.
#pragma once

#include <cstddef>

#include "fault.h"
#include "platform.h"

namespace kiv::platform::detail {

// True when a test has made this `call` fail; its error is then the last
// error (the socket error with `socket_error`) and in `*error`.
inline bool injected_failure(fault::Call call, int* error = nullptr,
                             bool socket_error = false) noexcept {
  if (!fault::armed(call)) [[likely]]
    return false;
  fault::Failure failure;
  if (!fault::fails_now(call, &failure)) return false;
  if (socket_error) {
    set_socket_last_error(failure.error);
  } else {
    set_last_error(failure.error);
  }
  if (error != nullptr) *error = failure.error;
  return true;
}

// One read_file call: `read(count, &got)` is the system's read.
template <typename Read>
bool read_through_fault(size_t count, size_t* done, Read read) noexcept {
  if (!fault::armed(fault::Call::kRead)) [[likely]]
    return read(count, done);
  fault::Failure failure;
  const size_t through = fault::bytes_through(fault::Call::kRead, count, &failure);
  if (through > 0 || count == 0) return read(through, done);
  if (failure.error != 0) {
    set_last_error(failure.error);
    return false;
  }
  if (done != nullptr) *done = 0;  // the end of the file
  return true;
}

// One write_file call: `write(count, &written)` is the system's write of all
// `count` bytes.
template <typename Write>
bool write_through_fault(size_t count, size_t* done, Write write) noexcept {
  if (!fault::armed(fault::Call::kWrite)) [[likely]]
    return write(count, done);
  fault::Failure failure;
  const size_t through = fault::bytes_through(fault::Call::kWrite, count, &failure);
  if (through == count) return write(count, done);
  if (!write(through, done)) return false;
  if (failure.error == 0) return true;  // a write that stops short
  set_last_error(failure.error);
  return false;
}

}  // namespace kiv::platform::detail
