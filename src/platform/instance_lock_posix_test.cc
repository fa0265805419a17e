#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
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

// Only a regular file of the agent's own user that no other user may open
// is a lock; anything else is an error that says what is wrong, never
// "already running", even while someone holds a lock on it.
TEST(InstanceLock, OnlyAFileOfItsOwnUserAloneIsALock) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> prepare;
    const char* problem;  // nullptr: the lock is taken
  };
  const auto file = [](mode_t mode, uid_t owner) {
    return [mode, owner](const std::string& path) {
      ASSERT_TRUE(writeFile(path, "").isOk());
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
      ASSERT_EQ(::chown(path.c_str(), owner, static_cast<gid_t>(-1)), 0);
    };
  };
  const uid_t self = ::geteuid();
  const uid_t other = self == 0 ? 65534 : 0;
  const Case cases[] = {
      {"missing: created", [](const std::string&) {}, nullptr},
      {"its own, mode 0600", file(0600, self), nullptr},
      {"open to every user", file(0666, self), "(mode 0666)"},
      {"open to its group", file(0640, self), "(mode 0640)"},
      {"owned by another user, who holds it", file(0600, other), "it is owned by "},
      {"a symbolic link to a file of its own",
       [](const std::string& path) {
         ASSERT_TRUE(writeFile(path + ".target", "").isOk());
         ASSERT_EQ(::chmod((path + ".target").c_str(), 0600), 0);
         ASSERT_EQ(::symlink((path + ".target").c_str(), path.c_str()), 0);
       },
       "it is a symbolic link"},
      {"a directory", [](const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); },
       "it is a directory"},
      {"a FIFO", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       "it is a FIFO"},
      {"in a directory that does not exist",
       [](const std::string& path) { ASSERT_EQ(::rmdir(path.substr(0, path.rfind('/')).c_str()), 0); },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Only root can give a file to another user.
    if (self != 0 && std::string(c.name).find("another user") != std::string::npos) continue;
    const tavin::test::TempDir dir;
    const std::string path = dir.path("sub/agent.lock");
    ASSERT_EQ(::mkdir(dir.path("sub").c_str(), 0700), 0);
    c.prepare(path);
    // Whoever else can open the file holds a lock on it.
    const int holder = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (holder >= 0 && c.problem != nullptr) {
      ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    InstanceLock lock;
    bool alreadyRunning = true;
    std::string problem;
    const SysStatus status = lock.acquire(path, &alreadyRunning, &problem);
    if (holder >= 0) ::close(holder);
    EXPECT_FALSE(alreadyRunning);
    EXPECT_EQ(lock.isHeld(), c.problem == nullptr);
    if (c.problem == nullptr) {
      EXPECT_TRUE(status.isOk()) << status.toString() << " " << problem;
      struct stat info {};
      ASSERT_EQ(::stat(path.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0600u);
    } else {
      EXPECT_FALSE(status.isOk());
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
  }
}

}  // namespace
}  // namespace platform
