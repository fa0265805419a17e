#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace platform {
namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

TEST(IniFile, ReadsValuesAsTheFileWritesThem) {
  const IniFile ini = IniFile::parse(
      "top=before any section\n"
      "[Program]\r\n"
      "  logs_dir =  D:\\logs\\ \r\n"
      "name=\r\n"
      "; name=commented\n"
      "# port=commented\n"
      "url=a=b;c\n"
      "[ PORT ]\n"
      "port=10013\n"
      "[log]\n"
      "Debug=on");
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"Program", "logs_dir", "D:\\logs\\ "},  // blanks before the value dropped, after kept
      {"PROGRAM", "LOGS_DIR", "D:\\logs\\ "},  // names without regard to case
      {"Program", "name", ""},                // present but empty
      {"Program", "url", "a=b;c"},            // value up to the line end
      {"Program", "; name", std::nullopt},    // comment lines are no keys
      {"Program", "port", std::nullopt},
      {"PORT", "port", "10013"},               // section name trimmed
      {"LOG", "debug", "on"},                  // last line without line end
      {"", "top", "before any section"},
      {"Missing", "port", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_EQ(ini.find(c.section, c.key), c.expected);
  }
  EXPECT_EQ(ini.readString("Program", "name", "fallback"), "");
  EXPECT_EQ(ini.readString("Program", "absent", "fallback"), "fallback");
}

TEST(IniFile, DuplicatesKeepFileOrderAndFirstValueWins) {
  const IniFile ini = IniFile::parse(
      "[ACCESS_CONTROL]\n"
      "ip1=127.0.0.1\n"
      "IP1=127.0.0.2\n"
      "ip2=127.0.0.3\n"
      "[Other]\n"
      "x=1\n"
      "[access_control]\n"
      "ip3=127.0.0.4\n"
      "bare line\n");
  EXPECT_EQ(ini.readString("ACCESS_CONTROL", "ip1", ""), "127.0.0.1");
  EXPECT_EQ(ini.keyNames("Access_Control"),
            (std::vector<std::string>{"ip1", "IP1", "ip2", "ip3", "bare line"}));
  EXPECT_EQ(ini.sectionLines("ACCESS_CONTROL"),
            (Lines{{"ip1", "127.0.0.1"},
                   {"IP1", "127.0.0.2"},
                   {"ip2", "127.0.0.3"},
                   {"ip3", "127.0.0.4"},
                   {"bare line", ""}}));
  EXPECT_TRUE(ini.keyNames("Missing").empty());
  EXPECT_TRUE(ini.sectionLines("Missing").empty());
}

TEST(IniFile, KnowsWhichSectionsExist) {
  const IniFile ini = IniFile::parse("[PORT]\n[Tavin]\nx=1\n");
  EXPECT_TRUE(ini.hasSection("port"));  // an empty section exists too
  EXPECT_TRUE(ini.hasSection("TAVIN"));
  EXPECT_FALSE(ini.hasSection("ACCESS_CONTROL"));
  EXPECT_FALSE(ini.hasSection(""));  // nothing stood before the first section
}

TEST(IniFile, GbkNamesFoldOnlyTheirAsciiLetters) {
  // 0xB0 0x61 and 0xB0 0x41 are two different characters whose second bytes
  // look like "a" and "A"; "]" (0x5D) can be a second byte as well.
  const IniFile ini = IniFile::parse(
      "[Program]\n"
      "监控程序1=Y\n"
      "\xB0\x61=lower\n"
      "[\x81\x5Dx]\n"
      "k=v\n");
  EXPECT_EQ(ini.readString("program", "监控程序1", "N"), "Y");
  EXPECT_EQ(ini.readString("Program", "\xB0\x61", ""), "lower");
  EXPECT_EQ(ini.find("Program", "\xB0\x41"), std::nullopt);
  EXPECT_EQ(ini.readString("\x81\x5DX", "K", ""), "v");
}

TEST(IniFile, LoadsFilesAndTakesAMissingOneAsEmpty) {
  tavin::test::TempDir dir;
  IniFile ini = IniFile::parse("[a]\nb=c\n");
  ASSERT_TRUE(IniFile::load(dir.path("missing.ini"), &ini).isOk());
  EXPECT_FALSE(ini.hasSection("a"));

  ASSERT_TRUE(writeFile(dir.path("agent.ini"), "[PORT]\r\nport=10012\r\n").isOk());
  ASSERT_TRUE(IniFile::load(dir.path("agent.ini"), &ini).isOk());
  EXPECT_EQ(ini.readString("PORT", "port", ""), "10012");
}

}  // namespace
}  // namespace platform
