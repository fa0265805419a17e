#include "platform/host_name.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(HostName, IsKnownAndPlain) {
  const std::string name = hostName();
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name.find('\0'), std::string::npos);
  EXPECT_EQ(name.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace platform
