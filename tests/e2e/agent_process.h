// Starts the real agent binary for an end-to-end test and stops it again.
//
// The agent reads the ini file named after its executable, so each test
// copies the executable into its own working directory together with the ini
// file it wants. Standard output and error are captured line by line. The
// destructor stops the process by its pid (SIGTERM, then SIGKILL) and reaps it.
// POSIX only: the end-to-end tests are a native binary, which also drives the
// Windows build under Wine.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tavin::e2e {

class AgentProcess {
 public:
  // argv[0] is the program; workDir becomes its current directory; env holds
  // extra "NAME=value" entries.
  AgentProcess(std::vector<std::string> argv, std::string workDir,
               std::vector<std::string> env = {});
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // Waits until a line of standard output contains text; true when seen.
  bool waitForOutput(const std::string& text, int timeoutMs);
  // While held, standard output is not read (beyond a read under way): once
  // the pipe is full, the process's writes to it block, as with a reader
  // that has stalled. Stopping the process lets the output go.
  void holdOutput(bool held);
  std::vector<std::string> outputLines();
  std::string errorOutput();

  void sendSignal(int signal);
  // Waits for the process to end; its exit status, or empty on timeout.
  std::optional<int> waitForExit(int timeoutMs);
  // After the process has ended: waits until its output has been read to the
  // end (a descendant holding the pipes open keeps it waiting).
  void drainOutput();
  // SIGTERM, a grace period, then SIGKILL; reaps the process.
  void stop(int graceMs = 5000);

 private:
  void readLoop(int fd, bool isStdout);

  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  std::thread stdoutReader_;
  std::thread stderrReader_;
  std::mutex mu_;
  std::condition_variable changed_;
  // Guarded by mu_.
  std::vector<std::string> lines_;
  std::string partial_;
  bool held_ = false;
  std::string stderr_;
};

}  // namespace tavin::e2e
