// Files that are not regular files: a reader must refuse them at once rather
// than block (a FIFO without a writer) or read forever (a device).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/ini_file.h"
#include "tests/support/temp_dir.h"

namespace platform {
namespace {

TEST(FilesPosix, ReadersRefuseFifosDirectoriesAndDevices) {
  tavin::test::TempDir dir;
  const std::string fifo = dir.path("status.txt");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, dir.path(), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    std::string content;
    EXPECT_FALSE(readFile(path, &content).isOk());
    LineReader reader;
    EXPECT_FALSE(reader.open(path).isOk());
    EXPECT_FALSE(reader.isOpen());
  }
  // The status file reader sees an existing file it cannot read.
  IniFile ini;
  EXPECT_FALSE(IniFile::load(fifo, &ini).isOk());
}

}  // namespace
}  // namespace platform
