// One queued request: the connection it came on, that connection's remote
// address at receipt, and the parsed message, which the item owns.
#pragma once

#include <memory>
#include <string>

#include "codec/message.h"
#include "platform/event_loop.h"

namespace tavin {

struct SocketMessage {
  platform::ConnectionId connection = 0;
  std::string address;
  std::unique_ptr<Message> message;
};

}  // namespace tavin
