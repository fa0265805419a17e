#include "probes/system_log_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <type_traits>
#include <utility>

#include "platform/files.h"
#include "platform/text.h"
#include "probes/probe_texts.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace tavin {
namespace {

// A log position and line count stay exact past 2 GiB of log.
static_assert(std::is_same_v<decltype(std::declval<SystemLogReader>().getPosition()), int64_t>);
static_assert(std::is_same_v<decltype(std::declval<SystemLogReader>().getLine()), int64_t>);

const std::string kSeparator = std::string(20, '-') + "\r\n";

std::string entry(int line, const std::string& text) {
  return "监控程序1 " + std::to_string(line) + " " + text + "\x02";
}

class SystemLogReaderTest : public ::testing::Test {
 protected:
  SystemLogReaderTest()
      : clock_(test::FakeClock::at(2012, 11, 5)),
        reader_("监控程序1", dir_.path() + platform::pathSeparator(), clock_) {}

  std::string file(const char* date = "20121105") const {
    return dir_.path(std::string("system") + date + ".log");
  }
  void append(const std::string& text, const char* date = "20121105") {
    ASSERT_TRUE(platform::appendToFile(file(date), text).isOk());
  }
  // The text of the next call, with "!" in front when the call answered false.
  std::string next() {
    std::string out = "stale";
    const bool found = reader_.readNewSysLog(out);
    return found ? out : "!" + out;
  }

  test::TempDir dir_;
  test::FakeClock clock_;
  SystemLogReader reader_;
};

TEST_F(SystemLogReaderTest, StartsBehindTheLastSeparator) {
  append("A\r\n" + kSeparator + "B\r\n" + kSeparator + "C\r\nD\r\n");
  EXPECT_EQ(next(), entry(5, "C\r\n") + entry(6, "D\r\n"));
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
  EXPECT_EQ(reader_.getFile(), file());
  EXPECT_EQ(reader_.getDate(), "20121105");
}

TEST_F(SystemLogReaderTest, HandsOutBatchesOfTwenty) {
  for (int i = 1; i <= 45; ++i) append("line " + std::to_string(i) + "\n");
  for (int first : {1, 21, 41}) {
    SCOPED_TRACE(first);
    std::string expected;
    for (int i = first; i < first + 20 && i <= 45; ++i) {
      expected += entry(i, "line " + std::to_string(i) + "\n");
    }
    EXPECT_EQ(next(), expected);
  }
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
}

TEST_F(SystemLogReaderTest, FollowsAGrowingFile) {
  append("A\n");
  EXPECT_EQ(next(), entry(1, "A\n"));
  // A separator between new lines is counted but not sent.
  append("B\n" + kSeparator + "C\n");
  EXPECT_EQ(next(), entry(2, "B\n") + entry(4, "C\n"));
  // A line still being written waits for its end and goes out whole...
  append("half");
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
  append(" done\n");
  EXPECT_EQ(next(), entry(5, "half done\n"));
  // ...or for a second without a change: then it goes out as it is, and
  // what follows comes as the next line.
  append("tail");
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
  clock_.set(test::FakeClock::at(2012, 11, 5, 12, 0, 1));
  EXPECT_EQ(next(), entry(6, "tail"));
  append(" end\n");
  EXPECT_EQ(next(), entry(7, " end\n"));
  // A line of 1500 bytes with its line feed comes as 1023 + 477 bytes.
  const std::string longLine = std::string(1499, 'x') + "\n";
  append(longLine);
  EXPECT_EQ(next(), entry(8, longLine.substr(0, 1023)) + entry(9, longLine.substr(1023)));
  EXPECT_EQ(reader_.getLine(), 9);
  EXPECT_EQ(reader_.getPosition(), static_cast<int64_t>(2 + 2 + kSeparator.size() + 2 + 10 +
                                                        4 + 5 + longLine.size()));
}

TEST_F(SystemLogReaderTest, ReservedBytesInALineAreNeitherRereadNorSent) {
  // A zero byte counts as a byte of the line; 0x01 and 0x02 would break the
  // message, so the console gets blanks in their place.
  append(std::string("a\0b\x01\x02\n", 6) + "c\n");
  EXPECT_EQ(next(), entry(1, "a b  \n") + entry(2, "c\n"));
  EXPECT_EQ(reader_.getPosition(), 8);
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
}

TEST_F(SystemLogReaderTest, WaitsForAMissingFile) {
  EXPECT_EQ(next(), "!" + std::string(kSysLogFileMissing));
  append("A\n" + kSeparator + "B\n");
  EXPECT_EQ(next(), entry(3, "B\n"));
}

TEST_F(SystemLogReaderTest, FinishesTheDayBeforeOnlyWhenKeepingUpWithIt) {
  append("A\n");
  clock_.set(test::FakeClock::at(2012, 11, 5, 23, 58));
  EXPECT_EQ(next(), entry(1, "A\n"));
  append("late 1\nlate 2\n");  // written just before midnight
  clock_.set(test::FakeClock::at(2012, 11, 6, 0, 0, 1));
  EXPECT_EQ(next(), entry(2, "late 1\n") + entry(3, "late 2\n"));
  EXPECT_EQ(reader_.getDate(), "20121105");
  EXPECT_EQ(next(), "!" + std::string(kSysLogFileMissing));
  EXPECT_EQ(reader_.getDate(), "20121106");
  EXPECT_EQ(reader_.getPosition(), 0);
  append("X\n" + kSeparator + "Y\n", "20121106");
  EXPECT_EQ(next(), entry(3, "Y\n"));
  append("too late\n");  // the day before is over once its file had nothing new
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
}

TEST_F(SystemLogReaderTest, AfterANightWithoutReadsStartsWithTodaysFile) {
  append("A\n");
  clock_.set(test::FakeClock::at(2012, 11, 5, 18, 0));
  EXPECT_EQ(next(), entry(1, "A\n"));
  append("evening\n");
  append("morning\n", "20121106");
  clock_.set(test::FakeClock::at(2012, 11, 6, 8, 30));
  EXPECT_EQ(next(), entry(1, "morning\n"));
}

TEST_F(SystemLogReaderTest, AClockSetBackAcrossMidnightKeepsTheLaterDaysFile) {
  clock_.set(test::FakeClock::at(2012, 11, 6, 0, 1));
  append("new day\n", "20121106");
  EXPECT_EQ(next(), entry(1, "new day\n"));
  append("earlier day\n");
  clock_.set(test::FakeClock::at(2012, 11, 5, 23, 59));
  append("more\n", "20121106");
  EXPECT_EQ(next(), entry(2, "more\n"));
  EXPECT_EQ(reader_.getDate(), "20121106");
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
}

// The host's clock set a day ahead and back again, then the real midnight:
// each day's file is read on from where it stopped, nothing twice, nothing
// skipped; and the missing file of the later day shows in the progress.
TEST_F(SystemLogReaderTest, AClockSetADayAheadAndBackResumesEachDayWhereItStopped) {
  clock_.set(test::FakeClock::at(2012, 11, 5, 10, 0));
  append("A\n");
  EXPECT_EQ(next(), entry(1, "A\n"));
  append("B\n");
  clock_.jump(test::FakeClock::at(2012, 11, 6, 10, 0));
  // Still keeping up in real time: the rest of the day first, then the
  // later day, whose file does not exist.
  EXPECT_EQ(next(), entry(2, "B\n"));
  EXPECT_EQ(next(), "!" + std::string(kSysLogFileMissing));
  EXPECT_TRUE(reader_.progress().missing);
  append("ahead\n", "20121106");  // the program writes under the later date too
  EXPECT_EQ(next(), entry(1, "ahead\n"));
  EXPECT_FALSE(reader_.progress().missing);
  clock_.jump(test::FakeClock::at(2012, 11, 5, 10, 1));
  append("C\n");
  EXPECT_EQ(next(), entry(3, "C\n"));
  EXPECT_EQ(reader_.getDate(), "20121105");
  // The real midnight, with the reader keeping up: the later day goes on
  // behind what was sent.
  clock_.set(test::FakeClock::at(2012, 11, 5, 23, 59, 50));
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
  append("D\n");
  append("after\n", "20121106");
  clock_.set(test::FakeClock::at(2012, 11, 6, 0, 0, 5));
  EXPECT_EQ(next(), entry(4, "D\n"));
  EXPECT_EQ(next(), entry(2, "after\n"));
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
}

// A clock set a day ahead while no console reads, then back: the day left
// is remembered, and read on from where it stopped.
TEST_F(SystemLogReaderTest, AClockSetADayAheadWhileNobodyReadsComesBackToTheDay) {
  clock_.set(test::FakeClock::at(2012, 11, 5, 10, 0));
  append("A\n");
  EXPECT_EQ(next(), entry(1, "A\n"));
  clock_.set(test::FakeClock::at(2012, 11, 5, 10, 30));  // no read for half an hour
  append("B\n");
  clock_.jump(test::FakeClock::at(2012, 11, 6, 10, 30));
  EXPECT_EQ(next(), "!" + std::string(kSysLogFileMissing));
  clock_.jump(test::FakeClock::at(2012, 11, 5, 10, 31));
  append("C\n");
  EXPECT_EQ(next(), entry(2, "B\n") + entry(3, "C\n"));
}

std::string lines(int from, int to) {
  std::string text;
  for (int i = from; i <= to; ++i) text += entry(i, "line " + std::to_string(i) + "\n");
  return text;
}

// A restore takes read positions back and nothing else: a file already
// entered is not scanned for its last separator again, a day entered since
// is read again from where it was entered, and lines read before the
// restore come again even when the next console comes long after midnight.
TEST_F(SystemLogReaderTest, ARestoreMovesReadPositionsOnly) {
  clock_.set(test::FakeClock::at(2012, 11, 5, 23, 58));
  for (int i = 1; i <= 40; ++i) append("line " + std::to_string(i) + "\n");
  std::vector<SystemLogReader::Batch> batches;
  ASSERT_TRUE(reader_.readBatches(&batches, SIZE_MAX, SIZE_MAX));
  ASSERT_EQ(batches.size(), 2u);
  append(kSeparator + "new run\n");  // a new run, and the first batch never arrived
  reader_.restore(batches[0].before);
  EXPECT_EQ(next(), lines(1, 20));
  EXPECT_EQ(next(), lines(21, 40));
  EXPECT_EQ(next(), entry(42, "new run\n"));

  const SystemLogReader::Position beforeLate = reader_.position();
  append("late\n");
  append("X\n" + kSeparator + "Y\n", "20121106");
  clock_.set(test::FakeClock::at(2012, 11, 6, 0, 0, 10));
  EXPECT_EQ(next(), entry(43, "late\n"));
  EXPECT_EQ(next(), entry(3, "Y\n"));
  // Neither reached a console's host, and the next console comes ten
  // minutes later; meanwhile the later day's program began a new run.
  reader_.restore(beforeLate);
  append(kSeparator + "Z\n", "20121106");
  clock_.set(test::FakeClock::at(2012, 11, 6, 0, 10, 10));
  EXPECT_EQ(next(), entry(43, "late\n"));
  EXPECT_EQ(next(), entry(3, "Y\n") + entry(5, "Z\n"));
  EXPECT_EQ(next(), "!" + std::string(kSysLogNoNewRecords));
}

// A place kept from an earlier run is taken up only where it still holds:
// today's file, the same file, not shorter; an earlier day's only while a
// console was keeping up. Otherwise the reader starts behind the separator.
TEST(SystemLogReader, ResumesAKeptPlaceOnlyWhereItStillHolds) {
  const std::string today = "A\n" + kSeparator + "B\nC\n";
  struct Case {
    const char* name;
    const char* keptDay;
    bool keptUp;
    std::string renamed;  // the file name kept, when not the day's own
    std::function<void(const std::string& file)> meanwhile;
    SystemLogReader::Resumed resumed;
    std::string expected;  // the next reads, after "D" was appended
  };
  const auto append = [](std::string text) {
    return [text](const std::string& file) { ASSERT_TRUE(platform::appendToFile(file, text).isOk()); };
  };
  const Case cases[] = {
      {"today's, lines and a new run written meanwhile", "20121105", false, "",
       append("D\n" + kSeparator + "E\n"), SystemLogReader::Resumed::kToday,
       entry(4, "C\n") + entry(5, "D\n") + entry(7, "E\n")},
      {"shorter", "20121105", false, "",
       [](const std::string& file) { ASSERT_TRUE(platform::writeFile(file, "A\n").isOk()); },
       SystemLogReader::Resumed::kShorter, entry(1, "A\n")},
      {"replaced", "20121105", false, "",
       [](const std::string& file) {
         ASSERT_TRUE(platform::writeFile(file + ".new", "A\n" + kSeparator + "B\nC\nP\n").isOk());
         std::filesystem::rename(std::filesystem::path(platform::gbkToWide(file + ".new")),
                                 std::filesystem::path(platform::gbkToWide(file)));
       },
       SystemLogReader::Resumed::kReplaced, entry(3, "B\n") + entry(4, "C\n") + entry(5, "P\n")},
      {"of another name", "20121105", false, "elsewhere.log", nullptr,
       SystemLogReader::Resumed::kOtherFile, entry(3, "B\n") + entry(4, "C\n")},
      {"missing", "20121105", false, "",
       [](const std::string& file) { ASSERT_TRUE(platform::removeFile(file).isOk()); },
       SystemLogReader::Resumed::kMissing, "!" + std::string(kSysLogFileMissing)},
      {"the day before, nobody keeping up", "20121104", false, "", append("late\n"),
       SystemLogReader::Resumed::kOtherDay, entry(3, "B\n") + entry(4, "C\n")},
      {"the day before, a console keeping up", "20121104", true, "", append("late\n"),
       SystemLogReader::Resumed::kDayBefore,
       entry(4, "C\n") + entry(5, "late\n") + "|" + entry(3, "B\n") + entry(4, "C\n")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string logDir = dir.path() + platform::pathSeparator();
    const int keptDay = std::stoi(std::string(c.keptDay).substr(6));
    test::FakeClock clock(test::FakeClock::at(2012, 11, keptDay));
    SystemLogReader earlier("监控程序1", logDir, clock);
    const std::string keptFile = earlier.fileOf(c.keptDay);
    ASSERT_TRUE(platform::writeFile(keptFile, "A\n" + kSeparator + "B\n").isOk());
    std::string out;
    ASSERT_TRUE(earlier.readNewSysLog(out));
    const SystemLogReader::Mark mark = *earlier.position().current();
    ASSERT_TRUE(platform::appendToFile(keptFile, "C\n").isOk());
    if (keptDay != 5) {
      ASSERT_TRUE(platform::writeFile(earlier.fileOf("20121105"), today).isOk());
    }
    if (c.meanwhile) c.meanwhile(keptFile);

    clock.set(test::FakeClock::at(2012, 11, 5, 12, 0, 1));
    SystemLogReader reader("监控程序1", logDir, clock);
    EXPECT_EQ(reader.resume(mark, c.renamed.empty() ? keptFile : logDir + c.renamed, c.keptUp),
              c.resumed);
    std::string got;
    for (int i = 0; i < 2; ++i) {
      const bool found = reader.readNewSysLog(out);
      if (!found && i > 0) break;
      got += (i > 0 ? "|" : "") + (found ? out : "!" + out);
    }
    EXPECT_EQ(got, c.expected);
  }
}

TEST_F(SystemLogReaderTest, ABatchEndsBeforeItPassesItsSizeAndCanBeTakenBack) {
  const std::string line = std::string(99, 'x') + "\n";
  for (int i = 0; i < 5; ++i) append(line);
  const size_t entrySize = entry(1, line).size();
  const SystemLogReader::Position before = reader_.position();
  std::string out;
  int lines = 0;
  ASSERT_TRUE(reader_.readNewSysLog(out, 2 * entrySize + 10, &lines));
  EXPECT_EQ(out, entry(1, line) + entry(2, line));
  EXPECT_EQ(lines, 2);
  // Taken back: the same lines come again, then the rest.
  reader_.restore(before);
  ASSERT_TRUE(reader_.readNewSysLog(out, 3 * entrySize, &lines));
  EXPECT_EQ(out, entry(1, line) + entry(2, line) + entry(3, line));
  // A bound smaller than one entry still takes one.
  ASSERT_TRUE(reader_.readNewSysLog(out, 1, &lines));
  EXPECT_EQ(out, entry(4, line));
  EXPECT_EQ(reader_.progress().position, 4 * static_cast<int64_t>(line.size()));
  EXPECT_EQ(reader_.progress().file, file());

  // Many batches in one call, the same as call after call, each with the
  // state to take it back from; twenty separators alone make no batch.
  for (int i = 0; i < 20; ++i) append(kSeparator);
  append(line + line);
  std::vector<SystemLogReader::Batch> batches;
  ASSERT_TRUE(reader_.readBatches(&batches, 2 * entrySize + 10, SIZE_MAX));
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].text, entry(5, line));
  EXPECT_EQ(batches[1].text, entry(26, line) + entry(27, line));
  EXPECT_EQ(batches[1].lines, 2);
  reader_.restore(batches[1].before);
  ASSERT_TRUE(reader_.readNewSysLog(out));
  EXPECT_EQ(out, entry(26, line) + entry(27, line));
  // A budget ends the call after the batch that reaches it.
  append(line + line);
  batches.clear();
  ASSERT_TRUE(reader_.readBatches(&batches, entrySize + 1, 1));
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].text, entry(28, line));
}

TEST_F(SystemLogReaderTest, ReadsATruncatedOrReplacedFileFromItsFirstLine) {
  struct Case {
    const char* name;
    bool replace;         // a new file renamed over the old one, else truncated in place
    std::string content;  // what the file holds afterwards
    std::string expected;
  };
  const Case cases[] = {
      {"truncated", false, "X\n", entry(1, "X\n")},
      {"emptied", false, "", "!" + std::string(kSysLogNoNewRecords)},
      // No separator scan: every line of the new file is new.
      {"replaced by a longer file", true, "P\n" + kSeparator + "Q\nR\nS\nT\n",
       entry(1, "P\n") + entry(3, "Q\n") + entry(4, "R\n") + entry(5, "S\n") + entry(6, "T\n")},
      {"replaced by a shorter file", true, "Z\n", entry(1, "Z\n")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    SystemLogReader reader("监控程序1", dir.path() + platform::pathSeparator(), clock_);
    const std::string path = dir.path("system20121105.log");
    ASSERT_TRUE(platform::writeFile(path, "A\nB\nC\n").isOk());
    std::string out;
    ASSERT_TRUE(reader.readNewSysLog(out));
    if (c.replace) {
      ASSERT_TRUE(platform::writeFile(dir.path("new.log"), c.content).isOk());
      std::filesystem::rename(std::filesystem::path(platform::gbkToWide(dir.path("new.log"))),
                              std::filesystem::path(platform::gbkToWide(path)));
    } else {
      ASSERT_TRUE(platform::writeFile(path, c.content).isOk());
    }
    const bool found = reader.readNewSysLog(out);
    EXPECT_EQ(found ? out : "!" + out, c.expected);
    // Lines written afterwards follow on.
    ASSERT_TRUE(platform::appendToFile(path, "more\n").isOk());
    ASSERT_TRUE(reader.readNewSysLog(out));
    EXPECT_EQ(out.substr(out.size() - 6), "more\n\x02");
  }
}

TEST(SystemLogReader, SeparatorsAreTwentyHyphensAtTheStart) {
  struct Case {
    std::string line;
    bool separator;
  };
  const Case cases[] = {
      {std::string(20, '-'), true},
      {std::string(40, '-') + " run 2 " + "\r\n", true},
      {std::string(19, '-') + "\n", false},
      {" " + std::string(20, '-'), false},
      {std::string(10, '-') + "+" + std::string(10, '-'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(SystemLogReader::isSeparator(c.line), c.separator);
  }
}

}  // namespace
}  // namespace tavin
