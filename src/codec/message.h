// One framed message: five header fields, the body, and the checksum field.
//
//   00=<version> 01=<orientation> 04=<messageType> 12=<sequence> 15=<L>
//   <L body bytes> 99=<3-char checksum>
// each field closed by SOH. The checksum is the byte sum modulo 256 of header
// and body, printed "%3d". A Message owns its body and is used by one thread
// at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/message_body.h"

namespace tavin {

class MessageBodyFactory;

class Message {
 public:
  // Results of parse besides a positive position.
  static constexpr int64_t kIncomplete = -1;
  static constexpr int64_t kConsoleOlder = -2;  // the console runs the older version
  static constexpr int64_t kAgentOlder = -3;    // the agent runs the older version
  static constexpr int64_t kBadCheckSumField = -4;

  Message() = default;
  Message(std::string version, std::string orientation, std::string sequence,
          std::unique_ptr<MessageBody> body);

  // Takes the body over; sets bodyLength from its text and messageType from
  // its type. Errors of the body's toString propagate.
  void setBody(std::unique_ptr<MessageBody> body);

  std::string headerToString() const;
  // The whole message for sending; also stores the computed checksum.
  std::string toString();
  void computeCheckSum(const std::string& text);
  // The length of the checksum field: 7 while no checksum is known.
  int getCheckSumLength() const;

  // Reads one message from the start of text, which may hold less or more
  // than one message. Returns the 1-based position of the checksum field
  // (header + body + 1), or kIncomplete, kConsoleOlder, kAgentOlder or
  // kBadCheckSumField. Raises runtime_error "Check sum error", ConversionError
  // for a bodyLength that is not a non-negative 32-bit integer, and the body's
  // errors.
  int64_t parse(const std::string& text, const MessageBodyFactory& factory);

  std::unique_ptr<MessageBody> execute();

  const std::string& getVersion() const { return version_; }
  const std::string& getOrientation() const { return orientation_; }
  const std::string& getMessageType() const { return messageType_; }
  const std::string& getSequence() const { return sequence_; }
  const std::string& getBodyLength() const { return bodyLength_; }
  const std::string& getCheckSum() const { return checkSum_; }
  const MessageBody* body() const { return body_.get(); }
  MessageBody* body() { return body_.get(); }

 private:
  std::string version_;
  std::string orientation_;
  std::string sequence_;
  std::string messageType_;
  std::string bodyLength_;
  std::string checkSum_;
  std::unique_ptr<MessageBody> body_;
};

// The checksum text of bytes: their sum modulo 256 as "%3d".
std::string checkSumOf(const std::string& text);

}  // namespace tavin
