#include "console/decoding.h"

#include <gtest/gtest.h>

#include "codec/message.h"
#include "codec/records.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "handlers/trouble_shooting_messages.h"
#include "tests/support/error_text.h"
#include "tests/support/wire.h"

namespace tavin::console {
namespace {

using test::errorText;
using test::wire;

using Fields = std::vector<std::pair<std::string, std::string>>;

Qex program(const std::string& exist, const std::string& name, const std::string& status) {
  Qex qex;
  qex.setExist(exist);
  qex.setName(name);
  qex.setType("A");
  qex.setStatus(status);
  qex.setVersion("2.1");
  qex.setWarningLevel("0");
  return qex;
}

TEST(SplitRecords, StartsARecordAtEveryFirstField) {
  struct Case {
    const char* what;
    std::string package;
    std::string firstName;
    std::vector<Fields> records;
  };
  const Case cases[] = {
      {"empty package", "", "qexExist", {}},
      {"two program records",
       program("Y", "监控程序1", "运行").recordText() +
           program("N", "监控程序2", "不存在").recordText(),
       "qexExist",
       {{{"qexExist", "Y"}, {"qexName", "监控程序1"}, {"qexType", "A"}, {"qexStatus", "运行"},
         {"qexVersion", "2.1"}, {"warningLevel", "0"}},
        {{"qexExist", "N"}, {"qexName", "监控程序2"}, {"qexType", "A"}, {"qexStatus", "不存在"},
         {"qexVersion", "2.1"}, {"warningLevel", "0"}}}},
      {"a record without its first field still counts", wire({"89=x", "85=Y", "89=y"}),
       "qexExist", {{{"qexName", "x"}}, {{"qexExist", "Y"}, {"qexName", "y"}}}},
      {"values may hold '=' and tags outside the table name themselves",
       wire({"85=a=b", "98=new"}), "qexExist", {{{"qexExist", "a=b"}, {"98", "new"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Record> records = splitRecords(c.package, c.firstName);
    ASSERT_EQ(records.size(), c.records.size());
    for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].fields, c.records[i]);
  }
}

TEST(SplitRecords, TradingUnitsStartAtTheirName) {
  const std::vector<Record> units =
      splitRecords(Pbu::fromConfig("监控程序1", "12345678901").recordText() +
                       Pbu::fromConfig("监控程序2", "2").recordText(),
                   "qexName");
  ASSERT_EQ(units.size(), 2u);
  for (const Record& unit : units) {
    ASSERT_EQ(unit.fields.size(), unitColumns().size());
    for (size_t i = 0; i < unit.fields.size(); ++i) EXPECT_EQ(unit.fields[i].first, unitColumns()[i]);
  }
  EXPECT_EQ(*units[0].find("operatorNumber"), "12345678901");
  EXPECT_EQ(*units[1].find("qexName"), "监控程序2");
  EXPECT_EQ(*units[1].find("pbuStatus"), "0");
}

TEST(SplitRecords, MalformedPackagesAreErrors) {
  EXPECT_EQ(errorText<DecodeError>([] { splitRecords(wire({"85=Y"}) + "89=cut", "qexExist"); }),
            "a record field is cut off at the end of the package");
  EXPECT_EQ(errorText<DecodeError>([] { splitRecords(wire({"85=Y", "junk"}), "qexExist"); }),
            "a record field without \"=\": 'junk'");
}

TEST(DecodeStatus, ReadsAResponseAsItComesOffTheWire) {
  const std::string qex = program("Y", "监控程序1", "运行").recordText();
  const std::string pbu = Pbu::fromConfig("监控程序1", "12345678901").recordText();
  Message sent("Tavin1.20", "S", "7",
               std::make_unique<StatusResponseMessageBody>("正常运行", "2013-01-03 07:05:09 ", "5",
                                                           "40", "67", "07", qex, pbu));
  Message received;
  ASSERT_GT(received.parse(sent.toString(), wireBodyFactory()), 0);

  const StatusReport report = decodeStatus(*received.body());
  EXPECT_EQ(report.fields, (Fields{{"hostStatus", "正常运行"}, {"HostTime", "2013-01-03 07:05:09 "},
                                   {"cpuUsage", "5"}, {"memoryUsage", "40"}, {"diskUsage", "67"},
                                   {"envNo", "07"}}));
  ASSERT_EQ(report.programs.size(), 1u);
  EXPECT_EQ(*report.programs[0].find("qexStatus"), "运行");
  ASSERT_EQ(report.units.size(), 1u);
  EXPECT_EQ(*report.units[0].find("operatorNumber"), "12345678901");
  EXPECT_EQ(report.units[0].find("nothing"), nullptr);
}

TEST(DecodeStatus, LeavesOutAbsentFieldsAndReportsBadPackages) {
  StatusResponseMessageBody partial;
  partial.parse(wire({"58=正常运行", "60=9"}));
  const StatusReport report = decodeStatus(partial);
  EXPECT_EQ(report.fields, (Fields{{"hostStatus", "正常运行"}, {"cpuUsage", "9"}}));
  EXPECT_TRUE(report.programs.empty());
  EXPECT_TRUE(report.units.empty());

  StatusResponseMessageBody broken;
  broken.parse(wire({"69=7", "70=85=Y"}));  // the record lacks its closing SOH
  EXPECT_EQ(errorText<DecodeError>([&] { decodeStatus(broken); }),
            "status response: a record field is cut off at the end of the package");
}

TEST(DecodeShooting, TakesTheThreeFields) {
  TroubleShootingResponseMessageBody body("svc", "CheckCS", "端口10105\r\n");
  const ShootingResult result = decodeShooting(body);
  EXPECT_EQ(result.serviceType, "svc");
  EXPECT_EQ(result.shootingType, "CheckCS");
  EXPECT_EQ(result.result, "端口10105\r\n");
}

TEST(SplitSysLog, EntriesEndWithStx) {
  struct Line {
    std::string program, lineNumber, text;
  };
  struct Case {
    const char* what;
    std::string sysLog;
    std::vector<Line> lines;
  };
  const Case cases[] = {
      {"two lines with their line ends", "监控程序1 3 启动 完成\r\n\x02监控程序1 4 next\n\x02",
       {{"监控程序1", "3", "启动 完成"}, {"监控程序1", "4", "next"}}},
      {"a line cut off before its line end", "监控程序2 21 half\x02", {{"监控程序2", "21", "half"}}},
      {"an empty line", "监控程序1 5 \r\n\x02", {{"监控程序1", "5", ""}}},
      {"an entry of another form stays whole", "no number here\x02", {{"", "", "no number here"}}},
      {"last entry without its STX", "a 1 x\x02" "b 2 y", {{"a", "1", "x"}, {"b", "2", "y"}}},
      {"nothing", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<LogLine> lines = splitSysLog(c.sysLog);
    ASSERT_EQ(lines.size(), c.lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].program, c.lines[i].program);
      EXPECT_EQ(lines[i].lineNumber, c.lines[i].lineNumber);
      EXPECT_EQ(lines[i].text, c.lines[i].text);
    }
  }
}

}  // namespace
}  // namespace tavin::console
