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
// their lines, so do the first three others (newcomers while the table is
// full), and every other refusal is summed up in one line at the end of the
// period; past kOtherAddressLimit addresses the line says "at least".
TEST(RefusalLog, RefusalsFromManyAddressesCostABoundedNumberOfLines) {
  std::unique_ptr<platform::EventLoop> loop;
  ASSERT_TRUE(platform::EventLoop::create(&loop).isOk());
  Lines history;
  RefusalLog log(*loop, history, "Client ", 60000, 2, 3);
  int written = 0;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 5000; ++i) written += log.refused(address(i)) ? 1 : 0;
  }
  EXPECT_EQ(written, 5);
  EXPECT_EQ(history.lines,
            (std::vector<std::string>{"Client 127.0.0.0 denied", "Client 127.0.0.1 denied",
                                      "Client 127.0.0.2 denied", "Client 127.0.0.3 denied",
                                      "Client 127.0.0.4 denied"}));

  history.lines.clear();
  log.endPeriod();
  EXPECT_EQ(history.lines,
            (std::vector<std::string>{
                "Client 127.0.0.0 denied 2 more times in the last minute",
                "Client 127.0.0.1 denied 2 more times in the last minute",
                "Client connections denied 14991 times in the last minute from 4998 other "
                "addresses"}));

  history.lines.clear();
  const int many = static_cast<int>(RefusalLog::kOtherAddressLimit) + 100;
  for (int i = 0; i < many; ++i) log.refused(address(i));
  log.endPeriod();
  EXPECT_EQ(history.lines.size(), 6u);
  EXPECT_EQ(history.lines.back(), "Client connections denied " + std::to_string(many - 5) +
                                      " times in the last minute from at least 16381 other "
                                      "addresses");
}

// 64 addresses that each come back twice a period keep the table full; a
// 65th is still named at its first refusal, and so is every newcomer up to
// the period's limit.
TEST(RefusalLog, BusyAddressesCannotHideANewcomer) {
  std::unique_ptr<platform::EventLoop> loop;
  ASSERT_TRUE(platform::EventLoop::create(&loop).isOk());
  Lines history;
  RefusalLog log(*loop, history, "Client ");
  const int busy = static_cast<int>(RefusalLog::kDefaultAddressLimit);
  for (int period = 0; period < 2; ++period) {
    for (int i = 0; i < 2 * busy; ++i) log.refused(address(i % busy));
    log.endPeriod();
  }
  history.lines.clear();
  for (int i = 0; i < busy; ++i) EXPECT_FALSE(log.refused(address(i)));
  const int newcomers = static_cast<int>(RefusalLog::kDefaultNewcomerLimit);
  for (int i = busy; i < busy + newcomers; ++i) EXPECT_TRUE(log.refused(address(i)));
  EXPECT_FALSE(log.refused(address(busy)));
  EXPECT_FALSE(log.refused(address(busy + newcomers)));
  ASSERT_EQ(history.lines.size(), static_cast<size_t>(newcomers));
  EXPECT_EQ(history.lines.front(), "Client " + address(busy) + " denied");
}

}  // namespace
}  // namespace tavin
