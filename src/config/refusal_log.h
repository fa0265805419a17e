// The history lines of refused connections: a bounded number of them,
// whatever the number of refusals or of addresses they come from.
//
// The first refusal of an address is written at once ("Client 10.1.2.3
// denied"); its further refusals are counted, and the end of each period sums
// them up in one line ("Client 10.1.2.3 denied 5 more times in the last
// minute"). An address quiet for a whole period is forgotten: its next
// refusal is written at once again. At most addressLimit addresses are
// counted one by one; while they fill the table, the first refusal of any
// other address in a period is still written, up to newcomerLimit such lines
// per period (so addresses that keep the table busy cannot hide a newcomer),
// and the rest of their refusals are summed up in one line per period for
// all of them ("Client connections denied 12000 times in the last minute
// from 4936 other addresses"). Memory stays bounded: the table, and a set of
// at most kOtherAddressLimit other addresses per period (from there on the
// line says "from at least 16384 other addresses").
//
// Each listener's owner has one, with its own prefix ("Client " for the
// console's port, "Metrics client " for the metrics endpoint). Lives on the
// loop thread: created, used and destroyed there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "config/history.h"
#include "platform/event_loop.h"

namespace tavin {

class RefusalLog {
 public:
  static constexpr int64_t kDefaultPeriodMillis = 60000;
  static constexpr size_t kDefaultAddressLimit = 64;
  static constexpr size_t kDefaultNewcomerLimit = 64;
  static constexpr size_t kOtherAddressLimit = 16384;

  // Both references must outlive the log.
  RefusalLog(platform::EventLoop& loop, History& history, std::string prefix,
             int64_t periodMillis = kDefaultPeriodMillis,
             size_t addressLimit = kDefaultAddressLimit,
             size_t newcomerLimit = kDefaultNewcomerLimit);
  // Stops the period's timer.
  ~RefusalLog();
  RefusalLog(const RefusalLog&) = delete;
  RefusalLog& operator=(const RefusalLog&) = delete;

  // Notes a refusal of address. True when its line was written now (the
  // address's first refusal of the period); false when it was only counted.
  bool refused(const std::string& address);
  // Writes the period's summary lines and starts the next period while an
  // address is still counted. The period's timer calls it.
  void endPeriod();
  // Forgets everything and stops the timer: nothing is written afterwards
  // until the next refusal.
  void clear();

 private:
  void startPeriod();

  platform::EventLoop& loop_;
  History& history_;
  const std::string prefix_;
  const int64_t periodMillis_;
  const size_t addressLimit_;
  const size_t newcomerLimit_;

  // The counted addresses, with their refusals not yet summed up.
  std::map<std::string, uint64_t> counted_;
  // The period's other addresses (by their hash) up to kOtherAddressLimit,
  // each marked once one of its refusals was counted rather than written;
  // the counted refusals, and how many addresses they came from.
  std::unordered_map<size_t, bool> otherAddresses_;
  uint64_t otherRefusals_ = 0;
  size_t otherCounted_ = 0;
  size_t newcomerLines_ = 0;  // first refusals of other addresses written
  platform::TimerId timer_ = 0;  // 0: no period running
};

}  // namespace tavin
