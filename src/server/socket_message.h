// One queued request: the connection it came on, that connection's remote
// address at receipt, and the parsed message, which the item owns. An item
// may instead carry a job: other work that must run on the processor thread
// between the requests (a metrics scrape reads the program records there);
// such an item has no connection and no message.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "codec/message.h"
#include "platform/event_loop.h"

namespace tavin {

struct SocketMessage {
  platform::ConnectionId connection = 0;
  std::string address;
  std::unique_ptr<Message> message;
  std::function<void()> job = nullptr;
};

}  // namespace tavin
