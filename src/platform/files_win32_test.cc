// A monitored program may hold its status file while it writes it. Held
// without sharing, the file cannot be read: every reader fails at once, with
// nothing half read, and reads it again once it is released. Held with read
// sharing, as a program that simply writes it does, it reads as usual.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace platform {
namespace {

TEST(FilesWin32, AFileHeldByItsWriterReadsAsItsShareModeAllows) {
  tavin::test::TempDir dir;
  const std::string path = dir.path("ASHR_status.txt");
  ASSERT_TRUE(writeFile(path, "[TIME]\r\nTime=20121105 09:30:01\r\n").isOk());
  struct Case {
    const char* name;
    DWORD share;
    bool readable;
  };
  const Case cases[] = {
      {"held without sharing", 0, false},
      {"held with read and write sharing", FILE_SHARE_READ | FILE_SHARE_WRITE, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE writer = ::CreateFileW(gbkToWide(path).c_str(), GENERIC_WRITE, c.share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::string content = "stale";
    EXPECT_EQ(readFile(path, &content).isOk(), c.readable);
    EXPECT_EQ(content.empty(), !c.readable);
    LineReader reader;
    EXPECT_EQ(reader.open(path).isOk(), c.readable);
    reader.close();
    IniFile ini;
    EXPECT_EQ(IniFile::load(path, &ini).isOk(), c.readable);
    ::CloseHandle(writer);

    ASSERT_TRUE(IniFile::load(path, &ini).isOk());
    EXPECT_EQ(ini.readString("TIME", "Time", ""), "20121105 09:30:01");
  }
}

}  // namespace
}  // namespace platform
