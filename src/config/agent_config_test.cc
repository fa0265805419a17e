#include "config/agent_config.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "platform/files.h"
#include "platform/text.h"
#include "tests/support/error_text.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_processes.h"
#include "tests/support/temp_dir.h"

namespace tavin {
namespace {

const std::string kSep(1, platform::pathSeparator());

// Makes dir the process's current directory for one test: relative paths of
// the configuration (the default log directory) resolve against it.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& dir) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(std::filesystem::path(platform::gbkToWide(dir)));
  }
  ~ScopedCurrentDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

class AgentConfigTest : public ::testing::Test {
 protected:
  AgentConfigTest()
      : exe_(dir_.path("TavinMonitorAgent.exe")),
        config_(exe_, dir_.path(), clock_, processes_) {}

  void writeIni(const std::string& text) {
    ASSERT_TRUE(platform::writeFile(dir_.path("TavinMonitorAgent.ini"), text).isOk());
  }
  void writeFile(const std::string& name, const std::string& text) {
    ASSERT_TRUE(platform::writeFile(dir_.path(name), text).isOk());
  }
  // Loads and returns the StartupError's text, or "" when the load succeeds.
  std::string loadError() {
    const std::string text = test::errorText<StartupError>([&] { config_.load(); });
    return text == "no exception" ? "" : text;
  }
  // An ini whose logs directory is inside the test directory.
  std::string iniWith(const std::string& programLines, const std::string& more = "") {
    return "[Program]\r\nlogs_dir=" + dir_.path("logs") + kSep + "\r\n" + programLines + more;
  }

  test::TempDir dir_;
  test::FakeClock clock_;
  test::FakeProcesses processes_;
  const std::string exe_;
  AgentConfig config_;
};

TEST_F(AgentConfigTest, NoIniFileMeansEveryDefault) {
  ScopedCurrentDirectory cwd(dir_.path());
  ASSERT_EQ(loadError(), "");
  EXPECT_EQ(config_.getIniFile(), dir_.path("TavinMonitorAgent.ini"));
  EXPECT_EQ(config_.getExecutablePath(), exe_);
  EXPECT_EQ(config_.getPort(), 10012);
  EXPECT_EQ(config_.getLogFile(), "." + kSep + "logs" + kSep + "TavinMonitorAgent.log");
  EXPECT_TRUE(platform::directoryExists(dir_.path("logs")));
  EXPECT_FALSE(config_.isDebug());
  EXPECT_EQ(config_.getMonitor1Flag(), "N");
  EXPECT_EQ(config_.getMonitor2Flag(), "N");
  EXPECT_TRUE(config_.getAccessList().empty());
  EXPECT_FALSE(config_.isAllowedAddress("127.0.0.1"));
  EXPECT_EQ(config_.getEnvNo(), "00");
  EXPECT_EQ(config_.getWorkDir(), dir_.path() + kSep);
  EXPECT_EQ(config_.getMonitor1ConfigFile(),
            dir_.path() + kSep + "cfgA" + kSep + "SystemConfiguration.ini");
  EXPECT_EQ(config_.getMonitor2ConfigFile(),
            dir_.path() + kSep + "cfgB" + kSep + "SystemConfiguration.ini");

  ASSERT_EQ(config_.communicatorCount(), 2u);
  const ProgramFiles& p1 = config_.communicator(0).getFiles();
  const ProgramFiles& p2 = config_.communicator(1).getFiles();
  EXPECT_EQ(p1.name, "监控程序1");
  EXPECT_EQ(p1.exist, "N");
  EXPECT_EQ(p1.startFileName, "Tavin_ASHR.exe");
  EXPECT_EQ(p1.startFile, dir_.path() + kSep + "Tavin_ASHR.exe");
  EXPECT_EQ(p1.statusFile, dir_.path() + kSep + "monitor" + kSep + "ASHR_status.txt");
  EXPECT_EQ(p1.cmdFile, dir_.path() + kSep + "monitor" + kSep + "ASHR_cmd.txt");
  EXPECT_EQ(p1.cmdResFile, dir_.path() + kSep + "monitor" + kSep + "ASHR_cmd_res.txt");
  // The log directory default is the command result file's default text.
  EXPECT_EQ(p1.sysLogDir, "." + kSep + "logs" + kSep + "monitor" + kSep + "ASHR_cmd_res.txt" + kSep);
  EXPECT_EQ(p2.name, "监控程序2");
  EXPECT_EQ(p2.startFileName, "Tavin_BSHR.exe");
  EXPECT_EQ(p2.statusFile, dir_.path() + kSep + "monitor" + kSep + "BSHR_status.txt");
  EXPECT_EQ(p2.sysLogDir, "." + kSep + "logs" + kSep + "monitor" + kSep + "BSHR_cmd_res.txt" + kSep);
}

TEST_F(AgentConfigTest, ReadsSettings) {
  struct Case {
    const char* name;
    std::string ini;
    int32_t port;
    bool debug;
    std::string flag1;
  };
  const Case cases[] = {
      {"set", "[PORT]\nport=10013\n[Log]\nDebug=on\n", 10013, true, "N"},
      {"port not an integer", "[PORT]\nport=100x\n[LOG]\nDebug=1\n", 10012, false, "N"},
      {"port empty", "[PORT]\nport=\n", 10012, false, "N"},
      {"port out of range", "[PORT]\nport=70000\n", 10012, false, "N"},
      {"any free port", "[port]\nPORT=0\n[log]\ndebug=ON\n", 0, true, "N"},
      {"lower-case y disables", "[Program]\n监控程序1=y\n", 10012, false, "N"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeIni(iniWith("", c.ini));
    ASSERT_EQ(loadError(), "");
    EXPECT_EQ(config_.getPort(), c.port);
    EXPECT_EQ(config_.isDebug(), c.debug);
    EXPECT_EQ(config_.getMonitor1Flag(), c.flag1);
  }
}

TEST_F(AgentConfigTest, ConfiguredPathsJoinAsWritten) {
  ASSERT_TRUE(platform::createDirectory(dir_.path("bin")).isOk());
  writeFile("bin" + kSep + "A.exe", "");
  writeIni("[Program]\n"
           "logs_dir=" + dir_.path("lg") + "\n"  // no trailing separator
           "监控程序1=Y\n"
           "监控程序1_程序启动文件=bin\\A.exe\n"
           "监控程序1_SYSLOGDIR=sys\\a\n"
           "[LOG]\nname=agent.log\n");
  ASSERT_EQ(loadError(), "");
  EXPECT_TRUE(platform::directoryExists(dir_.path("lg")));
  EXPECT_EQ(config_.getLogFile(), dir_.path("lg") + "agent.log");
  const ProgramFiles& p1 = config_.communicator(0).getFiles();
  EXPECT_EQ(p1.startFileName, "bin\\A.exe");  // as configured, for the process check
  EXPECT_EQ(p1.startFile, dir_.path() + kSep + "bin" + kSep + "A.exe");
  EXPECT_EQ(p1.sysLogDir, dir_.path("lg") + "sys" + kSep + "a" + kSep);
}

TEST_F(AgentConfigTest, AccessListKeepsValidAddressesInOrder) {
  writeIni(iniWith("", "[ACCESS_CONTROL]\n"
                       "ip1=192.168.001.010\n"
                       "ip2=10.0.0\n"
                       "ip3=abc\n"
                       "ip4=1.2.3.4.5\n"
                       "ip5=127.0.0.1\n"
                       "ip6=127.000.000.001\n"
                       "twice=127.0.0.2\n"
                       "twice=127.0.0.3\n"));
  ASSERT_EQ(loadError(), "");
  EXPECT_EQ(config_.getAccessList(),
            (std::vector<std::string>{"192.168.1.10", "127.0.0.1", "127.0.0.1", "127.0.0.2",
                                      "127.0.0.2"}));
  EXPECT_TRUE(config_.isAllowedAddress("192.168.1.10"));
  EXPECT_FALSE(config_.isAllowedAddress("192.168.001.010"));  // peers are not normalised
  EXPECT_FALSE(config_.isAllowedAddress("127.0.0.3"));
}

TEST(AgentConfigAddress, NormalisesFourIntegers) {
  struct Case {
    std::string value;
    std::string normalised;
  };
  const Case cases[] = {
      {"192.168.001.010", "192.168.1.10"},
      {"010.001.2.300", "10.1.2.300"},  // no range check
      {" 127. 0.+0.1", "127.0.0.1"},    // leading blanks and signs as integers allow
      {"10.0.0", "IP地址有误"},
      {"abc", "IP地址有误"},
      {"1.2.3.4.5", "IP地址有误"},
      {"1..2.3", "IP地址有误"},
      {"1.2.3.4 ", "IP地址有误"},
      {"1.2.3.99999999999", "IP地址有误"},
      {"", "IP地址有误"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(AgentConfig::normaliseAddress(c.value), c.normalised);
  }
}

TEST_F(AgentConfigTest, MissingStartFileStopsTheLoad) {
  const std::string stem = dir_.path("TavinMonitorAgent");
  const std::string message1 = "无法找到监控程序1 的程序启动文件。请检查监控程序1的启动文件" +
                               dir_.path() + kSep + "Tavin_ASHR.exe" + " 是否存在，或者将" + stem +
                               ".ini中的\"监控程序1\"项置为N。";
  const std::string message2 = "无法找到监控程序2的程序启动文件。请检查监控程序2的启动文件" +
                               dir_.path() + kSep + "Tavin_BSHR.exe" + " 是否存在，或者将" + stem +
                               ".ini中的\"监控程序2\"项置为N。";
  struct Case {
    const char* name;
    std::string flags;
    std::string message;
  };
  const Case cases[] = {
      {"program 1 first", "监控程序1=Y\n监控程序2=Y\n", message1},
      {"program 2", "监控程序1=N\n监控程序2=Y\n", message2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeIni(iniWith(c.flags, "[ACCESS_CONTROL]\nip1=127.0.0.1\n"));
    EXPECT_EQ(loadError(), c.message);
    EXPECT_EQ(config_.communicatorCount(), 0u);
    EXPECT_TRUE(config_.getAccessList().empty());
  }
  // The message texts are GBK: pin a few bytes of the first piece.
  EXPECT_EQ(message1.substr(0, 4), "\xCE\xDE\xB7\xA8");  // 无法

  writeFile("Tavin_ASHR.exe", "");
  writeFile("Tavin_BSHR.exe", "");
  EXPECT_EQ(loadError(), "");
  EXPECT_EQ(config_.communicatorCount(), 2u);
  EXPECT_TRUE(config_.communicator(1).isEnabled());
}

TEST_F(AgentConfigTest, LogDirectoryThatCannotBeMadeStopsTheLoad) {
  for (const std::string& logsDir : {dir_.path("no") + kSep + "parent" + kSep, std::string()}) {
    SCOPED_TRACE(logsDir);
    writeIni("[Program]\nlogs_dir=" + logsDir + "\n[ACCESS_CONTROL]\nip1=127.0.0.1\n");
    EXPECT_EQ(loadError(), "Cannot create LogFile Directory.");
    EXPECT_EQ(config_.communicatorCount(), 0u);
    EXPECT_TRUE(config_.getAccessList().empty());
  }
}

TEST_F(AgentConfigTest, EnvironmentNumberFromTheSystemFile) {
  struct Case {
    const char* name;
    std::string programLines;
    std::string file;
    std::string content;
    std::string envNo;
  };
  const Case cases[] = {
      {"default names", "", "tavin.ini", "[TAVIN]\nenvNo=07\n", "07"},
      {"empty value", "", "tavin.ini", "[TAVIN]\nenvNo=\n", "00"},
      {"key missing", "", "tavin.ini", "[TAVIN]\nother=5\n", "00"},
      {"configured names",
       "系统配置文件=sys.ini\n系统配置文件_节点名称=Env\n系统配置文件_环境号=number\n", "sys.ini",
       "[ENV]\nNUMBER=12\n", "12"},
      {"file missing", "系统配置文件=none.ini\n", "tavin.ini", "[TAVIN]\nenvNo=07\n", "00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(c.file, c.content);
    writeIni(iniWith(c.programLines));
    ASSERT_EQ(loadError(), "");
    EXPECT_EQ(config_.getEnvNo(), c.envNo);
    ASSERT_TRUE(platform::removeFile(dir_.path(c.file)).isOk());
  }
}

}  // namespace
}  // namespace tavin
