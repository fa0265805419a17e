#include "metrics/exposition.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tavin {
namespace {

TEST(Exposition, FamiliesAndSamplesWithGbkLabelsAsUtf8) {
  ExpositionWriter out;
  out.family("tavin_program_running", "gauge", "1 when running.\nA second \\ line.");
  out.sample("tavin_program_running", {{"program", "监控程序1"}}, 1);
  out.sample("tavin_program_running", {{"program", "监控程序2"}, {"x", ""}}, 0);
  out.family("tavin_up_total", "counter", "Ups.");
  out.sample("tavin_up_total", {}, 12);
  EXPECT_EQ(out.text(),
            "# HELP tavin_program_running 1 when running.\\nA second \\\\ line.\n"
            "# TYPE tavin_program_running gauge\n"
            "tavin_program_running{program=\"\xE7\x9B\x91\xE6\x8E\xA7\xE7\xA8\x8B\xE5\xBA\x8F"
            "1\"} 1\n"
            "tavin_program_running{program=\"\xE7\x9B\x91\xE6\x8E\xA7\xE7\xA8\x8B\xE5\xBA\x8F"
            "2\",x=\"\"} 0\n"
            "# HELP tavin_up_total Ups.\n"
            "# TYPE tavin_up_total counter\n"
            "tavin_up_total 12\n");
}

TEST(Exposition, LabelValuesAreEscapedAfterConversion) {
  struct Case {
    const char* name;
    std::string gbk;
    std::string written;
  };
  const Case cases[] = {
      {"backslash", "a\\b", "a\\\\b"},
      {"double quote", "say \"hi\"", "say \\\"hi\\\""},
      {"line feed", "one\ntwo", "one\\ntwo"},
      // 0x81 0x5C is one character (U+4E57) whose second byte is a backslash:
      // nothing to escape.
      {"GBK character with a backslash byte", "\x81\x5C", "\xE4\xB9\x97"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ExpositionWriter::labelValue(c.gbk), c.written);
  }
}

TEST(Exposition, ValuesAndFigures) {
  EXPECT_EQ(ExpositionWriter::formatValue(0), "0");
  EXPECT_EQ(ExpositionWriter::formatValue(-3), "-3");
  EXPECT_EQ(ExpositionWriter::formatValue(1765170946), "1765170946");
  EXPECT_EQ(ExpositionWriter::formatValue(1765170946.5), "1765170946.5");
  EXPECT_EQ(ExpositionWriter::formatValue(NAN), "NaN");
  EXPECT_EQ(ExpositionWriter::formatValue(-INFINITY), "-Inf");
  EXPECT_EQ(figureOf("14"), 14.0);
  EXPECT_EQ(figureOf(" -2"), -2.0);
  EXPECT_EQ(figureOf(""), std::nullopt);
  EXPECT_EQ(figureOf("12a"), std::nullopt);
}

}  // namespace
}  // namespace tavin
