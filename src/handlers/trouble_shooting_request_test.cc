// The trouble-shooting request executed against a configuration loaded from
// a temporary installation; connection tests are recorded.
#include <gtest/gtest.h>

#include <stdexcept>

#include "handlers/trouble_shooting_messages.h"
#include "handlers/trouble_shooting_test_support.h"
#include "tests/support/error_text.h"
#include "tests/support/wire.h"

namespace tavin {
namespace {

using test::errorText;
using test::wire;
using TroubleShootingRequest = test::TroubleShootingRequestTest;

TEST_F(TroubleShootingRequest, AgentVersionRepeatsTheRequestsFields) {
  install();
  struct Case {
    const char* serviceType;
    std::string body;
  };
  const Case cases[] = {
      // An empty serviceType is still written, in first place.
      {"", wire({"36=", "91=AgentVersion", "51=1010300"})},
      {"运维 1", wire({"36=运维 1", "91=AgentVersion", "51=1010300"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serviceType);
    std::unique_ptr<MessageBody> response = execute(c.serviceType, "AgentVersion");
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->getMessageType(), "20");
    EXPECT_EQ(response->toString(), c.body);
  }
}

TEST_F(TroubleShootingRequest, OtherShootingTypesYieldABodyThatCannotBeWritten) {
  install();
  for (const char* type : {"agentversion", "checkcs", "CheckCS ", "", "Unknown", "（无）"}) {
    SCOPED_TRACE(type);
    std::unique_ptr<MessageBody> response = execute("", type);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->getMessageType(), "");
    EXPECT_EQ(response->fieldCount(), 0u);
    EXPECT_EQ(errorText<std::logic_error>([&] { response->toString(); }),
              "this is an abstract class message body");
  }
  // Without a ShootingType field at all, the same.
  std::unique_ptr<MessageBody> response = execute("x", nullptr);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->fieldCount(), 0u);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(TroubleShootingRequest, CheckCfgFileAnswers) {
  struct Case {
    const char* name;
    std::string ini;  // replaces the agent's ini file after the load; empty: kept
    std::string removed;
    std::string expected;
  };
  const Case cases[] = {
      {"complete installation", "", "", "OK"},
      {"no Tavin section", "[PORT]\nport=1\n[ACCESS_CONTROL]\nip1=127.0.0.1\n", "",
       "配置文件中不存在Tavin字段;"},
      {"empty port", "[PORT]\nport=\n[ACCESS_CONTROL]\nip1=127.0.0.1\n[Tavin]\n", "",
       "配置文件中PORT字段中的port内容为空;"},
      // A missing file is reported alone: the ini file's sections (no Tavin
      // here) are not examined.
      {"program 2's configuration missing", "[PORT]\nport=\n", config2(),
       "配置文件不存在:" + config2() + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install();
    if (!c.ini.empty()) write(iniFile(), c.ini);
    if (!c.removed.empty()) {
      ASSERT_TRUE(platform::removeFile(c.removed).isOk());
    }
    std::unique_ptr<MessageBody> response = execute("s", "CheckCfgFile");
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->getValue("serviceType"), "s");
    EXPECT_EQ(response->getValue("ShootingType"), "CheckCfgFile");
    EXPECT_EQ(response->getResult(), c.expected);
  }
}

TEST_F(TroubleShootingRequest, CheckCsUsesTheConfiguredPrograms) {
  // Program 1 enabled with a configuration file of its own name; the check
  // reads that one, and the environment number of the host's tavin.ini.
  write(dir_.path("tavin.ini"), "[TAVIN]\nenvNo=01\n");
  install("[Program]\n监控程序1=Y\n监控程序1_用户配置文件=cfgA\\mine.ini\n");
  write(dir_.path("cfgA" + sep() + "mine.ini"),
        "[System]\nOperatorCounts=1\n[oper1]\nGwipCounts=2\nGwip1=127.0.0.1\nLocalIP1=127.0.0.1\n"
        "Gwip2=127.0.0.2\nLocalIP2=127.0.0.1\n");
  EXPECT_EQ(result("CheckCS"),
            "端口10105\r\nA股报盘程序状态:\r\n"
            "Host:127.0.0.1与CS127.0.0.1连接正常\r\nHost:127.0.0.1与CS127.0.0.2连接不正常\r\n"
            "B股报盘程序状态:\r\nB股报盘程序不存在\r\n");
  EXPECT_EQ(calls_, (std::vector<Call>{{"127.0.0.1", "127.0.0.1", 10105},
                                       {"127.0.0.2", "127.0.0.1", 10105}}));
}

TEST_F(TroubleShootingRequest, WithoutAContextTheRequestIsNotExecutable) {
  TroubleShootingRequestMessageBody request;
  request.addField("ShootingType", "AgentVersion");
  EXPECT_EQ(errorText<std::logic_error>([&] { request.execute(); }), "class is not executable");
  TroubleShootingResponseMessageBody response("", "AgentVersion", "1010300");
  EXPECT_EQ(errorText<std::logic_error>([&] { response.execute(); }), "class is not executable");
}

}  // namespace
}  // namespace tavin
