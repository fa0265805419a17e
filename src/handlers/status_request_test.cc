// The status request executed against a real configuration on a temporary
// directory, with fixed host counters and a fake clock.
#include <gtest/gtest.h>

#include "codec/codec_texts.h"
#include "handlers/status_context.h"
#include "handlers/status_messages.h"
#include "platform/files.h"
#include "tests/support/error_text.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_processes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wire.h"

namespace tavin {
namespace {

using test::wire;

const std::string kSep(1, platform::pathSeparator());

class FixedCounters : public platform::HostCounters {
 public:
  platform::SysStatus cpuTimes(platform::CpuTimes* out) const override {
    // Since boot: 800 units, 200 of them idle (kernel time includes idle).
    *out = platform::CpuTimes{200, 600, 200};
    return platform::SysStatus::ok();
  }
  platform::SysStatus commitCharge(platform::CommitCharge* out) const override {
    out->total = 1000;
    out->available = 600;
    return platform::SysStatus::ok();
  }
  platform::SysStatus volumeSpace(const std::string&, platform::VolumeSpace* out) const override {
    out->total = 100;
    out->free = 33;
    return platform::SysStatus::ok();
  }
};

class StatusRequestTest : public ::testing::Test {
 protected:
  StatusRequestTest()
      : clock_(test::FakeClock::at(2013, 1, 3, 7, 5, 9)),
        config_(dir_.path("agent.exe"), dir_.path(), clock_, processes_),
        status_(counters_),
        context_{config_, status_, clock_, [this](int ms) { pauses_.push_back(ms); }} {}

  void write(const std::string& name, const std::string& text) {
    ASSERT_TRUE(platform::writeFile(dir_.path(name), text).isOk());
  }
  // Program 1 enabled with one operator; program 2 disabled.
  void load() {
    for (const char* sub : {"cfgA", "monitor"}) {
      ASSERT_TRUE(platform::createDirectory(dir_.path(sub)).isOk());
    }
    write("Tavin_ASHR.exe", "");
    // The log directory inside the test's own directory, not the process's.
    write("agent.ini", "[Program]\nlogs_dir=" + dir_.path("logs") + kSep + "\n监控程序1=Y\n");
    write("tavin.ini", "[TAVIN]\nenvNo=07\n");
    write("cfgA" + kSep + "SystemConfiguration.ini",
          "[System]\nOperatorCounts=1\n[oper1]\nOperCode=A0000000001\n");
    ASSERT_TRUE(config_.load());
  }
  void writeStatus(const std::string& time, const std::string& submitted) {
    write("monitor" + kSep + "ASHR_status.txt",
          "[TIME]\nTime=" + time + "\n[QEXStatus]\nQEXVersion=3.1\nQEXType=A\n"
          "OperatorTotal=1\nWarningLevel=2\n[OperatorStatus.1]\nOperator=A0000000001\n"
          "Status=3\nOrdNumSubmitted=" + submitted + "\n");
  }
  std::unique_ptr<MessageBody> execute() {
    StatusRequestMessageBody request(&context_);
    return request.execute();
  }

  test::TempDir dir_;
  test::FakeClock clock_;
  test::FakeProcesses processes_;
  FixedCounters counters_;
  AgentConfig config_;
  SystemStatus status_;
  std::vector<int> pauses_;
  StatusContext context_;
};

TEST_F(StatusRequestTest, AnswersWithHostFiguresAndBothPackages) {
  load();
  processes_.running = {{"Tavin_ASHR.exe", ""}};
  writeStatus("20130103 07:05:09", "12");
  std::unique_ptr<MessageBody> response = execute();
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->getMessageType(), "03");
  EXPECT_EQ(response->getValue("hostStatus"), "正常运行");
  EXPECT_EQ(response->getValue("HostTime"), "2013-01-03 07:05:09 ");
  EXPECT_EQ(response->getValue("cpuUsage"), "75");
  EXPECT_EQ(response->getValue("memoryUsage"), "40");
  EXPECT_EQ(response->getValue("diskUsage"), "67");
  EXPECT_EQ(response->getValue("envNo"), "07");
  const std::string qex = response->getValue("qexPackage");
  EXPECT_EQ(qex.rfind(wire({"85=Y", "89=监控程序1", "63=A", "64=运行", "52=3.1", "77=2"}), 0), 0u);
  EXPECT_NE(qex.find(wire({"85=N", "89=监控程序2"})), std::string::npos);
  const std::string pbu = response->getValue("pbuPackage");
  EXPECT_EQ(pbu.rfind(wire({"89=监控程序1", "34=A0000000001", "63=A", "83=3", "65=12"}), 0), 0u);
  EXPECT_TRUE(pauses_.empty());
  // Written whole: all eight fields are there.
  EXPECT_NO_THROW(response->toString());
}

TEST_F(StatusRequestTest, AFailedRefreshIsRetriedOnceAndTheOldRecordsAreSent) {
  load();
  processes_.running = {{"Tavin_ASHR.exe", ""}};
  writeStatus("20130103 07:05:09", "12");
  ASSERT_NE(execute(), nullptr);
  writeStatus("2013010", "99");  // "Time" cut short: the refresh raises
  std::unique_ptr<MessageBody> response = execute();
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(pauses_, std::vector<int>{500});
  EXPECT_NE(response->getValue("pbuPackage").find(wire({"65=12"})), std::string::npos);
}

TEST_F(StatusRequestTest, WithoutAContextTheRequestIsNotExecutable) {
  StatusRequestMessageBody request;
  EXPECT_EQ(test::errorText<std::logic_error>([&] { request.execute(); }),
            "class is not executable");
}

}  // namespace
}  // namespace tavin
