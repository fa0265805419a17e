#include "config/read_position_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace tavin {
namespace {

const std::vector<std::string> kPrograms{"监控程序1", "监控程序2"};

KeptPlaces twoPlaces() {
  KeptPlaces places;
  places.readingMillis = 1765248475123;
  SystemLogReader::Mark one;
  one.date = "20261209";
  one.position = 4888890;
  one.line = 50000;
  one.behindSeparator = true;
  one.known = true;
  one.volume = 2049;
  one.index = 1311778;
  places.programs["监控程序1"] = KeptPlace{"/x/日志/system20261209.log", one};
  SystemLogReader::Mark two;
  two.date = "20261208";
  places.programs["监控程序2"] = KeptPlace{"/x/b/system20261208.log", two};
  return places;
}

void expectSame(const KeptPlaces& got, const KeptPlaces& expected) {
  EXPECT_EQ(got.readingMillis, expected.readingMillis);
  ASSERT_EQ(got.programs.size(), expected.programs.size());
  for (const auto& [name, place] : expected.programs) {
    SCOPED_TRACE(name);
    const KeptPlace& other = got.programs.at(name);
    EXPECT_EQ(other.file, place.file);
    EXPECT_EQ(other.mark.date, place.mark.date);
    EXPECT_EQ(other.mark.position, place.mark.position);
    EXPECT_EQ(other.mark.line, place.mark.line);
    EXPECT_EQ(other.mark.behindSeparator, place.mark.behindSeparator);
    EXPECT_EQ(other.mark.known, place.mark.known);
    EXPECT_EQ(other.mark.volume, place.mark.volume);
    EXPECT_EQ(other.mark.index, place.mark.index);
  }
}

TEST(ReadPositionFile, WhatIsSavedLoadsBackAndReplacesTheLastVersion) {
  test::TempDir dir;
  const ReadPositionFile file(dir.path("TavinMonitorAgent.state"));
  KeptPlaces places;
  std::string why;
  EXPECT_EQ(file.load(kPrograms, &places, &why), ReadPositionFile::Loaded::kMissing);
  ASSERT_TRUE(file.save(KeptPlaces{}).isOk());
  ASSERT_TRUE(file.save(twoPlaces()).isOk());
  ASSERT_EQ(file.load(kPrograms, &places, &why), ReadPositionFile::Loaded::kLoaded) << why;
  expectSame(places, twoPlaces());
  // Only the programs asked for; nothing is left beside the file.
  ASSERT_EQ(file.load({"监控程序2"}, &places, &why), ReadPositionFile::Loaded::kLoaded);
  EXPECT_EQ(places.programs.count("监控程序1"), 0u);
  EXPECT_FALSE(platform::fileExists(file.path() + ".new"));
}

TEST(ReadPositionFile, ATextThatIsNotOneIsUnusableAndSaysWhy) {
  const std::string good = ReadPositionFile::format(twoPlaces());
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    std::string text;
    std::string why;  // a part of the reason
  };
  const Case cases[] = {
      {"", "version"},
      {replaced("version=1", "version=2"), "version"},
      {replaced("reading=1765248475123", "reading=soon"), "reading"},
      {replaced("offset=4888890", "offset=-1"), "[监控程序1]"},
      {replaced("offset=4888890", "offset=4888890x"), "[监控程序1]"},
      {replaced("line=50000\r\n", ""), "[监控程序1]"},
      {replaced("date=20261209", "date=2026129"), "[监控程序1]"},
      {replaced("entered=top", "entered=middle"), "[监控程序2]"},
      {replaced("index=1311778\r\n", ""), "[监控程序1]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    KeptPlaces places;
    std::string why;
    EXPECT_FALSE(ReadPositionFile::parse(c.text, kPrograms, &places, &why));
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
  test::TempDir dir;
  KeptPlaces places;
  std::string why;
  // A directory where the file belongs cannot be read, nor replaced.
  const ReadPositionFile directory(dir.path());
  EXPECT_EQ(directory.load(kPrograms, &places, &why), ReadPositionFile::Loaded::kUnreadable);
  const ReadPositionFile file(dir.path("a.state"));
  ASSERT_TRUE(platform::createDirectory(dir.path("a.state.new")).isOk());
  ASSERT_TRUE(platform::writeFile(dir.path("a.state.new") + platform::pathSeparator() + "x", "").isOk());
  EXPECT_FALSE(file.save(twoPlaces()).isOk());
  ASSERT_TRUE(platform::writeFile(file.path(), replaced("version=1", "version=")).isOk());
  EXPECT_EQ(file.load(kPrograms, &places, &why), ReadPositionFile::Loaded::kUnusable);
}

}  // namespace
}  // namespace tavin
