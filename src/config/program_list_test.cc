// The operations of AgentConfig over the two monitored programs.
#include <gtest/gtest.h>

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "config/agent_config.h"
#include "platform/files.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_processes.h"
#include "tests/support/temp_dir.h"

namespace tavin {
namespace {

const std::string kSep(1, platform::pathSeparator());

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

class ProgramListTest : public ::testing::Test {
 protected:
  ProgramListTest()
      : clock_(test::FakeClock::at(2012, 11, 5)),
        config_(dir_.path("agent.exe"), dir_.path(), clock_, processes_) {}

  void write(const std::string& name, const std::string& text) {
    ASSERT_TRUE(platform::writeFile(dir_.path(name), text).isOk());
  }
  // Both programs' files; flags as given. Logs go to logs/p1 and logs/p2.
  void load(const std::string& flag1, const std::string& flag2) {
    for (const char* sub : {"logs", "cfgA", "cfgB", "monitor"}) {
      ASSERT_TRUE(platform::createDirectory(dir_.path(sub)).isOk());
    }
    for (const char* sub : {"p1", "p2"}) {
      ASSERT_TRUE(platform::createDirectory(dir_.path("logs") + kSep + sub).isOk());
    }
    write("Tavin_ASHR.exe", "");
    write("Tavin_BSHR.exe", "");
    write("agent.ini", "[Program]\nlogs_dir=" + dir_.path("logs") + kSep + "\n" +
                           "监控程序1=" + flag1 + "\n监控程序2=" + flag2 + "\n" +
                           "监控程序1_SYSLOGDIR=p1\n监控程序2_SYSLOGDIR=p2\n");
    write("cfgA" + kSep + "SystemConfiguration.ini",
          "[System]\nOperatorCounts=2\n[oper1]\nOperCode=A0000000001\n"
          "[oper2]\nOperCode=A0000000002\n");
    write("cfgB" + kSep + "SystemConfiguration.ini",
          "[System]\nOperatorCounts=1\n[oper1]\nOperCode=B0000000001\n");
    ASSERT_TRUE(config_.load());
  }
  void log(const char* program, int lines) {
    std::string text;
    for (int i = 1; i <= lines; ++i) text += std::string(program) + " line\r\n";
    write("logs" + kSep + program + kSep + "system20121105.log", text);
  }

  test::TempDir dir_;
  test::FakeClock clock_;
  test::FakeProcesses processes_;
  AgentConfig config_;
};

TEST_F(ProgramListTest, DrainsProgramOneBeforeProgramTwo) {
  load("Y", "Y");
  log("p1", 25);
  log("p2", 3);
  std::string out;
  struct Batch {
    const char* program;
    int lines;
  };
  for (const Batch& batch : {Batch{"监控程序1", 20}, Batch{"监控程序1", 5}, Batch{"监控程序2", 3}}) {
    SCOPED_TRACE(batch.lines);
    ASSERT_TRUE(config_.getNewSysLog(out));
    EXPECT_EQ(count(out, "\x02"), static_cast<size_t>(batch.lines));
    EXPECT_EQ(count(out, batch.program), static_cast<size_t>(batch.lines));
  }
  EXPECT_FALSE(config_.getNewSysLog(out));
  EXPECT_EQ(out, "");
}

TEST_F(ProgramListTest, NeverReadsTheLogOfAProgramNotMonitored) {
  load("N", "Y");
  log("p1", 2);
  log("p2", 1);
  std::string out;
  ASSERT_TRUE(config_.getNewSysLog(out));
  EXPECT_EQ(out, "监控程序2 1 p2 line\r\n\x02");
  EXPECT_FALSE(config_.getNewSysLog(out));
  EXPECT_EQ(config_.communicator(0).getLogReader().getDate(), "");  // never even looked
}

TEST_F(ProgramListTest, BothDisabledStillReportTwoRecords) {
  load("N", "N");
  log("p1", 2);
  std::string out = "stale";
  EXPECT_FALSE(config_.getNewSysLog(out));
  EXPECT_EQ(out, "");
  config_.refreshStatus();
  const std::string qex = config_.getQexPackage();
  EXPECT_EQ(count(qex, std::string(kStatusAbsent)), 2u);
  EXPECT_LT(qex.find("监控程序1"), qex.find("监控程序2"));
}

TEST_F(ProgramListTest, TradingUnitsInProgramAndOperatorOrder) {
  load("Y", "N");
  const std::string pbu = config_.getPbuPackage();
  const size_t a1 = pbu.find("A0000000001");
  const size_t a2 = pbu.find("A0000000002");
  const size_t b1 = pbu.find("B0000000001");
  ASSERT_NE(b1, std::string::npos);
  EXPECT_LT(a1, a2);
  EXPECT_LT(a2, b1);
}

TEST_F(ProgramListTest, OneLookAtTheProcessesServesBothPrograms) {
  load("Y", "Y");
  struct Case {
    const char* name;
    std::vector<platform::ProcessInfo> running;
    bool fails;
    std::string status1;
    std::string status2;
  };
  const Case cases[] = {
      {"both running", {{"Tavin_ASHR.exe", ""}, {"", "tavin_bshr.exe"}}, false,
       std::string(kStatusRunning), std::string(kStatusRunning)},
      {"one running", {{"Tavin_BSHR.exe", ""}}, false, std::string(kStatusStopped),
       std::string(kStatusRunning)},
      {"list unreadable", {{"Tavin_ASHR.exe", ""}}, true, std::string(kStatusStopped),
       std::string(kStatusStopped)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    processes_.running = c.running;
    processes_.fails = c.fails;
    processes_.listed = 0;
    config_.refreshStatus();
    EXPECT_EQ(processes_.listed, 1);
    EXPECT_EQ(config_.communicator(0).getStatus(), c.status1);
    EXPECT_EQ(config_.communicator(1).getStatus(), c.status2);
  }
}

TEST_F(ProgramListTest, AnErrorInProgramOneLeavesProgramTwoAlone) {
  load("Y", "Y");
  processes_.running = {{"Tavin_ASHR.exe", ""}, {"Tavin_BSHR.exe", ""}};
  write("monitor" + kSep + "ASHR_status.txt", "[TIME]\nTime=2012110\n");
  EXPECT_THROW(config_.refreshStatus(), ConversionError);
  EXPECT_EQ(config_.communicator(1).getStatus(), kStatusUnknown);

  write("monitor" + kSep + "ASHR_status.txt", "[TIME]\nTime=20121105 09:30:01\n");
  config_.refreshStatus();
  EXPECT_EQ(config_.communicator(0).getStatus(), kStatusRunning);
  EXPECT_EQ(config_.communicator(1).getStatus(), kStatusRunning);
}

}  // namespace
}  // namespace tavin
