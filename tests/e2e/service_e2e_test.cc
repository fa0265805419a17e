// The Windows build as a service under Wine's service control manager
// (services.exe, driven with sc.exe): each test creates a service of its own
// name for its copy of the agent and stops and deletes it at the end. Wine
// runs services in the user's session and keeps no event log (its
// ReportEventW only writes the text to its debug output), so the lock across
// sessions and the event-log entries need a Windows host.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <iterator>
#include <regex>
#include <thread>

#include "tests/e2e/agent_fixture.h"

namespace tavin::e2e {
namespace {

constexpr int kWaitMs = 60000;
const char kRegistryKey[] = "HKLM\\Software\\TavinMonitorAgent";

std::string windowsPath(const std::string& path) {
  std::string out = "Z:" + path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

class ServiceSmoke : public AgentFixture {
 protected:
  void SetUp() override {
    if (!underWine()) GTEST_SKIP() << "the Windows build's service, under Wine";
    std::random_device random;
    name_ = "TavinMonitorAgentTest" + std::to_string(random() % 1000000);
    const char* command = std::getenv("TAVIN_E2E_WINE_COMMAND");
    wine_ = command != nullptr && *command != '\0' ? command : "wine";
    wine({"reg", "delete", kRegistryKey, "/v", "WorkingFolder", "/f"});
  }

  // The service of this workspace's agent.
  bool createService() {
    const std::string exe = "\"" + windowsPath(path("TavinMonitorAgent.exe")) + "\" --service";
    created_ = wine({"sc", "create", name_, "binpath=", exe}).status == 0;
    return created_;
  }

  void TearDown() override {
    if (created_) {
      wine({"sc", "stop", name_});
      if (!waitForState("STOPPED", kWaitMs)) killServiceProcess();
      wine({"sc", "delete", name_});
    }
    if (underWine()) wine({"reg", "delete", kRegistryKey, "/v", "WorkingFolder", "/f"});
  }

  struct Result {
    int status = -1;
    std::string output;
  };
  // A program under Wine (sc, reg, the agent), waited for.
  Result wine(std::vector<std::string> args) {
    args.insert(args.begin(), wine_);
    AgentProcess process(args, workDir());
    Result result;
    result.status = process.waitForExit(kWaitMs).value_or(-1);
    process.drainOutput();
    for (const std::string& line : process.outputLines()) result.output += line + "\n";
    return result;
  }

  // "sc query": the value of a field such as STATE or WIN32_EXIT_CODE (its
  // first word: "4" for RUNNING), or "" when the query fails.
  std::string query(const std::string& field) {
    const std::string output = wine({"sc", "query", name_}).output;
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(field + "\\s*: (\\S+)\\s*(\\S*)"))) return "";
    return field == "STATE" ? match[2].str() : match[1].str();
  }
  bool waitForState(const std::string& state, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 500) {
      if (query("STATE") == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
  }

  // The service's process, which services.exe started, found by this
  // workspace's executable in its command line and ended by its pid.
  void killServiceProcess() {
    const std::string exe = windowsPath(path("TavinMonitorAgent.exe"));
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
      std::ifstream in(entry.path() / "cmdline", std::ios::binary);
      const std::string commandLine{std::istreambuf_iterator<char>(in), {}};
      const int pid = std::atoi(entry.path().filename().c_str());
      if (pid > 0 && commandLine.find(exe) != std::string::npos) ::kill(pid, SIGKILL);
    }
  }

  std::string name_;
  std::string wine_;
  bool created_ = false;
};

TEST_F(ServiceSmoke, ServesConsolesWithoutTheTrayApplicationAndStopsWithAgentClosedLast) {
  writeIni("");
  auto answers = [this](const char* sequence) {
    auto console = connectConsole();
    if (console == nullptr || !console->send(consoleFrame("02", sequence))) return false;
    auto status = console->receiveType("03", 20000);
    return status.has_value() && status->message->getSequence() == sequence;
  };

  ASSERT_TRUE(createService());
  ASSERT_EQ(wine({"sc", "start", name_}).status, 0);
  ASSERT_TRUE(waitForState("RUNNING", kWaitMs));
  ASSERT_TRUE(waitForHistory("Hostname: ", kWaitMs)) << historyLog();
  EXPECT_TRUE(answers("1"));
  // The tray application of the same installation says the agent runs, and
  // leaves the port to the service.
  const Result tray = wine({path("TavinMonitorAgent.exe")});
  EXPECT_EQ(tray.status, 0);
  EXPECT_NE(tray.output.find("already runs on this host"), std::string::npos) << tray.output;
  EXPECT_TRUE(answers("2"));

  ASSERT_EQ(wine({"sc", "stop", name_}).status, 0);
  ASSERT_TRUE(waitForState("STOPPED", kWaitMs));
  EXPECT_EQ(query("WIN32_EXIT_CODE"), "0");
  std::string log = historyLog();
  ASSERT_GE(log.size(), 14u);
  EXPECT_EQ(log.substr(log.size() - 14), "Agent Closed\r\n") << log;

  // The other way round: with the tray application serving, the service
  // stops at once, exit code 0, having started nothing, and the tray
  // application serves on.
  startAgent();
  ASSERT_TRUE(waitForHistoryCount("Hostname: ", 2, kWaitMs));
  wine({"sc", "start", name_});
  ASSERT_TRUE(waitForState("STOPPED", kWaitMs));
  EXPECT_EQ(query("WIN32_EXIT_CODE"), "0");
  EXPECT_TRUE(answers("3"));
  EXPECT_FALSE(waitForHistoryCount("Listening at ", 3, 0)) << historyLog();
}

TEST_F(ServiceSmoke, FailedStartIsTheExitCodeAndAHistoryLine) {
  // The working folder from the installer's registry value, not the
  // executable's folder; the logs stay where historyLog() reads them.
  std::filesystem::create_directories(path("work"));
  ASSERT_EQ(wine({"reg", "add", kRegistryKey, "/v", "WorkingFolder", "/t", "REG_SZ", "/d",
                  windowsPath(path("work")), "/f"})
                .status,
            0);
  writeIni("[Program]\r\nlogs_dir=" + windowsPath(path("logs")) + "\\\r\n监控程序1=Y\r\n");

  ASSERT_TRUE(createService());
  wine({"sc", "start", name_});
  ASSERT_TRUE(waitForState("STOPPED", kWaitMs));
  EXPECT_EQ(query("WIN32_EXIT_CODE"), "1066");  // ERROR_SERVICE_SPECIFIC_ERROR
  EXPECT_EQ(query("SERVICE_EXIT_CODE"), "1");
  EXPECT_NE(historyLog().find("无法找到监控程序1 的程序启动文件。请检查监控程序1的启动文件" +
                              windowsPath(path("work")) + "\\Tavin_ASHR.exe"),
            std::string::npos)
      << historyLog();
  ConsoleConnection refused;
  EXPECT_FALSE(refused.connect(port(), 0));
}

// What Windows runs to start a crashed tray application again (registered
// when it has started): it works in the folder it ran in, wherever it is
// started, and says it was started again.
TEST_F(ServiceSmoke, TrayApplicationStartedAgainWorksInItsFolder) {
  writeIni("");
  std::filesystem::create_directories(path("elsewhere"));
  AgentProcess restarted(
      {wine_, path("TavinMonitorAgent.exe"), "--restarted", windowsPath(workDir())},
      path("elsewhere"));
  ASSERT_TRUE(waitForHistory("Started again by Windows", kWaitMs)) << historyLog();
  EXPECT_NE(connectConsole(), nullptr);
}

}  // namespace
}  // namespace tavin::e2e
