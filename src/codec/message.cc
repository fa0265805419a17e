#include "codec/message.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "codec/codec_texts.h"
#include "codec/field.h"
#include "codec/message_body_factory.h"
#include "codec/numbers.h"

namespace tavin {

std::string checkSumOf(const std::string& text) {
  unsigned sum = 0;
  for (char c : text) sum = (sum + static_cast<unsigned char>(c)) % 256;
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%3u", sum);
  return buffer;
}

Message::Message(std::string version, std::string orientation, std::string sequence,
                 std::unique_ptr<MessageBody> body)
    : version_(std::move(version)),
      orientation_(std::move(orientation)),
      sequence_(std::move(sequence)) {
  setBody(std::move(body));
}

void Message::setBody(std::unique_ptr<MessageBody> body) {
  body_ = std::move(body);
  if (!body_) return;
  bodyLength_ = std::to_string(body_->toString().size());
  messageType_ = body_->getMessageType();
}

std::string Message::headerToString() const {
  std::string text = Field("version", version_).toString();
  text += kSoh;
  text += Field("orientation", orientation_).toString();
  text += kSoh;
  text += Field("messageType", messageType_).toString();
  text += kSoh;
  text += Field("sequence", sequence_).toString();
  text += kSoh;
  text += Field("bodyLength", bodyLength_).toString();
  return text;
}

std::string Message::toString() {
  if (!body_) throw std::logic_error("message has no body");
  std::string text = headerToString();
  text += kSoh;
  text += body_->toString();
  computeCheckSum(text);
  text += Field("checkSum", checkSum_).toString();
  text += kSoh;
  return text;
}

void Message::computeCheckSum(const std::string& text) { checkSum_ = checkSumOf(text); }

int Message::getCheckSumLength() const {
  return checkSum_.empty() ? 7 : static_cast<int>(checkSum_.size()) + 4;
}

int64_t Message::parse(const std::string& text, const MessageBodyFactory& factory) {
  // The five header fields end at the fifth SOH; until it has arrived the
  // header cannot be read.
  if (std::count(text.begin(), text.end(), kSoh) < 5) return kIncomplete;
  size_t pos = 0;
  try {
    Field field;
    field.expectField("version", pos, text);
    version_ = field.value();
    field.expectField("orientation", pos, text);
    orientation_ = field.value();
    field.expectField("messageType", pos, text);
    messageType_ = field.value();
    field.expectField("sequence", pos, text);
    sequence_ = field.value();
    field.expectField("bodyLength", pos, text);
    bodyLength_ = field.value();
  } catch (const std::exception&) {
    return kIncomplete;
  }

  // Byte-wise comparison as unsigned bytes (std::string compares chars
  // through char_traits, which compares as unsigned char).
  const int order = version_.compare(kProtocolVersion);
  if (orientation_ == kOrientationAgent) {
    if (order > 0) return kConsoleOlder;
    if (order < 0) return kAgentOlder;
  } else if (orientation_ == kOrientationConsole) {
    if (order > 0) return kAgentOlder;
    if (order < 0) return kConsoleOlder;
  }

  const size_t headerLength = pos;
  const size_t bodyLength = static_cast<size_t>(parseLength(bodyLength_));
  // Compared without adding, so no length can wrap around.
  if (text.size() < headerLength || text.size() - headerLength < bodyLength ||
      text.size() - headerLength - bodyLength < static_cast<size_t>(getCheckSumLength())) {
    return kIncomplete;
  }

  body_ = factory.createMessageBody(messageType_, text.substr(headerLength, bodyLength));
  computeCheckSum(text.substr(0, headerLength + bodyLength));

  size_t checkPos = headerLength + bodyLength;
  Field received;
  try {
    received.expectField("checkSum", checkPos, text);
  } catch (const std::exception&) {
    return kBadCheckSumField;
  }
  if (received.value() != checkSum_) throw std::runtime_error("Check sum error");
  return static_cast<int64_t>(headerLength + bodyLength + 1);
}

std::unique_ptr<MessageBody> Message::execute() {
  if (!body_) throw std::logic_error("message has no body");
  return body_->execute();
}

}  // namespace tavin
