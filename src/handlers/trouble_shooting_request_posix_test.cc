// "CheckCfgFile" when the file check itself fails: the agent's ini file is
// there but cannot be read (here a socket stands at its path, which open()
// refuses).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "handlers/trouble_shooting_test_support.h"

namespace tavin {
namespace {

using TroubleShootingRequestPosix = test::TroubleShootingRequestTest;

TEST_F(TroubleShootingRequestPosix, AFailingFileCheckAnswersException) {
  install();
  ASSERT_TRUE(platform::removeFile(iniFile()).isOk());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(iniFile().size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, iniFile().c_str(), iniFile().size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(platform::fileExists(iniFile()));

  EXPECT_EQ(result("CheckCfgFile"), "配置文件不存在:Exception");
  ::close(fd);
}

}  // namespace
}  // namespace tavin
