// "CheckCfgFile" when the file check itself fails: the agent's ini file is
// there but another program holds it open without sharing, so it cannot be
// read.
#include <windows.h>

#include "handlers/trouble_shooting_test_support.h"
#include "platform/text.h"

namespace tavin {
namespace {

using TroubleShootingRequestWin32 = test::TroubleShootingRequestTest;

TEST_F(TroubleShootingRequestWin32, AFailingFileCheckAnswersException) {
  install();
  HANDLE held = ::CreateFileW(platform::gbkToWide(iniFile()).c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(result("CheckCfgFile"), "配置文件不存在:Exception");
  ::CloseHandle(held);
}

}  // namespace
}  // namespace tavin
