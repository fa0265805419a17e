#include "platform/host_counters.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace platform {
namespace {

TEST(HostCounters, SystemCountersAreConsistent) {
  const HostCounters& counters = HostCounters::system();

  CpuTimes first, second;
  ASSERT_TRUE(counters.cpuTimes(&first).isOk());
  ASSERT_TRUE(counters.cpuTimes(&second).isOk());
  EXPECT_GT(first.kernel + first.user, 0u);
  EXPECT_LE(first.idle, first.kernel);  // kernel time includes idle time
  EXPECT_GE(second.kernel + second.user, first.kernel + first.user);

  CommitCharge charge;
  ASSERT_TRUE(counters.commitCharge(&charge).isOk());
  EXPECT_GT(charge.total, 0u);
  EXPECT_LE(charge.available, charge.total);

  tavin::test::TempDir dir;
  VolumeSpace space;
  ASSERT_TRUE(counters.volumeSpace(dir.path(), &space).isOk());
  EXPECT_GT(space.total, 0u);
  EXPECT_LE(space.free, space.total);
  ASSERT_TRUE(counters.volumeSpace(dir.path() + pathSeparator(), &space).isOk());
  ASSERT_TRUE(counters.volumeSpace("", &space).isOk());  // the current directory
  EXPECT_GT(space.total, 0u);
  EXPECT_FALSE(counters.volumeSpace(dir.path("missing"), &space).isOk());
}

}  // namespace
}  // namespace platform
