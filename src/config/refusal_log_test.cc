#include "config/refusal_log.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tavin {
namespace {

class Lines : public History {
 public:
  void WriteHistory(const std::string& text, bool) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

std::string address(int i) {
  return "127.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
}

// Refusals from 5000 addresses, three rounds: the two counted addresses get
// their lines, every other refusal is summed up in one line at the end of
// the period; past kOtherAddressLimit addresses the line says "at least".
TEST(RefusalLog, RefusalsFromManyAddressesCostABoundedNumberOfLines) {
  std::unique_ptr<platform::EventLoop> loop;
  ASSERT_TRUE(platform::EventLoop::create(&loop).isOk());
  Lines history;
  RefusalLog log(*loop, history, "Client ", 60000, 2);
  int written = 0;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 5000; ++i) written += log.refused(address(i)) ? 1 : 0;
  }
  EXPECT_EQ(written, 2);
  EXPECT_EQ(history.lines,
            (std::vector<std::string>{"Client 127.0.0.0 denied", "Client 127.0.0.1 denied"}));

  history.lines.clear();
  log.endPeriod();
  EXPECT_EQ(history.lines,
            (std::vector<std::string>{
                "Client 127.0.0.0 denied 2 more times in the last minute",
                "Client 127.0.0.1 denied 2 more times in the last minute",
                "Client connections denied 14994 times in the last minute from 4998 other "
                "addresses"}));

  history.lines.clear();
  const int many = static_cast<int>(RefusalLog::kOtherAddressLimit) + 100;
  for (int i = 0; i < many; ++i) log.refused(address(i));
  log.endPeriod();
  EXPECT_EQ(history.lines.size(), 3u);
  EXPECT_EQ(history.lines.back(), "Client connections denied " + std::to_string(many - 2) +
                                      " times in the last minute from at least 16384 other "
                                      "addresses");
}

}  // namespace
}  // namespace tavin
