#include "probes/system_status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace tavin {
namespace {

// Counters read from a script: each cpuTimes call takes the next sample; a
// sample with ok false is a failed read.
class FakeCounters : public platform::HostCounters {
 public:
  struct Cpu {
    bool ok;
    platform::CpuTimes times;
  };
  std::vector<Cpu> cpu;
  mutable size_t nextCpu = 0;
  bool memoryOk = true;
  platform::CommitCharge memory;
  bool volumeOk = true;
  platform::VolumeSpace volume;
  mutable std::string volumePath;

  platform::SysStatus cpuTimes(platform::CpuTimes* out) const override {
    const Cpu& sample = cpu.at(nextCpu++);
    if (!sample.ok) return platform::SysStatus::error("cpu", EIO);
    *out = sample.times;
    return platform::SysStatus::ok();
  }
  platform::SysStatus commitCharge(platform::CommitCharge* out) const override {
    if (!memoryOk) return platform::SysStatus::error("memory", EIO);
    *out = memory;
    return platform::SysStatus::ok();
  }
  platform::SysStatus volumeSpace(const std::string& path,
                                  platform::VolumeSpace* out) const override {
    volumePath = path;
    if (!volumeOk) return platform::SysStatus::error("volume", EIO);
    *out = volume;
    return platform::SysStatus::ok();
  }
};

TEST(SystemStatus, CpuUsageIsTheBusyShareOfEachInterval) {
  struct Step {
    const char* what;
    bool ok;
    platform::CpuTimes times;  // idle, kernel (idle included), user
    int expected;
  };
  const Step steps[] = {
      // The first sample measures from zero: the average since boot.
      {"first sample", true, {300, 500, 500}, 70},
      {"no time passed", true, {300, 500, 500}, 0},
      {"idle 50 of 200", true, {350, 600, 600}, 75},
      {"failed read keeps the previous sample", false, {}, 0},
      {"measured from the sample before the failure", true, {450, 700, 600}, 0},
      {"busy two thirds truncates", true, {451, 702, 601}, 66},
      {"fully busy", true, {451, 802, 701}, 100},
      {"idle counted beyond the total gives 0", true, {1000, 803, 701}, 0},
      {"a counter that went backwards counts as no time", true, {900, 903, 801}, 100},
  };
  FakeCounters counters;
  for (const Step& step : steps) counters.cpu.push_back({step.ok, step.times});
  SystemStatus status(counters);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    EXPECT_EQ(status.getCpuUsage(), step.expected);
  }
}

TEST(SystemStatus, MemoryUsageIsTheCommitChargeInUse) {
  struct Case {
    const char* what;
    bool ok;
    uint64_t total;
    uint64_t available;
    int expected;
  };
  const Case cases[] = {
      {"quarter free", true, 200, 50, 75},
      {"truncated", true, 3, 2, 33},
      {"nothing free", true, 8ull << 40, 0, 100},
      {"zero total", true, 0, 0, 0},
      {"more available than total", true, 100, 150, 0},
      {"failed read", false, 200, 50, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeCounters counters;
    counters.memoryOk = c.ok;
    counters.memory = {c.total, c.available};
    EXPECT_EQ(SystemStatus(counters).memoryUsagePercent(), c.expected);
  }
}

TEST(SystemStatus, DiskUsageIsTheUsedShareOfTheVolume) {
  struct Case {
    const char* what;
    bool ok;
    uint64_t total;
    uint64_t free;
    int expected;
  };
  const Case cases[] = {
      {"33 of 100 free", true, 100, 33, 67},
      {"full", true, 100, 0, 100},
      {"empty", true, 100, 100, 0},
      {"zero size", true, 0, 0, 0},
      {"huge volume does not overflow", true, 1ull << 62, 1ull << 61, 50},
      {"failed read", false, 100, 33, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeCounters counters;
    counters.volumeOk = c.ok;
    counters.volume = {c.total, c.free};
    EXPECT_EQ(SystemStatus(counters).getDiskUsage("D:\\agent\\"), c.expected);
    EXPECT_EQ(counters.volumePath, "D:\\agent\\");
  }
}

TEST(SystemStatus, RealCountersGivePercentages) {
  SystemStatus status(platform::HostCounters::system());
  tavin::test::TempDir dir;
  for (int value : {status.getCpuUsage(), status.getCpuUsage(), status.memoryUsagePercent(),
                    status.getDiskUsage(dir.path())}) {
    EXPECT_GE(value, 0);
    EXPECT_LE(value, 100);
  }
  EXPECT_GT(status.memoryUsagePercent(), 0);
  EXPECT_EQ(status.getDiskUsage(dir.path("missing")), 0);
}

TEST(RootDirectory, IsTheParentOfTheWorkingDirectory) {
  struct Case {
    std::string workingDirectory;
    char separator;
    std::string expected;
  };
  const Case cases[] = {
      {"C:\\Agents\\Probe", '\\', "C:\\Agents\\"},
      {"C:\\Agents\\Probe\\", '\\', "C:\\Agents\\"},
      {"C:\\Agents", '\\', "C:\\"},
      {"C:\\ab", '\\', ""},  // five bytes
      {"C:\\abc", '\\', "C:\\"},
      {"abcdefg", '\\', "abcdef"},  // no separator: the last byte dropped
      {"/opt/tavin/agent", '/', "/opt/tavin/"},
      {"/opt/x", '/', "/opt/"},
      {"/", '/', ""},
      // The second byte of "乗" (81 5C) is not a separator.
      {"C:\\Agents\\ab乗cd", '\\', "C:\\Agents\\"},
      {"C:\\Agents\\乗\\x", '\\', "C:\\Agents\\乗\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.workingDirectory);
    EXPECT_EQ(rootDirectoryOf(c.workingDirectory, c.separator), c.expected);
  }
}

TEST(RootDirectory, FollowsTheCurrentDirectory) {
  tavin::test::TempDir dir;
  const std::string probe = dir.path("probe");
  ASSERT_TRUE(platform::createDirectory(probe).isOk());
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(platform::gbkToWide(probe));
  const std::string root = HostInformation::rootDirectory();
  const std::string fromControl = HostControl().rootDirectory();
  std::filesystem::current_path(before);
  EXPECT_EQ(root, dir.path() + platform::pathSeparator());
  EXPECT_EQ(fromControl, root);
}

class FixedClock : public platform::Clock {
 public:
  explicit FixedClock(platform::LocalTime time) : time_(time) {}
  platform::LocalTime localTime() const override { return time_; }
  double nowMillis() const override { return 0; }
  int64_t localToEpochSeconds(const platform::LocalTime&) const override { return 0; }

 private:
  platform::LocalTime time_;
};

TEST(HostControl, HostTimeIsTwentyCharactersEndingInABlank) {
  EXPECT_EQ(HostControl::hostTime(FixedClock({2013, 1, 3, 7, 5, 9, 500})), "2013-01-03 07:05:09 ");
  EXPECT_EQ(HostControl::hostTime(FixedClock({2099, 12, 31, 23, 59, 58, 0})),
            "2099-12-31 23:59:58 ");
  EXPECT_EQ(HostControl::hostTime(platform::Clock::system()).size(), 20u);
}

}  // namespace
}  // namespace tavin
