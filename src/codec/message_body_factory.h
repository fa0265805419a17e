// Builds the body object of a received message from its type text.
//
// The factory maps a message type number to a body class. The codec itself
// knows no concrete class: the agent and the console client each register
// the classes they need (see handlers/bodies.h), so the agent's request
// bodies can carry what their execute needs. After registration the factory
// is only read and may be used from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "codec/message_body.h"

namespace tavin {

class MessageBodyFactory {
 public:
  using Creator = std::function<std::unique_ptr<MessageBody>()>;

  // Registers (or replaces) the class of a type number.
  void registerBody(int64_t type, Creator create);

  // The type text is read the way atol reads it ("2", "02" and "002" are all
  // type 2). Returns a new body of the registered class filled from text, or
  // null for an unregistered type (text then stays unread). Errors of the
  // body's parse propagate.
  std::unique_ptr<MessageBody> createMessageBody(const std::string& type,
                                                 const std::string& text) const;

 private:
  std::map<int64_t, Creator> creators_;
};

}  // namespace tavin
