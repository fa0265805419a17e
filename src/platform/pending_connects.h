// Non-blocking TCP connects in flight: the system part of probeTcpAll, one
// implementation per platform (tcp_client_posix.cc, tcp_client_win32.cc).
// The caller keeps the time limits and the bound on how many run at once;
// this keeps the sockets, each known by the key its caller gave it.
//
// Destruction closes every socket still open. Used by one thread; inside
// platform/ only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/tcp_client.h"

namespace platform {

class PendingConnects {
 public:
  enum class Outcome { kPending, kOpened, kFailed };
  struct Finished {
    size_t key;
    bool opened;
  };

  PendingConnects();
  ~PendingConnects();
  PendingConnects(const PendingConnects&) = delete;
  PendingConnects& operator=(const PendingConnects&) = delete;

  // Opens a socket bound to the link's local address (any port) and starts
  // its connect to the remote address and port. kPending while it runs;
  // kFailed when an address text is not a dotted IPv4 address, the bind
  // fails or the connect fails at once; kOpened (already closed again) when
  // it succeeds at once.
  Outcome start(size_t key, const ProbeLink& link, uint16_t port);

  // Waits at most timeoutMs for connects to finish; each finished one is
  // closed and appended to *finished. A signal may end the wait early.
  void wait(int timeoutMs, std::vector<Finished>* finished);

  // Closes the unfinished connect of key.
  void abandon(size_t key);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
