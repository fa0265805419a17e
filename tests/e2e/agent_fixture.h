// The workspace of one end-to-end test: a temporary directory holding a copy
// of the agent executable, its ini file and the monitored programs' files,
// and the running agent.
//
// The agent under test is TAVIN_E2E_AGENT (default: the native build's
// binary). With TAVIN_E2E_WINE set, the executable is a Windows build and is
// started under Wine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/console_connection.h"
#include "tests/support/temp_dir.h"

namespace tavin::e2e {

// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

// The code of trading unit k as the test files write it: OP000000001, ...
std::string operatorCode(int k);

class AgentFixture : public ::testing::Test {
 protected:
  AgentFixture();
  ~AgentFixture() override;

  bool underWine() const { return wine_; }
  std::string path(const std::string& name) const { return dir_.path(name); }
  const std::string& workDir() const { return workDir_; }
  int port() const { return port_; }

  // Writes a file of the workspace (GBK bytes as given), creating parents.
  void writeFile(const std::string& relative, const std::string& bytes);
  void appendFile(const std::string& relative, const std::string& bytes);
  std::string readFile(const std::string& relative) const;

  // The agent's ini file: these lines after [PORT] port=<port> and the
  // access list allowing 127.0.0.1, unless the lines replace them.
  void writeIni(const std::string& extraLines, bool defaultAccess = true);

  // Program 1's configuration file (cfgA/SystemConfiguration.ini) with
  // `units` operators OP000000001, OP000000002, ...: as many trading units.
  void writeProgramOneUnits(int units);

  // Starts the agent and waits until it accepts connections (an agent that
  // ran before: until its first start-up's end).
  void startAgent(const std::vector<std::string>& env = {});
  AgentProcess& agent() { return *agent_; }
  // Stops the agent by its pid, if it runs.
  void stopAgent() {
    if (agent_) agent_->stop();
  }

  // The day's history log file of the agent (GBK, CR LF): today's, or that of
  // the date set here ("yyyy-mm-dd") for an agent that runs on another clock.
  std::string historyLog() const;
  void setHistoryDate(const std::string& date) { historyDate_ = date; }
  // Waits until the history log holds text (GBK).
  bool waitForHistory(const std::string& text, int timeoutMs) const;
  // Waits until the history log holds text at least count times.
  bool waitForHistoryCount(const std::string& text, int count, int timeoutMs) const;

  // A connected console.
  std::unique_ptr<ConsoleConnection> connectConsole();

 private:
  tavin::test::TempDir dir_;
  std::string workDir_;
  std::string exeName_;
  bool wine_ = false;
  int port_ = 0;
  std::string historyDate_;
  // Agents that ended and were started again, kept until the test ends: a
  // process Wine started for one (its desktop) may keep that agent's output
  // open while the next one runs.
  std::vector<std::unique_ptr<AgentProcess>> earlierAgents_;
  std::unique_ptr<AgentProcess> agent_;
};

}  // namespace tavin::e2e
