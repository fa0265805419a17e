#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace platform {
namespace {

TEST(Files, CreateReadAppendRemove) {
  tavin::test::TempDir dir;
  const std::string sub = dir.path("sub");
  EXPECT_FALSE(directoryExists(sub));
  ASSERT_TRUE(createDirectory(sub).isOk());
  EXPECT_TRUE(createDirectory(sub).isOk());  // already there
  EXPECT_TRUE(directoryExists(sub));
  EXPECT_FALSE(fileExists(sub));
  EXPECT_FALSE(createDirectory(dir.path("no") + pathSeparator() + "parent").isOk());

  const std::string file = dir.path("a.txt");
  std::string content;
  EXPECT_FALSE(readFile(file, &content).isOk());
  ASSERT_TRUE(appendToFile(file, "one\r\n").isOk());
  ASSERT_TRUE(appendToFile(file, std::string("t\0o\r\n", 5)).isOk());
  EXPECT_TRUE(fileExists(file));
  ASSERT_TRUE(readFile(file, &content).isOk());
  EXPECT_EQ(content, std::string("one\r\nt\0o\r\n", 10));
  ASSERT_TRUE(removeFile(file).isOk());
  EXPECT_FALSE(fileExists(file));
}

TEST(Files, GbkNamesWork) {
  tavin::test::TempDir dir;
  const std::string file = dir.path("监控程序1.log");
  ASSERT_TRUE(writeFile(file, "x").isOk());
  EXPECT_TRUE(fileExists(file));
}

TEST(Files, LineReaderFollowsTheFgetsRule) {
  tavin::test::TempDir dir;
  const std::string file = dir.path("log.txt");
  std::string longLine(1499, 'x');
  longLine += '\n';
  ASSERT_TRUE(writeFile(file, "a\r\n" + std::string("z\0z\n", 4) + longLine + "tail").isOk());
  LineReader reader;
  ASSERT_TRUE(reader.open(file).isOk());
  std::string line;
  ASSERT_TRUE(reader.readLine(&line));
  EXPECT_EQ(line, "a\r\n");
  ASSERT_TRUE(reader.readLine(&line));
  EXPECT_EQ(line, std::string("z\0z\n", 4));
  ASSERT_TRUE(reader.readLine(&line));
  EXPECT_EQ(line.size(), 1023u);
  ASSERT_TRUE(reader.readLine(&line));
  EXPECT_EQ(line.size(), 477u);
  EXPECT_EQ(line.back(), '\n');
  ASSERT_TRUE(reader.readLine(&line));
  EXPECT_EQ(line, "tail");
  EXPECT_FALSE(reader.readLine(&line));
  EXPECT_EQ(line, "");

  ASSERT_TRUE(reader.seek(3).isOk());
  ASSERT_TRUE(reader.readLine(&line));
  EXPECT_EQ(line, std::string("z\0z\n", 4));
  ASSERT_TRUE(reader.seek(1 << 20).isOk());  // past the end reads nothing
  EXPECT_FALSE(reader.readLine(&line));
}

TEST(Files, LineReaderSeeksPastFourGiB) {
  tavin::test::TempDir dir;
  const std::string file = dir.path("big.log");
  const int64_t hole = (int64_t{5} << 30) + 3;  // sparse: takes no disk space
  ASSERT_TRUE(writeFile(file, "head\n").isOk());
  std::filesystem::resize_file(std::filesystem::path(gbkToWide(file)),
                               static_cast<std::uintmax_t>(hole));
  ASSERT_TRUE(appendToFile(file, "tail\n").isOk());
  LineReader reader;
  ASSERT_TRUE(reader.open(file).isOk());
  ASSERT_TRUE(reader.seek(hole).isOk());
  std::string line;
  ASSERT_TRUE(reader.readLine(&line));
  EXPECT_EQ(line, "tail\n");
}

TEST(Files, ReadFileRefusesAFileLongerThanItsBound) {
  tavin::test::TempDir dir;
  const std::string file = dir.path("status.txt");
  ASSERT_TRUE(writeFile(file, std::string(100000, 'x')).isOk());
  std::string content = "stale";
  EXPECT_TRUE(readFile(file, &content, 100000).isOk());
  EXPECT_EQ(content.size(), 100000u);
  EXPECT_FALSE(readFile(file, &content, 99999).isOk());
  EXPECT_EQ(content, "");  // nothing half read is handed out
}

TEST(Files, LineReaderTellsAReplacedFileFromAGrownOne) {
  tavin::test::TempDir dir;
  const std::string file = dir.path("system.log");
  ASSERT_TRUE(writeFile(file, "a\n").isOk());
  FileState first;
  {
    LineReader reader;
    ASSERT_TRUE(reader.open(file).isOk());
    ASSERT_TRUE(reader.state(&first).isOk());
    EXPECT_EQ(first.size, 2);
  }
  ASSERT_TRUE(appendToFile(file, "bc\n").isOk());
  FileState grown;
  {
    LineReader reader;
    ASSERT_TRUE(reader.open(file).isOk());
    ASSERT_TRUE(reader.state(&grown).isOk());
  }
  EXPECT_TRUE(grown.sameFile(first));
  EXPECT_EQ(grown.size, 5);

  // Written beside it, then renamed over it: another file at the same path.
  ASSERT_TRUE(writeFile(dir.path("new.log"), "a\nbc\n").isOk());
  std::filesystem::rename(std::filesystem::path(gbkToWide(dir.path("new.log"))),
                          std::filesystem::path(gbkToWide(file)));
  FileState replaced;
  LineReader reader;
  ASSERT_TRUE(reader.open(file).isOk());
  ASSERT_TRUE(reader.state(&replaced).isOk());
  EXPECT_FALSE(replaced.sameFile(first));
  EXPECT_EQ(replaced.size, 5);
}

TEST(Files, NativePathStepsOverGbkSecondBytes) {
  // 0x5C is the second byte of some GBK characters; it must survive.
  const std::string gbkWithBackslash = "\x81\x5C";
  const std::string converted = nativePath(".\\logs\\" + gbkWithBackslash + "\\x");
  if (pathSeparator() == '/') {
    EXPECT_EQ(converted, "./logs/" + gbkWithBackslash + "/x");
  } else {
    EXPECT_EQ(converted, ".\\logs\\" + gbkWithBackslash + "\\x");
  }
}

TEST(Files, FileNamePartAndExtension) {
  const std::string sep(1, pathSeparator());
  struct Case {
    std::string path;
    size_t nameOffset;
    std::string stem;
  };
  const Case cases[] = {
      {"agent.exe", 0, "agent"},
      {"dir" + sep + "agent.exe", 4, "dir" + sep + "agent"},
      {"." + sep + "logs.d" + sep + "agentlog", 9, "." + sep + "logs.d" + sep + "agentlog"},
      {"a/b.c/name", 6, "a/b.c/name"},  // "/" separates on every platform
      {"a.b.ini", 0, "a.b"},
      // 0x5C as the second byte of a character is no separator.
      {"\x81\x5C" "x.exe", 0, "\x81\x5C" "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(fileNameOffset(c.path), c.nameOffset);
    EXPECT_EQ(withoutExtension(c.path), c.stem);
  }
}

TEST(Files, CurrentDirectoryAndExecutable) {
  EXPECT_FALSE(currentDirectory().empty());
  EXPECT_TRUE(fileExists(executablePath()));
}

}  // namespace
}  // namespace platform
