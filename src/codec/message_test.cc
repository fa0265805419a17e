#include "codec/message.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "codec/errors.h"
#include "handlers/beat_message.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "handlers/system_log_message.h"
#include "handlers/trouble_shooting_messages.h"
#include "tests/support/error_text.h"
#include "tests/support/wire.h"

namespace tavin {
namespace {

using test::errorText;
using test::wire;

const MessageBodyFactory& factory() {
  static const MessageBodyFactory instance = wireBodyFactory();
  return instance;
}

std::string heartbeatText() {
  Message beat("Tavin1.20", "S", "-1", std::make_unique<BeatMessageBody>());
  return beat.toString();
}

// A console message with the header fields given and a correct checksum.
std::string consoleMessage(const std::string& type, const std::string& sequence,
                           const std::string& body, const std::string& version = "Tavin1.20",
                           const std::string& orientation = "C") {
  std::string text = wire({"00=" + version, "01=" + orientation, "04=" + type,
                           "12=" + sequence, "15=" + std::to_string(body.size())}) +
                     body;
  return text + "99=" + checkSumOf(text) + '\x01';
}

TEST(Message, HeartbeatIsFortyTwoBytes) {
  Message beat("Tavin1.20", "S", "-1", std::make_unique<BeatMessageBody>());
  const std::string text = beat.toString();
  EXPECT_EQ(text, wire({"00=Tavin1.20", "01=S", "04=12", "12=-1", "15=0", "99= 43"}));
  EXPECT_EQ(text.size(), 42u);
  EXPECT_EQ(beat.getCheckSum(), " 43");
  EXPECT_EQ(beat.getCheckSumLength(), 7);

  Message parsed;
  EXPECT_EQ(parsed.getCheckSumLength(), 7);
  EXPECT_EQ(parsed.parse(text, factory()), 36);
  EXPECT_EQ(36 + parsed.getCheckSumLength() - 1, 42);
  EXPECT_EQ(parsed.getMessageType(), "12");
  EXPECT_EQ(parsed.getSequence(), "-1");
  ASSERT_NE(parsed.body(), nullptr);
  EXPECT_EQ(parsed.body()->getMessageType(), "12");
}

TEST(Message, EveryTruncationIsIncomplete) {
  const std::string text = heartbeatText();
  for (size_t n = 0; n < text.size(); ++n) {
    SCOPED_TRACE(n);
    Message message;
    EXPECT_EQ(message.parse(text.substr(0, n), factory()), Message::kIncomplete);
  }
}

TEST(Message, StatusRequestWorkedExampleAndItsResponseHeader) {
  const std::string request = wire({"00=Tavin1.20", "01=C", "04=02", "12=7", "15=0", "99=243"});
  ASSERT_EQ(request.size(), 41u);
  Message parsed;
  EXPECT_EQ(parsed.parse(request, factory()), 35);
  EXPECT_NE(dynamic_cast<StatusRequestMessageBody*>(parsed.body()), nullptr);

  auto body = std::make_unique<StatusResponseMessageBody>("h", "t", "1", "2", "3", "00", "", "");
  Message response("Tavin1.20", "S", parsed.getSequence(), std::move(body));
  const std::string text = response.toString();
  EXPECT_EQ(text.rfind(wire({"00=Tavin1.20", "01=S", "04=03", "12=7"}), 0), 0u);
}

TEST(Message, TwoMessagesBackToBack) {
  const std::string first = consoleMessage("02", "1", "");
  const std::string second =
      consoleMessage("19", "2", wire({"36=svc", "91=AgentVersion"}));
  const std::string text = first + second;
  Message a;
  const int64_t r = a.parse(text, factory());
  ASSERT_GT(r, 0);
  const std::string rest = text.substr(static_cast<size_t>(r + a.getCheckSumLength() - 1));
  EXPECT_EQ(rest, second);
  Message b;
  EXPECT_EQ(b.parse(rest, factory()), static_cast<int64_t>(second.size()) - 6);
  auto* body = dynamic_cast<TroubleShootingRequestMessageBody*>(b.body());
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->getShootingType(), "AgentVersion");
  EXPECT_EQ(body->getServiceType(), "svc");
}

TEST(Message, ChecksumMustMatchExactly) {
  const std::string good = heartbeatText();
  const std::string header = good.substr(0, 35);
  // A short checksum field leaves the message one byte short on its own, and
  // is read as soon as more bytes follow it.
  for (const char* sent : {"043", "43", " 42", "  43"}) {
    SCOPED_TRACE(sent);
    Message message;
    const std::string text = header + "99=" + sent + '\x01' + good;
    EXPECT_EQ(errorText<std::runtime_error>([&] { message.parse(text, factory()); }),
              "Check sum error");
  }
  Message alone;
  EXPECT_EQ(alone.parse(header + "99=43\x01", factory()), Message::kIncomplete);
  // A flipped body byte fails the checksum.
  std::string body = wire({"36=svc", "91=CheckCS"});
  std::string text = consoleMessage("19", "3", body);
  text[text.find("svc")] = 't';
  Message message;
  EXPECT_EQ(errorText<std::runtime_error>([&] { message.parse(text, factory()); }),
            "Check sum error");
}

TEST(Message, VersionRulesByOrientation) {
  struct Case {
    const char* orientation;
    const char* version;
    int64_t result;  // 0: read in full
  };
  const Case cases[] = {
      {"C", "Tavin1.19", Message::kConsoleOlder},
      {"C", "Tavin1.3", Message::kAgentOlder},
      {"C", "Tavin1.21", Message::kAgentOlder},
      {"S", "Tavin1.21", Message::kConsoleOlder},
      {"S", "Tavin1.19", Message::kAgentOlder},
      {"X", "Tavin0.1", 0},
      {"", "Tavin9", 0},
      {"C", "Tavin1.20", 0},
      {"S", "Tavin1.20", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.orientation) + " " + c.version);
    Message message;
    const std::string text = consoleMessage("02", "7", "", c.version, c.orientation);
    const int64_t whole = static_cast<int64_t>(text.size()) - 6;
    EXPECT_EQ(message.parse(text, factory()), c.result == 0 ? whole : c.result);
  }
  // The comparison is by unsigned bytes: a high byte sorts after ASCII.
  Message high;
  EXPECT_EQ(high.parse(consoleMessage("02", "7", "", "Tavin\xB0", "C"), factory()),
            Message::kAgentOlder);
}

TEST(Message, UnreadableHeadersAreIncomplete) {
  const std::string cases[] = {
      wire({"01=C", "00=Tavin1.20", "04=02", "12=7", "15=0", "99=243"}),  // wrong order
      wire({"00=Tavin1.20", "01=C", "04=02", "12=7", "", "15=0"}),         // empty field
      wire({"00=Tavin1.20", "01=C", "04=02", "12=7", "98=0", "99=1"}),     // unknown tag
      wire({"00=Tavin1.20", "01=C", "04=02", "12=7", "15"}),               // no "="
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(test::hex(text));
    Message message;
    EXPECT_EQ(message.parse(text, factory()), Message::kIncomplete);
  }
}

TEST(Message, BodyLengthTooSmallIsABadChecksumField) {
  std::string body = wire({"36=svc", "91=AgentVersion"});
  std::string text = wire({"00=Tavin1.20", "01=C", "04=19", "12=1", "15=7"}) + body;
  text += "99=" + checkSumOf(text) + '\x01';
  Message message;
  EXPECT_EQ(message.parse(text, factory()), Message::kBadCheckSumField);
}

TEST(Message, BodyLengthMustBeANonNegative32BitInteger) {
  for (const char* length : {"-1", "+0", "abc", "2147483648", "99999999999999999999", " 0"}) {
    SCOPED_TRACE(length);
    const std::string text =
        wire({"00=Tavin1.20", "01=C", "04=02", "12=1", std::string("15=") + length, "99=000"});
    Message message;
    EXPECT_THROW(message.parse(text, factory()), ConversionError);
  }
  // A large but valid length that the text does not hold is only incomplete.
  Message message;
  EXPECT_EQ(message.parse(wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=2147483647"}),
                          factory()),
            Message::kIncomplete);
}

TEST(Message, BodyErrorsPassThrough) {
  Message message;
  EXPECT_EQ(errorText<std::runtime_error>(
                [&] { message.parse(consoleMessage("19", "1", wire({"36=a", "93=b"})), factory()); }),
            "Wrong type ID:93");
  EXPECT_EQ(errorText<std::logic_error>(
                [&] { message.parse(consoleMessage("19", "1", wire({"36=a", "", "91=b"})), factory()); }),
            "Field not complete(1), typeName=serviceType");
}

TEST(Message, UnknownTypeHasNoBody) {
  for (const char* type : {"21", "00", "abc", ""}) {
    SCOPED_TRACE(type);
    Message message;
    EXPECT_GT(message.parse(consoleMessage(type, "1", wire({"36=x"})), factory()), 0);
    EXPECT_EQ(message.body(), nullptr);
  }
}

TEST(Message, ChineseBodiesCountBytes) {
  auto body = std::make_unique<LogMessageBody>("监控程序1 1 启动\x02");
  Message log("Tavin1.20", "S", "-1", std::move(body));
  // "82=", 9 bytes of name, " 1 ", 4 bytes of text, 0x02, SOH
  EXPECT_EQ(log.getBodyLength(), "21");
  const std::string text = log.toString();
  Message parsed;
  ASSERT_GT(parsed.parse(text, factory()), 0);
  EXPECT_EQ(parsed.body()->getValue("sysLog"), "监控程序1 1 启动\x02");
}

}  // namespace
}  // namespace tavin
