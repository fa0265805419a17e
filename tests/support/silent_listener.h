// A loopback listener that never answers, for connection tests that must
// run into their time limit: it never accepts and its accept queue (backlog
// 1) is full, so the system drops every further connection attempt
// unanswered. Each probe that opens leaves its connection in the queue.
#pragma once

#include <string>

#include "platform/tcp_client.h"

namespace tavin::test {

// Listens on address:port (port 0: any) and fills the queue; true once an
// attempt went unanswered.
inline bool listenSilently(platform::TcpListener* listener, const std::string& address,
                           uint16_t port = 0) {
  if (!listener->listen(address, port, 1).isOk()) return false;
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (!platform::probeTcp(address, "127.0.0.1", listener->port(), 200)) return true;
  }
  return false;
}

}  // namespace tavin::test
