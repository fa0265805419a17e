#include "probes/qex_communicator.h"

#include <gtest/gtest.h>

#include "codec/codec_texts.h"
#include "platform/files.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_processes.h"
#include "tests/support/temp_dir.h"

namespace tavin {
namespace {

ProgramFiles programFiles(const test::TempDir& dir, const std::string& exist,
                          const std::string& name = "监控程序1",
                          const std::string& startFileName = "Tavin_ASHR.exe") {
  const std::string sep(1, platform::pathSeparator());
  ProgramFiles files;
  files.exist = exist;
  files.name = name;
  files.workDir = dir.path() + sep;
  files.configFile = dir.path("SystemConfiguration.ini");
  files.startFileName = startFileName;
  files.startFile = dir.path(startFileName);
  files.statusFile = dir.path("status.txt");
  files.cmdFile = dir.path("cmd.txt");
  files.cmdResFile = dir.path("cmd_res.txt");
  files.sysLogDir = dir.path("logs") + sep;
  return files;
}

std::vector<std::string> operatorCodes(const QexCommunicator& q) {
  std::vector<std::string> codes;
  for (const Pbu& pbu : q.getPbus()) codes.push_back(pbu.getOperatorNumber());
  return codes;
}

TEST(QexCommunicator, TakesElevenByteOperatorCodesInSectionOrder) {
  struct Case {
    const char* name;
    std::string ini;  // empty: no file
    std::vector<std::string> codes;
  };
  const Case cases[] = {
      {"gaps and sections past the count",
       "[System]\nOperatorCounts=3\n[oper3]\nOperCode=OP000000003\n"
       "[oper1]\nOperCode=OP000000001\n[oper4]\nOperCode=OP000000004\n",
       {"OP000000001", "OP000000003"}},
      {"wrong lengths", "[System]\nOperatorCounts=4\n[oper1]\nOperCode=OP00000001\n"
                        "[oper2]\nOperCode=OP0000000002\n[oper3]\nOperCode=OP000000003 \n"
                        "[oper4]\nOperCode=监控程序1AB\n",
       {"监控程序1AB"}},
      {"count not a number", "[System]\nOperatorCounts=3x\n[oper1]\nOperCode=OP000000001\n", {}},
      {"no System section", "[oper1]\nOperCode=OP000000001\n", {}},
      {"absurd count is bounded",
       "[System]\nOperatorCounts=2147483647\n[oper999]\nOperCode=OP000000999\n"
       "[oper1000]\nOperCode=OP000001000\n",
       {"OP000000999"}},
      {"no file", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::FakeClock clock;
    test::FakeProcesses processes;
    if (!c.ini.empty()) {
      ASSERT_TRUE(platform::writeFile(dir.path("SystemConfiguration.ini"), c.ini).isOk());
    }
    // A program that is not monitored still gets its trading units.
    QexCommunicator q(programFiles(dir, "N"), clock, processes);
    EXPECT_EQ(operatorCodes(q), c.codes);
    EXPECT_EQ(q.getPbuCount(), static_cast<int32_t>(c.codes.size()));
    for (const Pbu& pbu : q.getPbus()) {
      EXPECT_EQ(pbu.getName(), "监控程序1");
      EXPECT_EQ(pbu.getStatus(), "0");
    }
    EXPECT_EQ(q.getName(), "监控程序1");
    EXPECT_EQ(q.getExist(), "N");
    EXPECT_EQ(q.getStatus(), kStatusUnknown);
  }
}

TEST(QexCommunicator, ProcessCheckComparesBareNamesWithoutCase) {
  struct Case {
    const char* name;
    std::string program;
    std::string startFileName;
    std::vector<platform::ProcessInfo> running;
    bool listFails;
    std::string_view status;
  };
  const Case cases[] = {
      {"other case", "监控程序1", "Tavin_ASHR.exe", {{"tavin_ashr.exe", ""}}, false, kStatusRunning},
      {"by argv0", "监控程序1", "Tavin_ASHR.exe", {{"wine", "TAVIN_ASHR.EXE"}}, false,
       kStatusRunning},
      {"absent", "监控程序1", "Tavin_ASHR.exe", {{"Tavin_BSHR.exe", ""}}, false, kStatusStopped},
      {"list fails", "监控程序1", "Tavin_ASHR.exe", {{"Tavin_ASHR.exe", ""}}, true, kStatusStopped},
      {"name with a directory", "监控程序1", "bin\\Tavin_ASHR.exe", {{"Tavin_ASHR.exe", ""}}, false,
       kStatusStopped},
      {"\"0\" means the default", "监控程序1", "0", {{"Tavin_ASHR.exe", ""}}, false,
       kStatusRunning},
      {"blank means the default", "监控程序2", " \t", {{"Tavin_BSHR.exe", ""}}, false,
       kStatusRunning},
      {"program 2's default", "监控程序2", "0", {{"Tavin_ASHR.exe", ""}}, false, kStatusStopped},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::FakeClock clock;
    test::FakeProcesses processes;
    processes.running = c.running;
    processes.fails = c.listFails;
    QexCommunicator q(programFiles(dir, "Y", c.program, c.startFileName), clock, processes);
    q.refresh();
    EXPECT_EQ(q.getStatus(), c.status);
  }
}

TEST(QexCommunicator, RefreshKeepsFileValuesWhileTheFileIsGone) {
  test::TempDir dir;
  test::FakeClock clock;
  test::FakeProcesses processes;
  processes.running = {{"Tavin_ASHR.exe", ""}};
  ASSERT_TRUE(platform::writeFile(dir.path("SystemConfiguration.ini"),
                                  "[System]\nOperatorCounts=1\n[oper1]\nOperCode=OP000000001\n")
                  .isOk());
  ASSERT_TRUE(platform::writeFile(dir.path("status.txt"),
                                  "[TIME]\nTime=20121105 09:30:01\n[QEXStatus]\nQEXVersion=V2\n"
                                  "QEXType=A\nWarningLevel=3\nOperatorTotal=1\n"
                                  "[OperatorStatus.1]\nOperator=OP000000001\nStatus=3\n"
                                  "TradeNumber=8\n").isOk());
  QexCommunicator q(programFiles(dir, "Y"), clock, processes);
  q.refresh();
  EXPECT_EQ(q.getStatus(), kStatusRunning);
  EXPECT_EQ(q.getVersion(), "V2");
  EXPECT_EQ(q.getType(), "A");
  EXPECT_EQ(q.getWarningLevel(), "3");
  EXPECT_EQ(q.getPbus()[0].getTradeNumber(), "8");

  ASSERT_TRUE(platform::removeFile(dir.path("status.txt")).isOk());
  processes.running.clear();
  q.refresh();
  EXPECT_EQ(q.getStatus(), kStatusStopped);  // always the current process check
  EXPECT_EQ(q.getVersion(), "V2");
  EXPECT_EQ(q.getType(), "A");
  EXPECT_EQ(q.getWarningLevel(), "3");
  EXPECT_EQ(q.getPbus()[0].getTradeNumber(), "8");
}

TEST(QexCommunicator, AProgramNotMonitoredIsAbsentWhateverRuns) {
  test::TempDir dir;
  test::FakeClock clock;
  test::FakeProcesses processes;
  processes.running = {{"Tavin_ASHR.exe", ""}};
  QexCommunicator q(programFiles(dir, "N"), clock, processes);
  q.refresh();
  EXPECT_EQ(q.getStatus(), kStatusAbsent);
  EXPECT_FALSE(q.isEnabled());
}

}  // namespace
}  // namespace tavin
