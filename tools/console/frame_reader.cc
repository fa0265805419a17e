#include "console/frame_reader.h"

#include <algorithm>

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "codec/field.h"
#include "codec/numbers.h"
#include "console/decoding.h"

namespace tavin::console {
namespace {

// Reads the five header fields at the start of text, which holds at least
// five SOH bytes. Returns the announced body length, or raises DecodeError
// when the header cannot be read.
int64_t announcedBodyLength(const std::string& text) {
  static const char* const kHeader[] = {"version", "orientation", "messageType", "sequence",
                                        "bodyLength"};
  size_t pos = 0;
  Field field;
  try {
    for (const char* name : kHeader) field.expectField(name, pos, text);
    return parseLength(field.value());
  } catch (const std::exception& e) {
    throw DecodeError(std::string("unreadable message header: ") + e.what());
  }
}

}  // namespace

bool FrameReader::next(std::unique_ptr<Message>* message, std::string* frame) {
  if (buffer_.empty()) return false;
  auto parsed = std::make_unique<Message>();
  int64_t result;
  try {
    result = parsed->parse(buffer_, factory_);
  } catch (const std::exception& e) {
    throw DecodeError(std::string("unreadable message: ") + e.what());
  }
  if (result == Message::kIncomplete) {
    // Incomplete, or a header that cannot be read: once the header's five
    // fields are all there, tell the two apart instead of waiting forever.
    if (std::count(buffer_.begin(), buffer_.end(), kSoh) >= 5) {
      if (announcedBodyLength(buffer_) > static_cast<int64_t>(kMaxMessageBytes)) {
        throw DecodeError("the agent announced a message body longer than " +
                          std::to_string(kMaxMessageBytes) + " bytes");
      }
    } else if (buffer_.size() > kMaxMessageBytes) {
      throw DecodeError("more than " + std::to_string(kMaxMessageBytes) +
                        " bytes without a message header");
    }
    return false;
  }
  if (result == Message::kConsoleOlder || result == Message::kAgentOlder) {
    throw DecodeError("the agent speaks protocol version '" + parsed->getVersion() +
                      "'; this console speaks '" + std::string(kProtocolVersion) + "'");
  }
  if (result < 0) throw DecodeError("a message without its checksum field where its body ends");
  // The message ends with its checksum field: result is that field's
  // 1-based position.
  const size_t length = static_cast<size_t>(result) + parsed->getCheckSumLength() - 1;
  *frame = buffer_.substr(0, length);
  buffer_.erase(0, length);
  *message = std::move(parsed);
  return true;
}

}  // namespace tavin::console
