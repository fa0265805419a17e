#include "console/output.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace tavin::console {
namespace {

using platform::gbkToUtf8;

TEST(ConsoleOutput, RawFramesShowControlBytes) {
  struct Case {
    bool sent;
    std::string frame;
    std::string shown;  // GBK; converted for the comparison
  };
  const Case cases[] = {
      {true, "00=Tavin1.20\x01" "01=C\x01", "> 00=Tavin1.20<SOH>01=C<SOH>"},
      {false, "82=监控程序1 3 行\r\n\x02\x01", "< 82=监控程序1 3 行<CR><LF><STX><SOH>"},
      {false, std::string("a\0b\x1f\x7f", 5), "< a<0x00>b<0x1F><0x7F>"},
      // A character whose second byte is "|" (0x7C) stays one character.
      {false, "x\x81\x7Cy", "< x\x81\x7Cy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(rawFrame(c.sent, c.frame), gbkToUtf8(c.shown) + "\n");
  }
}

TEST(ConsoleOutput, JsonStringsAreEscaped) {
  struct Case {
    std::string utf8;
    std::string json;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\agent\\", "\"C:\\\\agent\\\\\""},
      {"a\r\nb\tc", "\"a\\r\\nb\\tc\""},
      {std::string("\x01\x02\0", 3), "\"\\u0001\\u0002\\u0000\""},
      {"\xE7\x9B\x91", "\"\xE7\x9B\x91\""},  // UTF-8 passes as it is
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(jsonString(c.utf8), c.json);
  }
}

StatusReport sampleReport() {
  StatusReport report;
  report.fields = {{"hostStatus", "正常运行"}, {"cpuUsage", "5"}};
  Record program;
  program.fields = {{"qexExist", "Y"}, {"qexName", "监控程序1"}, {"qexType", "A"},
                    {"qexStatus", "运行"}, {"qexVersion", "2.1"}, {"warningLevel", "0"},
                    {"extra", "z"}};
  report.programs = {program};
  return report;
}

TEST(ConsoleOutput, StatusTextLinesUpChineseColumns) {
  const std::string expected =
      "hostStatus   正常运行\n"
      "cpuUsage     5\n"
      "\n"
      "Programs (1)\n"
      "  qexExist  qexName    qexType  qexStatus  qexVersion  warningLevel  extra\n"
      "  Y         监控程序1  A        运行       2.1         0             z\n"
      "\n"
      "Trading units (0)\n"
      "  qexName  operatorNumber  qexType  pbuStatus  pbuBidNumber  pbuResponseNumber  "
      "pbuTradeNumber  MaxOrderNumber  csIP  hostExtIP  capability  work  warningLevel\n";
  EXPECT_EQ(statusText(sampleReport()), gbkToUtf8(expected));
}

TEST(ConsoleOutput, StatusJsonIsOneObjectPerLine) {
  const std::string expected =
      "{\"type\":\"status\",\"sequence\":\"4\",\"hostStatus\":\"正常运行\",\"cpuUsage\":\"5\","
      "\"programs\":[{\"qexExist\":\"Y\",\"qexName\":\"监控程序1\",\"qexType\":\"A\","
      "\"qexStatus\":\"运行\",\"qexVersion\":\"2.1\",\"warningLevel\":\"0\",\"extra\":\"z\"}],"
      "\"units\":[]}\n";
  EXPECT_EQ(statusJson("4", sampleReport()), gbkToUtf8(expected));
}

TEST(ConsoleOutput, ShootingResults) {
  struct Case {
    ShootingResult result;
    std::string text;
  };
  const Case cases[] = {
      {{"", "AgentVersion", "1010300"}, "AgentVersion: 1010300\n"},
      {{"", "CheckCS", "端口10105\r\nA股报盘程序状态:\r\n没有配置交易员\r\n"},
       "CheckCS:\n端口10105\nA股报盘程序状态:\n没有配置交易员\n"},
      {{"", "CheckCfgFile", "C:\\a\\tavin.ini\\r\\n"}, "CheckCfgFile: C:\\a\\tavin.ini\\r\\n\n"},
      {{"", "CheckCfgFile", ""}, "CheckCfgFile:\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(shootingText(c.result), gbkToUtf8(c.text));
  }
  EXPECT_EQ(shootingJson("2", {"s", "CheckCS", "端口1\r\n"}),
            gbkToUtf8("{\"type\":\"shoot\",\"sequence\":\"2\",\"serviceType\":\"s\","
                      "\"ShootingType\":\"CheckCS\",\"result\":\"端口1\\r\\n\"}\n"));
}

TEST(ConsoleOutput, WatchLines) {
  const std::string time = "2024-05-01 10:00:03";
  EXPECT_EQ(heartbeatText(time), "2024-05-01 10:00:03  heartbeat\n");
  EXPECT_EQ(heartbeatJson(time), "{\"type\":\"heartbeat\",\"time\":\"2024-05-01 10:00:03\"}\n");
  const LogLine line{"监控程序1", "12", "委托\t\"ok\""};
  EXPECT_EQ(logLineText(time, line),
            gbkToUtf8("2024-05-01 10:00:03  监控程序1 #12  委托<0x09>\"ok\"\n"));
  EXPECT_EQ(logLineJson(time, line),
            gbkToUtf8("{\"type\":\"sysLog\",\"time\":\"2024-05-01 10:00:03\",\"program\":\"监控程序1\","
                      "\"line\":\"12\",\"text\":\"委托\\t\\\"ok\\\"\"}\n"));
  EXPECT_EQ(logLineText(time, {"", "", "odd entry"}), "2024-05-01 10:00:03  odd entry\n");
}

}  // namespace
}  // namespace tavin::console
