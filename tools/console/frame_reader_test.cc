#include "console/frame_reader.h"

#include <gtest/gtest.h>

#include "console/decoding.h"
#include "handlers/beat_message.h"
#include "handlers/bodies.h"
#include "handlers/system_log_message.h"
#include "tests/support/error_text.h"
#include "tests/support/wire.h"

namespace tavin::console {
namespace {

using test::errorText;
using test::wire;

std::string agentMessage(std::unique_ptr<MessageBody> body) {
  return Message("Tavin1.20", "S", "-1", std::move(body)).toString();
}

TEST(FrameReader, TakesWholeMessagesFromAnyPieces) {
  const std::string beat = agentMessage(std::make_unique<BeatMessageBody>());
  const std::string log = agentMessage(std::make_unique<LogMessageBody>("监控程序1 1 行\r\n\x02"));
  const std::string stream = beat + log + beat;
  const MessageBodyFactory factory = wireBodyFactory();
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    FrameReader reader(factory);
    std::vector<std::string> frames;
    std::unique_ptr<Message> message;
    std::string frame;
    reader.append(stream.substr(0, cut));
    while (reader.next(&message, &frame)) frames.push_back(frame);
    reader.append(stream.substr(cut));
    while (reader.next(&message, &frame)) frames.push_back(frame);
    EXPECT_EQ(frames, (std::vector<std::string>{beat, log, beat}));
    EXPECT_EQ(message->getMessageType(), "12");
  }
}

TEST(FrameReader, UnreadableBytesAreErrorsNotWaits) {
  const MessageBodyFactory factory = wireBodyFactory();
  std::string badSum = agentMessage(std::make_unique<BeatMessageBody>());
  badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '1' ? '2' : '1';
  struct Case {
    const char* what;
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {"garbage header", wire({"hello", "a", "b", "c", "d"}),
       "unreadable message header: Field Parse Error str=hello"},
      {"header fields out of order", wire({"01=S", "00=Tavin1.20", "04=12", "12=-1", "15=0"}),
       "unreadable message header: version field not exists orientation instead"},
      {"endless body announced", wire({"00=Tavin1.20", "01=S", "04=13", "12=-1", "15=9999999"}),
       "the agent announced a message body longer than 1048576 bytes"},
      {"checksum mismatch", badSum, "unreadable message: Check sum error"},
      {"other version", wire({"00=Tavin1.19", "01=S", "04=12", "12=-1", "15=0", "99= 42"}),
       "the agent speaks protocol version 'Tavin1.19'; this console speaks 'Tavin1.20'"},
      {"no checksum field", wire({"00=Tavin1.20", "01=S", "04=12", "12=-1", "15=0", "82=xyz"}),
       "a message without its checksum field where its body ends"},
      {"a megabyte without a header", std::string((1 << 20) + 1, 'x'),
       "more than 1048576 bytes without a message header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FrameReader reader(factory);
    reader.append(c.bytes);
    std::unique_ptr<Message> message;
    std::string frame;
    EXPECT_EQ(errorText<DecodeError>([&] { reader.next(&message, &frame); }), c.error);
  }
}

}  // namespace
}  // namespace tavin::console
