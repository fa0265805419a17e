#include "probes/qex_status_file.h"

#include <gtest/gtest.h>

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "platform/files.h"
#include "tests/support/error_text.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace tavin {
namespace {

const std::string kOp1 = "OP000000001";
const std::string kOp2 = "OP000000002";

// A running program's file: operator 1 active (status 3) with counters, an
// operator nobody configured, and operator 1 again in a later section.
std::string statusFile(const std::string& op1Status) {
  return "[TIME]\r\nTime=20121105 09:30:01\r\n"
         "[QEXStatus]\r\nQEXVersion=V2.1\r\nQEXType=A股\r\nWarningLevel=2\r\n"
         "OperatorTotal=3\r\n"
         "[OperatorStatus.1]\r\nOperator=" + kOp1 + "\r\nStatus=" + op1Status +
         "\r\nWarningLevel=1\r\n"
         "OrdNumSubmitted=10\r\nOrdNumConfirmed=9\r\nTradeNumber=8\r\nMaxOrderNumber=100\r\n"
         "CSIP=127.0.0.2\r\nLocalIP=127.0.0.3\r\nCapability=50\r\nWork=1\r\n"
         "[OperatorStatus.2]\r\nOperator=OP000000009\r\nStatus=3\r\nOrdNumSubmitted=77\r\n"
         "[OperatorStatus.3]\r\nOperator=" + kOp1 + "\r\nStatus=0\r\nOrdNumSubmitted=55\r\n";
}

std::vector<Pbu> configured() {
  return {Pbu::fromConfig("监控程序1", kOp1), Pbu::fromConfig("监控程序1", kOp2)};
}

// The values of a trading unit that the status file sets, in record order.
std::vector<std::string> values(const Pbu& p) {
  return {p.getType(),     p.getStatus(),  p.getBidNumber(),      p.getResponseNumber(),
          p.getTradeNumber(), p.getMaxOrderNumber(), p.getCsIp(), p.getHostExtIp(),
          p.getCapability(), p.getWork(),  p.getWarningLevel()};
}

struct Parsed {
  std::string type = "old type";
  std::string version = "old version";
  std::string warning = "old warning";
  std::vector<Pbu> pbus = configured();
};

Parsed parse(const std::string& path, const std::string& processStatus) {
  test::FakeClock clock;
  Parsed out;
  QexStatusFile(path, clock)
      .parseStatus("监控程序1", out.type, out.version, out.warning, processStatus, out.pbus);
  return out;
}

TEST(QexStatusFile, MergesTheFileIntoConfiguredUnits) {
  const std::vector<std::string> unchanged = values(configured()[1]);
  struct Case {
    const char* name;
    std::string op1Status;
    std::string_view processStatus;
    std::string warning;
    std::vector<std::string> op1;
  };
  const Case cases[] = {
      {"running, active operator", "3", kStatusRunning, "2",
       {"A股", "3", "10", "9", "8", "100", "127.0.0.2", "127.0.0.3", "50", "1", "1"}},
      {"running, operator status 2", "2", kStatusRunning, "2",
       {"A股", "2", "", "", "", "", "", "", "", "", "1"}},
      {"process absent", "3", kStatusStopped, "0",
       {"A股", "3", "", "", "", "", "", "", "", "", "0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    ASSERT_TRUE(platform::writeFile(dir.path("s.txt"), statusFile(c.op1Status)).isOk());
    const Parsed out = parse(dir.path("s.txt"), std::string(c.processStatus));
    EXPECT_EQ(out.type, "A股");
    EXPECT_EQ(out.version, "V2.1");
    EXPECT_EQ(out.warning, c.warning);
    ASSERT_EQ(out.pbus.size(), 2u);  // the unconfigured operator is dropped
    EXPECT_EQ(out.pbus[0].getOperatorNumber(), kOp1);
    EXPECT_EQ(out.pbus[0].getName(), "监控程序1");
    EXPECT_EQ(values(out.pbus[0]), c.op1);  // section 1 wins over section 3
    EXPECT_EQ(values(out.pbus[1]), unchanged);
  }
}

TEST(QexStatusFile, UnusableFilesChangeNothing) {
  struct Case {
    const char* name;
    const char* content;  // null: no file
  };
  const Case cases[] = {
      {"missing file", nullptr},
      {"no Time", "[QEXStatus]\nQEXVersion=V9\nOperatorTotal=1\n"
                  "[OperatorStatus.1]\nOperator=OP000000001\nStatus=3\n"},
      {"empty Time", "[TIME]\nTime=\n[QEXStatus]\nQEXVersion=V9\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    if (c.content) {
      ASSERT_TRUE(platform::writeFile(dir.path("s.txt"), c.content).isOk());
    }
    const Parsed out = parse(dir.path("s.txt"), std::string(kStatusRunning));
    EXPECT_EQ(out.type, "old type");
    EXPECT_EQ(out.version, "old version");
    EXPECT_EQ(out.warning, "old warning");
    EXPECT_EQ(values(out.pbus[0]), values(configured()[0]));
  }
}

TEST(QexStatusFile, OperatorTotalIsALeadingIntegerWithABound) {
  test::TempDir dir;
  std::string file = "[TIME]\nTime=20121105 09:30:01\n[QEXStatus]\nQEXType=B\n";
  const std::string head = file;
  auto section = [](int i, const std::string& op) {
    return "[OperatorStatus." + std::to_string(i) + "]\nOperator=" + op + "\nStatus=1\n";
  };
  struct Case {
    std::string total;
    std::string sections;
    std::string op1Status;  // "0" when the section was not read
  };
  const Case cases[] = {
      {"1 operator", section(1, kOp1), "1"},
      {"abc", section(1, kOp1), "0"},
      {"", section(1, kOp1), "0"},
      // Absurd totals are cut to the bound: section 999 is read, 1000 is not.
      {"99999999999999", section(999, kOp1) + section(1000, kOp2), "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.total);
    ASSERT_TRUE(platform::writeFile(dir.path("s.txt"), head + "OperatorTotal=" + c.total +
                                                           "\n" + c.sections).isOk());
    const Parsed out = parse(dir.path("s.txt"), std::string(kStatusRunning));
    EXPECT_EQ(out.type, "B");
    EXPECT_EQ(out.pbus[0].getStatus(), c.op1Status);
    EXPECT_EQ(out.pbus[1].getStatus(), "0");
  }
}

TEST(QexStatusFile, TimeIsReadAtFixedPositions) {
  test::FakeClock clock;
  const int64_t expected = clock.localToEpochSeconds(test::FakeClock::at(2012, 11, 5, 9, 30, 1)) * 1000;
  EXPECT_EQ(QexStatusFile::timeMillis("", clock), 0);
  EXPECT_EQ(QexStatusFile::timeMillis("20121105 09:30:01", clock), expected);
  EXPECT_EQ(QexStatusFile::timeMillis("20121105-09:30:01", clock), expected);
  EXPECT_EQ(test::errorText<ConversionError>([&] { QexStatusFile::timeMillis("2012110", clock); }),
            "'' is not a valid integer value");
  EXPECT_EQ(test::errorText<ConversionError>(
                [&] { QexStatusFile::timeMillis("2012AB05 09:30:01", clock); }),
            "'AB' is not a valid integer value");

  // parseStatus raises it and changes nothing.
  test::TempDir dir;
  ASSERT_TRUE(platform::writeFile(dir.path("s.txt"),
                                  "[TIME]\nTime=2012110\n[QEXStatus]\nQEXVersion=V9\n").isOk());
  Parsed out;
  EXPECT_THROW(out = parse(dir.path("s.txt"), std::string(kStatusRunning)), ConversionError);
  EXPECT_EQ(out.version, "old version");
}

}  // namespace
}  // namespace tavin
