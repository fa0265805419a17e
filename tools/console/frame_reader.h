// Cuts the bytes the agent sends into messages. Bytes arrive in any pieces;
// a message is taken once it is whole. The buffer is bounded: an agent that
// announces or sends more than kMaxMessageBytes without finishing a message
// is an error, not a reason to wait or to grow.
#pragma once

#include <memory>
#include <string>

#include "codec/message.h"
#include "codec/message_body_factory.h"

namespace tavin::console {

class FrameReader {
 public:
  static constexpr size_t kMaxMessageBytes = 1 << 20;

  explicit FrameReader(const MessageBodyFactory& factory) : factory_(factory) {}

  void append(const std::string& bytes) { buffer_ += bytes; }

  // Takes the next whole message off the buffer into *message, with its
  // bytes in *frame. False when the buffer holds no whole message yet.
  // Raises DecodeError when the bytes cannot be a message of this protocol.
  bool next(std::unique_ptr<Message>* message, std::string* frame);

 private:
  const MessageBodyFactory& factory_;
  std::string buffer_;
};

}  // namespace tavin::console
