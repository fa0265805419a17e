#include "tests/e2e/agent_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace tavin::e2e {
namespace {

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string today() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday);
  return buffer;
}

}  // namespace

int freePort() {
  // Below the usual ephemeral range (32768 and up): a connect to a port in
  // that range with nobody listening can meet itself (TCP simultaneous open)
  // and succeed, which would make "the port is closed" tests flaky.
  std::random_device random;
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = 20000 + static_cast<int>(random() % 12000);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (free) return port;
  }
  return 0;
}

AgentFixture::AgentFixture() {
  const std::string agent = envOr("TAVIN_E2E_AGENT", TAVIN_E2E_DEFAULT_AGENT);
  wine_ = std::getenv("TAVIN_E2E_WINE") != nullptr;
  workDir_ = dir_.path();
  exeName_ = std::filesystem::path(agent).filename().string();
  std::filesystem::copy_file(agent, dir_.path(exeName_));
  std::filesystem::permissions(dir_.path(exeName_), std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add);
  port_ = freePort();
}

AgentFixture::~AgentFixture() {
  if (agent_) agent_->stop();
}

void AgentFixture::writeFile(const std::string& relative, const std::string& bytes) {
  std::filesystem::path file = std::filesystem::path(workDir_) / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

void AgentFixture::appendFile(const std::string& relative, const std::string& bytes) {
  std::filesystem::path file = std::filesystem::path(workDir_) / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::app) << bytes;
}

std::string AgentFixture::readFile(const std::string& relative) const {
  std::ifstream in(std::filesystem::path(workDir_) / relative, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string operatorCode(int k) {
  char code[16];
  std::snprintf(code, sizeof code, "OP%09d", k);
  return code;
}

void AgentFixture::writeProgramOneUnits(int units) {
  std::string config = "[System]\r\nOperatorCounts=" + std::to_string(units) + "\r\n";
  for (int k = 1; k <= units; ++k) {
    config += "[oper" + std::to_string(k) + "]\r\nOperCode=" + operatorCode(k) + "\r\n";
  }
  writeFile("cfgA/SystemConfiguration.ini", config);
}

void AgentFixture::writeIni(const std::string& extraLines, bool defaultAccess) {
  std::string ini = "[PORT]\r\nport=" + std::to_string(port_) + "\r\n";
  if (defaultAccess) ini += "[ACCESS_CONTROL]\r\nip1=127.0.0.1\r\n";
  ini += extraLines;
  std::string name = exeName_;
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  writeFile(name + ".ini", ini);
}

void AgentFixture::startAgent(const std::vector<std::string>& env) {
  std::vector<std::string> argv;
  if (wine_) argv.push_back(envOr("TAVIN_E2E_WINE_COMMAND", "wine"));
  argv.push_back(dir_.path(exeName_));
  // Each test's copy of the executable has a lock file of its own beside it,
  // so tests run side by side.
  if (agent_) earlierAgents_.push_back(std::move(agent_));
  agent_ = std::make_unique<AgentProcess>(argv, workDir_, env);
  ASSERT_TRUE(agent_->started());
  // Start-up ends with the "Hostname: " line; the port is open by then.
  ASSERT_TRUE(waitForHistory("Hostname: ", wine_ ? 60000 : 10000))
      << "agent did not start; stderr: " << agent_->errorOutput();
}

std::string AgentFixture::historyLog() const {
  return readFile("logs/TavinMonitorAgent_" + (historyDate_.empty() ? today() : historyDate_) +
                  ".log");
}

bool AgentFixture::waitForHistory(const std::string& text, int timeoutMs) const {
  for (int waited = 0; waited <= timeoutMs; waited += 50) {
    if (historyLog().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool AgentFixture::waitForHistoryCount(const std::string& text, int count, int timeoutMs) const {
  for (int waited = 0; waited <= timeoutMs; waited += 20) {
    const std::string log = historyLog();
    int found = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
    if (found >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::unique_ptr<ConsoleConnection> AgentFixture::connectConsole() {
  auto console = std::make_unique<ConsoleConnection>();
  if (!console->connect(port_, 5000)) return nullptr;
  return console;
}

}  // namespace tavin::e2e
