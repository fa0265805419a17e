// Files that are not regular files: a reader must refuse them at once rather
// than block (a FIFO without a writer) or read forever (a device); links
// that a writer into a noted directory must not follow, and that a file
// replaced in one step is never written through.
#include <sys/stat.h>
#include <unistd.h>

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

// A link planted under the new file's name (to a file of someone else's)
// is neither followed nor kept: the replaced file is the agent's own, 0600.
TEST(FilesPosix, AReplacedFileIsNeverWrittenThroughALink) {
  tavin::test::TempDir dir;
  const std::string victim = dir.path("victim");
  ASSERT_TRUE(writeFile(victim, "keep").isOk());
  const std::string path = dir.path("TavinMonitorAgent.state");
  ASSERT_EQ(::symlink(victim.c_str(), (path + ".new").c_str()), 0);
  ASSERT_TRUE(replaceFile(path, "new").isOk());
  std::string content;
  ASSERT_TRUE(readFile(victim, &content).isOk());
  EXPECT_EQ(content, "keep");
  ASSERT_TRUE(readFile(path, &content).isOk());
  EXPECT_EQ(content, "new");
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A noted directory is written into while it is one; replaced by a link, or
// with a link as the file, it is not, and nothing lands where the link
// leads. A directory that was a link when noted is written through as long
// as it leads to the same directory.
TEST(FilesPosix, AppendsInANotedDirectoryNeverFollowANewLink) {
  tavin::test::TempDir dir;
  const std::string logs = dir.path("logs"), elsewhere = dir.path("elsewhere");
  ASSERT_EQ(::mkdir(logs.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  const NotedDirectory noted = NotedDirectory::note(logs + "/");
  EXPECT_TRUE(appendInDirectory(noted, "a.log", "1").isOk());
  ASSERT_EQ(::symlink((elsewhere + "/b.log").c_str(), (logs + "/b.log").c_str()), 0);
  EXPECT_TRUE(isLinkRefusal(appendInDirectory(noted, "b.log", "2")));
  ASSERT_EQ(::rename(logs.c_str(), (logs + ".old").c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), logs.c_str()), 0);
  EXPECT_TRUE(isLinkRefusal(appendInDirectory(noted, "a.log", "3")));
  std::string content;
  EXPECT_FALSE(readFile(elsewhere + "/a.log", &content).isOk());
  EXPECT_FALSE(readFile(elsewhere + "/b.log", &content).isOk());

  const NotedDirectory link = NotedDirectory::note(logs);
  EXPECT_TRUE(link.wasLink());
  EXPECT_TRUE(appendInDirectory(link, "a.log", "4").isOk());
  ASSERT_TRUE(readFile(elsewhere + "/a.log", &content).isOk());
  EXPECT_EQ(content, "4");
  ASSERT_EQ(::unlink(logs.c_str()), 0);
  ASSERT_EQ(::symlink((logs + ".old").c_str(), logs.c_str()), 0);
  EXPECT_TRUE(isLinkRefusal(appendInDirectory(link, "a.log", "5")));
}

}  // namespace
}  // namespace platform
