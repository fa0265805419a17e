// The heartbeat body (type "12"): no fields, an empty body text; a received
// heartbeat yields no response.
#pragma once

#include <memory>
#include <string>

#include "codec/codec_texts.h"
#include "codec/message_body.h"

namespace tavin {

class BeatMessageBody : public MessageBody {
 public:
  std::string getMessageType() const override { return std::string(kTypeHeartbeat); }
  std::unique_ptr<MessageBody> execute() override { return nullptr; }
  std::string getPattern() const override { return std::string(); }
};

}  // namespace tavin
