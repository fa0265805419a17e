// The diagnostics against real files in a temporary directory. The gateway
// tests run through a recording probe, or over loopback where the real
// connection test is the point.
#include "probes/trouble_shooting.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "platform/files.h"
#include "platform/tcp_client.h"
#include "tests/support/temp_dir.h"

namespace tavin {
namespace {

const std::string kSep(1, platform::pathSeparator());

using Call = std::tuple<std::string, std::string, uint16_t>;  // remote, local, port

class TroubleShootingTest : public ::testing::Test {
 protected:
  TroubleShootingTest() {
    settings_.currentDirectory = dir_.path();
    settings_.workDir = dir_.path() + kSep;
    settings_.iniFile = dir_.path("agent.ini");
    settings_.monitor1Flag = "N";
    settings_.monitor2Flag = "N";
    settings_.monitor1ConfigFile = config1();
    settings_.monitor2ConfigFile = config2();
    EXPECT_TRUE(platform::createDirectory(dir_.path("cfgA")).isOk());
    EXPECT_TRUE(platform::createDirectory(dir_.path("cfgB")).isOk());
  }

  std::string config1() const { return dir_.path("cfgA" + kSep + "SystemConfiguration.ini"); }
  std::string config2() const { return dir_.path("cfgB" + kSep + "SystemConfiguration.ini"); }

  void write(const std::string& path, const std::string& text) {
    ASSERT_TRUE(platform::writeFile(path, text).isOk()) << path;
  }
  void remove(const std::string& path) { ASSERT_TRUE(platform::removeFile(path).isOk()) << path; }
  void removeIfThere(const std::string& path) {
    if (platform::fileExists(path)) remove(path);
  }

  // Every file of a complete installation, the agent's ini file with its
  // three sections filled.
  void install() {
    write(settings_.iniFile, "[PORT]\nport=10012\n[ACCESS_CONTROL]\nip1=127.0.0.1\n[Tavin]\nx=1\n");
    write(config1(), "[System]\nOperatorCounts=0\n");
    write(config2(), "[System]\nOperatorCounts=0\n");
    write(dir_.path("Tavin_ASHR.exe"), "");
    write(dir_.path("Tavin_BSHR.exe"), "");
  }

  // A TroubleShooting whose connection tests are recorded; a link is up when
  // its remote address is in up_.
  TroubleShooting recording() {
    return TroubleShooting(settings_, [this](const std::string& remote, const std::string& local,
                                             uint16_t port) {
      calls_.emplace_back(remote, local, port);
      for (const std::string& up : up_) {
        if (up == remote) return true;
      }
      return false;
    });
  }

  test::TempDir dir_;
  TroubleShootingSettings settings_;
  std::vector<Call> calls_;
  std::vector<std::string> up_;
};

TEST_F(TroubleShootingTest, CheckFilesListsWhatIsMissing) {
  const std::string ini = settings_.iniFile;
  const std::string exeA = dir_.path("Tavin_ASHR.exe");
  const std::string exeB = dir_.path("Tavin_BSHR.exe");
  struct Case {
    const char* name;
    std::vector<std::string> removed;
    std::string expected;
  };
  const Case cases[] = {
      {"complete installation", {}, ""},
      {"program 2's configuration", {config2()}, config2() + "\r\n"},
      // The ini file is followed by the visible characters \r\n.
      {"agent ini file", {ini}, ini + "\\r\\n"},
      {"everything",
       {ini, config1(), config2(), exeA, exeB},
       ini + "\\r\\n" + config1() + "\r\n" + config2() + "\r\n" + exeA + "\r\n" + exeB + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install();
    for (const std::string& path : c.removed) remove(path);
    EXPECT_EQ(recording().checkFiles(), c.expected);
  }
}

TEST_F(TroubleShootingTest, CheckIniFieldsReportsMissingSectionsAndEmptyValues) {
  struct Case {
    const char* ini;
    const char* expected;
  };
  const Case cases[] = {
      {"[PORT]\nport=10012\n[ACCESS_CONTROL]\nip1=1.2.3.4\n[Tavin]\nx=1\n", ""},
      {"[PORT]\nport=10012\n[ACCESS_CONTROL]\nip1=1.2.3.4\n", "配置文件中不存在Tavin字段;"},
      {"[PORT]\nport=\n[ACCESS_CONTROL]\nip1=1.2.3.4\n[Tavin]\n", "配置文件中PORT字段中的port内容为空;"},
      // Section names match without regard to case; the report names the
      // section as the check does and the key as the file spells it.
      {"[port]\nPort=\n[access_control]\n[TAVIN]\n", "配置文件中PORT字段中的Port内容为空;"},
      {"", "配置文件中不存在PORT字段;配置文件中不存在ACCESS_CONTROL字段;配置文件中不存在Tavin字段;"},
      // A value of blanks reads as empty; a line without a key is skipped.
      {"[PORT]\nport= \n[ACCESS_CONTROL]\nip1=\nip2=\n[Tavin]\n中文=\n=lonely\n",
       "配置文件中PORT字段中的port内容为空;配置文件中ACCESS_CONTROL字段中的ip1内容为空;配置文件中ACCESS_CONTROL字段中的ip2内容为空;"
       "配置文件中Tavin字段中的中文内容为空;"},
      // A key written twice is judged by the value the agent reads: the first.
      {"[PORT]\nport=\nport=10012\n[ACCESS_CONTROL]\n[Tavin]\n",
       "配置文件中PORT字段中的port内容为空;配置文件中PORT字段中的port内容为空;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini);
    write(settings_.iniFile, c.ini);
    EXPECT_EQ(recording().checkIniFields(), c.expected);
  }
}

TEST_F(TroubleShootingTest, CheckCsPortComesFromTheEnvironmentNumber) {
  install();
  settings_.monitor1Flag = "Y";
  write(config1(), "[System]\nOperatorCounts=1\n[oper1]\nGwipCounts=1\nGwip1=127.0.0.1\n"
                   "LocalIP1=127.0.0.1\n");
  struct Case {
    const char* name;
    const char* tavinIni;  // null: no file
    const char* portText;
    uint16_t port;
  };
  const Case cases[] = {
      {"envNo 01", "[TAVIN]\nenvNo=01\n", "10105", 10105},
      {"no file", nullptr, "11000605", 56093},
      {"no key", "[TAVIN]\nother=1\n", "11000605", 56093},
      {"section named differently", "[Tavin2]\nenvNo=01\n", "11000605", 56093},
      {"empty value", "[tavin]\nENVNO=\n", "105", 105},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tavinIni = dir_.path("tavin.ini");
    if (c.tavinIni != nullptr) {
      write(tavinIni, c.tavinIni);
    } else {
      removeIfThere(tavinIni);
    }
    calls_.clear();
    const std::string report = recording().checkCS();
    EXPECT_EQ(report.rfind(std::string("端口") + c.portText + "\r\n", 0), 0u) << report;
    EXPECT_EQ(calls_, (std::vector<Call>{{"127.0.0.1", "127.0.0.1", c.port}}));
  }
}

TEST_F(TroubleShootingTest, CheckCsReportsEachProgram) {
  const std::string head = "端口10105\r\n";
  const std::string links =
      "[System]\nOperatorCounts=1\n[oper1]\nGwipCounts=1\nGwip1=127.0.0.9\nLocalIP1=127.0.0.1\n";
  struct Case {
    const char* name;
    const char* flag1;
    const char* flag2;
    bool config1;  // whether program 1's configuration file exists
    bool config2;
    std::string expected;
  };
  const Case cases[] = {
      {"both disabled", "N", "N", false, false,
       head + "A股报盘程序状态:\r\nA股报盘程序不存在\r\nB股报盘程序状态:\r\nB股报盘程序不存在\r\n"},
      {"program 1 tested", "Y", "N", true, false,
       head + "A股报盘程序状态:\r\nHost:127.0.0.1与CS127.0.0.9连接不正常\r\n"
              "B股报盘程序状态:\r\nB股报盘程序不存在\r\n"},
      {"program 2 tested", "N", "Y", false, true,
       head + "A股报盘程序状态:\r\nA股报盘程序不存在\r\nB股报盘程序状态:\r\n"
              "Host:127.0.0.1与CS127.0.0.9连接不正常\r\n"},
      // An enabled program without its configuration ends the report.
      {"program 1 without configuration", "Y", "Y", false, true,
       head + "A股报盘程序状态:\r\n配置文件 " + config1() + " 不存在\r\n"},
      {"program 2 without configuration", "N", "Y", false, false,
       head + "A股报盘程序状态:\r\nA股报盘程序不存在\r\nB股报盘程序状态:\r\n配置文件 " + config2() +
           " 不存在\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install();
    write(dir_.path("tavin.ini"), "[TAVIN]\nenvNo=01\n");
    if (c.config1) write(config1(), links); else remove(config1());
    if (c.config2) write(config2(), links); else remove(config2());
    settings_.monitor1Flag = c.flag1;
    settings_.monitor2Flag = c.flag2;
    EXPECT_EQ(recording().checkCS(), c.expected);
  }
}

TEST_F(TroubleShootingTest, CheckCsWithoutTheAgentIniFileIsOneLine) {
  install();
  remove(settings_.iniFile);
  settings_.monitor1Flag = "Y";
  EXPECT_EQ(recording().checkCS(), "配置文件 " + settings_.iniFile + " 不存在\r\n");
  EXPECT_TRUE(calls_.empty());
}

TEST_F(TroubleShootingTest, ProgramLinksFollowTheOperatorsAndGateways) {
  up_ = {"127.0.0.11"};
  struct Case {
    const char* name;
    const char* config;
    std::string expected;
    std::vector<Call> calls;
  };
  const Case cases[] = {
      {"no operators", "[System]\nOperatorCounts=0\n", "没有配置交易员\r\n", {}},
      {"no file", nullptr, "没有配置交易员\r\n", {}},
      {"count not a number", "[System]\nOperatorCounts=two\n", "没有配置交易员\r\n", {}},
      {"operators without gateways", "[System]\nOperatorCounts=2\n[oper1]\nGwipCounts=0\n", "", {}},
      // An empty local address ends operator 1's list; operator 2 is tested.
      {"incomplete entry",
       "[System]\nOperatorCounts=2\n"
       "[oper1]\nGwipCounts=3\nGwip1=127.0.0.11\nLocalIP1=127.0.0.1\nGwip2=127.0.0.12\nLocalIP2=\n"
       "Gwip3=127.0.0.13\nLocalIP3=127.0.0.1\n"
       "[oper2]\nGwipCounts=1\nGwip1=127.0.0.21\nLocalIP1=127.0.0.2\n",
       "Host:127.0.0.1与CS127.0.0.11连接正常\r\nHost:127.0.0.2与CS127.0.0.21连接不正常\r\n",
       {{"127.0.0.11", "127.0.0.1", 10105}, {"127.0.0.21", "127.0.0.2", 10105}}},
      {"empty gateway", "[System]\nOperatorCounts=1\n[oper1]\nGwipCounts=1\nLocalIP1=127.0.0.1\n",
       "", {}},
      // Counts beyond the bound stop at 999 sections, so the list still ends.
      {"absurd counts",
       "[System]\nOperatorCounts=2147483647\n[oper999]\nGwipCounts=2147483647\nGwip1=127.0.0.11\n"
       "LocalIP1=127.0.0.1\n[oper1000]\nGwipCounts=1\nGwip1=127.0.0.12\nLocalIP1=127.0.0.1\n",
       "Host:127.0.0.1与CS127.0.0.11连接正常\r\n",
       {{"127.0.0.11", "127.0.0.1", 10105}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.config != nullptr) write(config1(), c.config); else removeIfThere(config1());
    calls_.clear();
    EXPECT_EQ(recording().checkProgramLinks(config1(), "10105"), c.expected);
    EXPECT_EQ(calls_, c.calls);
  }
}

TEST_F(TroubleShootingTest, PortTextIsTheLowSixteenBitsOfADecimalNumber) {
  struct Case {
    const char* text;
    std::optional<uint16_t> port;
  };
  const Case cases[] = {
      {"10105", 10105},
      {"11000605", 56093},
      {"65536", 0},
      {"123456789012345678901234567890", 2770},
      {"", std::nullopt},
      {"1a05", std::nullopt},
      {"-105", std::nullopt},
      {"105 ", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TroubleShooting::portFromText(c.text), c.port);
  }
  // A port text that is no number is a failed link, without a connection.
  EXPECT_FALSE(recording().probeTcp("127.0.0.11", "127.0.0.1", "1a05"));
  EXPECT_TRUE(calls_.empty());
}

TEST_F(TroubleShootingTest, RealProbeOverLoopback) {
  platform::TcpListener listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0).isOk());
  const std::string open = std::to_string(listener.port());
  std::string closed;
  {
    platform::TcpListener gone;
    ASSERT_TRUE(gone.listen("127.0.0.1", 0).isOk());
    closed = std::to_string(gone.port());
  }
  const TroubleShooting shooting(settings_);
  struct Case {
    const char* local;
    std::string portText;
    bool expected;
  };
  const Case cases[] = {
      {"127.0.0.1", open, true},
      {"127.0.0.1", std::to_string(listener.port() + 65536 * 3), true},  // low 16 bits
      {"127.0.0.1", closed, false},
      {"abc", open, false},  // the bind fails
      {"", open, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.local) + " to port " + c.portText);
    EXPECT_EQ(shooting.probeTcp("127.0.0.1", c.local, c.portText), c.expected);
  }

  write(config1(), "[System]\nOperatorCounts=2\n[oper1]\nGwipCounts=1\nGwip1=127.0.0.1\n"
                   "LocalIP1=127.0.0.1\n[oper2]\nGwipCounts=1\nGwip1=127.0.0.1\nLocalIP1=abc\n");
  EXPECT_EQ(shooting.checkProgramLinks(config1(), open),
            "Host:127.0.0.1与CS127.0.0.1连接正常\r\nHost:abc与CS127.0.0.1连接不正常\r\n");
  EXPECT_EQ(shooting.checkProgramLinks(config1(), closed),
            "Host:127.0.0.1与CS127.0.0.1连接不正常\r\nHost:abc与CS127.0.0.1连接不正常\r\n");
}

}  // namespace
}  // namespace tavin
