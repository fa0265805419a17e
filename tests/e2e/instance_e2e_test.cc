// One agent per installation on Linux: its lock is a file beside its
// executable (or where a link there points) that only the agent's user can
// open. No other program can take
// it first, and a lock file the agent cannot use is a failed start. (A second
// start of the same installation: agent_e2e_test.cc.)
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "tests/e2e/agent_fixture.h"

namespace tavin::e2e {
namespace {

using AgentInstance = AgentFixture;

TEST_F(AgentInstance, TheLockIsAFileOfTheInstallationsOwn) {
  writeIni("");
  const std::string lockFile = path("TavinMonitorAgent.lock");

  // A directory where the lock file belongs: a clear failed start.
  ASSERT_EQ(::mkdir(lockFile.c_str(), 0700), 0);
  AgentProcess failing({path("TavinMonitorAgent")}, workDir());
  auto status = failing.waitForExit(10000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1);
  failing.drainOutput();
  EXPECT_NE(failing.errorOutput().find("Cannot use the single-instance lock file " + lockFile +
                                       ": "),
            std::string::npos)
      << failing.errorOutput();
  ASSERT_EQ(::rmdir(lockFile.c_str()), 0);
  // A link of that name says where the lock file is (the Debian package's
  // leads out of the read-only /usr): the agent makes and locks the file
  // it points to.
  ASSERT_EQ(::mkdir(path("state").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("state/agent.lock", lockFile.c_str()), 0);

  // Another program holds the name any local user could once take first (an
  // abstract socket "TavinMonitorAgent"; if something holds it already, so
  // much the better): the agent starts all the same.
  const int other = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(other, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const char kName[] = "TavinMonitorAgent";
  std::memcpy(address.sun_path + 1, kName, sizeof kName - 1);
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kName);
  const int bound = ::bind(other, reinterpret_cast<const sockaddr*>(&address), length);
  ASSERT_TRUE(bound == 0 || errno == EADDRINUSE) << std::strerror(errno);
  startAgent();
  ::close(other);
  struct stat info {};
  ASSERT_EQ(::lstat(path("state/agent.lock").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace tavin::e2e
