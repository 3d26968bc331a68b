// The HTTP library's server, knowing the connections it holds: stopping it
// cuts them off at once, instead of each keeping its worker until its own
// time limit.
#pragma once

#include <httplib.h>

#include <mutex>
#include <set>

namespace kiv::standin {

class CuttingServer final : public httplib::Server {
 public:
  // Ends the accept loop and cuts off every connection, those held now and
  // any taken from here on.
  void stop_and_cut_off();
  // Once bound: room for `backlog` connections not yet accepted, where the
  // library listens with a backlog of five. False when the system refused.
  bool widen_backlog(int backlog);

 private:
  // Each accepted connection, on its worker: the library's own course for
  // it (requests while it is kept alive), known while it runs.
  bool process_and_close_socket(socket_t sock) override;

  std::mutex lock_;
  std::set<socket_t> open_;
  bool cutting_off_ = false;
};

}  // namespace kiv::standin
