#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/instance_lock.h"
#include "platform/instance_lock_test_support.h"

extern char** environ;

namespace platform {

std::string test::uniqueLockName(const tavin::test::TempDir& dir) { return dir.path("agent.lock"); }

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
  const tavin::test::TempDir dir;
  const std::string name = test::uniqueLockName(dir);
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

// The lock file is made for its owner alone, and one that cannot be made
// so is an error rather than a lock that anyone could take first.
TEST(InstanceLock, TheLockFileIsOpenToItsOwnerOnly) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> prepare;
    bool held;
    mode_t mode;  // of the file afterwards, when held
  };
  const Case cases[] = {
      {"missing: created", [](const std::string&) {}, true, 0600},
      {"open to every user: restricted",
       [](const std::string& path) {
         ASSERT_TRUE(writeFile(path, "").isOk());
         ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
       },
       true, 0660},
      {"a symbolic link",
       [](const std::string& path) { ASSERT_EQ(::symlink("/tmp", path.c_str()), 0); }, false, 0},
      {"a directory", [](const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); },
       false, 0},
      {"in a directory that does not exist",
       [](const std::string& path) { ASSERT_EQ(::rmdir(path.substr(0, path.rfind('/')).c_str()), 0); },
       false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const tavin::test::TempDir dir;
    const std::string path = dir.path("sub/agent.lock");
    ASSERT_EQ(::mkdir(dir.path("sub").c_str(), 0700), 0);
    c.prepare(path);
    InstanceLock lock;
    bool alreadyRunning = true;
    const SysStatus status = lock.acquire(path, &alreadyRunning);
    EXPECT_EQ(status.isOk(), c.held) << status.toString();
    EXPECT_EQ(lock.isHeld(), c.held);
    EXPECT_FALSE(alreadyRunning);
    if (!c.held) continue;
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.mode);
  }
}

}  // namespace
}  // namespace platform
