#include "tests/e2e/agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tavin::e2e {

AgentProcess::AgentProcess(std::vector<std::string> argv, std::string workDir,
                           std::vector<std::string> env) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    // Signals blocked or ignored by the test runner are not inherited.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE}) ::signal(sig, SIG_DFL);
    if (::chdir(workDir.c_str()) != 0) ::_exit(126);
    for (std::string& entry : env) ::putenv(entry.data());
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid_ < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return;
  }
  stdoutReader_ = std::thread([this, fd = out[0]] { readLoop(fd, true); });
  stderrReader_ = std::thread([this, fd = err[0]] { readLoop(fd, false); });
}

AgentProcess::~AgentProcess() {
  stop();
  drainOutput();
}

void AgentProcess::readLoop(int fd, bool isStdout) {
  char buffer[4096];
  for (;;) {
    if (isStdout) {
      std::unique_lock<std::mutex> lock(mu_);
      changed_.wait(lock, [this] { return !held_; });
    }
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mu_);
    if (!isStdout) {
      stderr_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    partial_.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = partial_.find('\n')) != std::string::npos) {
      std::string line = partial_.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(std::move(line));
      partial_.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mu_);
  changed_.notify_all();
}

bool AgentProcess::waitForOutput(const std::string& text, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const std::string& line : lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  });
}

void AgentProcess::holdOutput(bool held) {
  std::lock_guard<std::mutex> lock(mu_);
  held_ = held;
  changed_.notify_all();
}

std::vector<std::string> AgentProcess::outputLines() {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::string AgentProcess::errorOutput() {
  std::lock_guard<std::mutex> lock(mu_);
  return stderr_;
}

void AgentProcess::drainOutput() {
  holdOutput(false);
  if (stdoutReader_.joinable()) stdoutReader_.join();
  if (stderrReader_.joinable()) stderrReader_.join();
  std::lock_guard<std::mutex> lock(mu_);
  if (!partial_.empty()) {
    lines_.push_back(partial_);
    partial_.clear();
  }
}

void AgentProcess::sendSignal(int signal) {
  if (pid_ > 0 && !exitStatus_) ::kill(pid_, signal);
}

std::optional<int> AgentProcess::waitForExit(int timeoutMs) {
  if (exitStatus_ || pid_ <= 0) return exitStatus_;
  for (int waited = 0;; waited += 10) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitStatus_;
    }
    if (r < 0 || waited >= timeoutMs) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void AgentProcess::stop(int graceMs) {
  holdOutput(false);
  if (pid_ <= 0 || exitStatus_) return;
  ::kill(pid_, SIGTERM);
  if (!waitForExit(graceMs)) {
    ::kill(pid_, SIGKILL);
    waitForExit(10000);
  }
}

}  // namespace tavin::e2e
