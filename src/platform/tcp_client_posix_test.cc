#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "platform/cancellation.h"
#include "platform/tcp_client.h"
#include "tests/support/silent_listener.h"

namespace platform {
namespace {

size_t openDescriptors() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

TEST(ProbeTcpAll, LeavesNoSocketOpen) {
  TcpListener open, silent;
  ASSERT_TRUE(open.listen("127.0.0.1", 0, kProbeMaxInFlight).isOk());
  ASSERT_TRUE(tavin::test::listenSilently(&silent, "127.0.0.3", open.port()));
  std::vector<ProbeLink> links;
  for (const char* remote : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
    links.insert(links.end(), kProbeMaxInFlight, ProbeLink{remote, "127.0.0.1"});
  }
  const size_t before = openDescriptors();
  // Finished, timed out, and cut short by a cancel with all in flight.
  EXPECT_EQ(probeTcpAll(links, open.port(), 200).size(), links.size());
  EXPECT_EQ(openDescriptors(), before);
  Cancellation cancellation;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancellation.cancel();
  });
  probeTcpAll(std::vector<ProbeLink>(kProbeMaxInFlight, ProbeLink{"127.0.0.3", "127.0.0.1"}),
              open.port(), 10000, &cancellation);
  canceller.join();
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace platform
