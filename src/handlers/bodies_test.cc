#include "handlers/bodies.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "handlers/beat_message.h"
#include "handlers/status_messages.h"
#include "handlers/system_log_message.h"
#include "handlers/trouble_shooting_messages.h"
#include "tests/support/error_text.h"
#include "tests/support/wire.h"

namespace tavin {
namespace {

using test::errorText;
using test::wire;

TEST(MessageBodyFactory, ChoosesTheClassByTypeNumber) {
  const MessageBodyFactory factory = wireBodyFactory();
  struct Case {
    const char* type;
    const char* messageType;  // of the body built, or null for none
  };
  const Case cases[] = {{"02", "02"}, {"2", "02"},  {"002", "02"}, {" 2", "02"},
                        {"03", "03"}, {"12", "12"}, {"13", "13"},  {"19", "19"},
                        {"20", "20"}, {"21", nullptr}, {"00", nullptr}, {"abc", nullptr},
                        {"", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    auto body = factory.createMessageBody(c.type, "");
    if (c.messageType == nullptr) {
      EXPECT_EQ(body, nullptr);
    } else {
      ASSERT_NE(body, nullptr);
      EXPECT_EQ(body->getMessageType(), c.messageType);
    }
  }
}

TEST(MessageBodyFactory, ReadingChecksNoPattern) {
  const MessageBodyFactory factory = wireBodyFactory();
  auto body = factory.createMessageBody("19", wire({"36=only"}));
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->getValue("serviceType"), "only");
  EXPECT_EQ(errorText<std::logic_error>([&] { body->toString(); }),
            "Neccessary Field 'ShootingType' not exists in class");
  // Parse errors propagate out of the factory.
  EXPECT_EQ(errorText<std::runtime_error>([&] { factory.createMessageBody("13", "x=1\x01"); }),
            "Field Parse Error str=x=1");
}

TEST(Bodies, TypesPatternsAndExecution) {
  BeatMessageBody beat;
  EXPECT_EQ(beat.toString(), "");
  EXPECT_EQ(beat.execute(), nullptr);

  LogMessageBody log("line\x02");
  EXPECT_EQ(log.toString(), wire({"82=line\x02"}));
  EXPECT_EQ(log.execute(), nullptr);

  StatusResponseMessageBody response;
  EXPECT_EQ(errorText<std::logic_error>([&] { response.execute(); }), "class is not executable");
  TroubleShootingResponseMessageBody shootingResponse("", "AgentVersion", "1010300");
  EXPECT_EQ(shootingResponse.toString(), wire({"36=", "91=AgentVersion", "51=1010300"}));
  EXPECT_EQ(shootingResponse.getResult(), "1010300");
  EXPECT_EQ(errorText<std::logic_error>([&] { shootingResponse.execute(); }),
            "class is not executable");
}

TEST(Bodies, StatusResponseWritesEightFieldsWithPackages) {
  StatusResponseMessageBody body("正常运行", "2013-01-03 07:05:09 ", "5", "40", "67", "07",
                                 wire({"85=N"}), "");
  EXPECT_EQ(body.toString(),
            wire({"58=正常运行", "92=2013-01-03 07:05:09 ", "60=5", "61=40", "62=67", "38=07",
                  "69=8\x01" "70=85=N\x01", "71=3\x01" "72="}));
  // And it reads back through the generic parser.
  StatusResponseMessageBody parsed;
  parsed.parse(body.toString());
  EXPECT_EQ(parsed.getValue("qexPackage"), wire({"85=N"}));
  EXPECT_EQ(parsed.getValue("pbuPackage"), "");
  EXPECT_EQ(parsed.toString(), body.toString());
}

}  // namespace
}  // namespace tavin
