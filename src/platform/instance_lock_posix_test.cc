#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/instance_lock.h"
#include "platform/instance_lock_test_support.h"

extern char** environ;

namespace platform {
namespace {

// This test binary, run as the child that holds the lock; its stdout goes
// to a pipe the test reads.
class LockHolder {
 public:
  explicit LockHolder(const std::string& name) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    output_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.push_back(std::string(test::kChildLockVariable) + "=" + name);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = test::kChildFilter;
    std::string disabled = test::kChildAlsoDisabled;
    char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
    if (::posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
  }

  ~LockHolder() {
    stop();
    if (output_ >= 0) ::close(output_);
  }

  bool started() const { return pid_ > 0; }

  // Waits until the child says it holds the lock; false when it ends or
  // the deadline passes first.
  bool waitUntilHolding(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string seen;
    while (seen.find(test::kChildHoldsLock) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{output_, POLLIN, 0};
      int rc = ::poll(&p, 1, static_cast<int>(left.count()));
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return false;
      char buffer[256];
      ssize_t n = ::read(output_, buffer, sizeof buffer);
      if (n <= 0) return false;  // the child ended without taking the lock
      seen.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  // Kills the child by its pid and reaps it.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
};

TEST(InstanceLock, HeldByAnotherProcessUntilItDies) {
  const std::string name = test::uniqueLockName();
  LockHolder holder(name);
  ASSERT_TRUE(holder.started());
  ASSERT_TRUE(holder.waitUntilHolding(30000));

  InstanceLock lock;
  bool alreadyRunning = false;
  ASSERT_TRUE(lock.acquire(name, &alreadyRunning).isOk());
  EXPECT_TRUE(alreadyRunning);
  EXPECT_FALSE(lock.isHeld());

  // Killed without any chance to clean up: the system still frees the name.
  holder.stop();
  ASSERT_TRUE(lock.acquire(name, &alreadyRunning).isOk());
  EXPECT_FALSE(alreadyRunning);
  EXPECT_TRUE(lock.isHeld());
}

}  // namespace
}  // namespace platform
