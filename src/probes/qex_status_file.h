// The status file a monitored program writes about itself: an ini file with
// its write time, version, type and warning level, and one section per
// operator (trading unit) with that operator's status and counters.
//
// QexStatusFile reads it afresh on every status refresh and merges what it
// finds into the program's configured trading units. Owned by the program's
// QexCommunicator; used on the processor thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/records.h"
#include "platform/clock.h"

namespace tavin {

// Operator sections read from a program's configuration file or status file
// are numbered 1..count; counts above this bound are cut to it, so an absurd
// value cannot stall the agent or exhaust its memory.
inline constexpr int32_t kMaxOperatorSections = 999;

// The number of operator sections to visit for a count read from a file.
int32_t boundedOperatorCount(int64_t count);

class QexStatusFile {
 public:
  QexStatusFile(std::string path, const platform::Clock& clock);

  const std::string& getPath() const { return path_; }

  // Reads the file and updates the arguments. When the file is missing or its
  // "Time" is empty nothing changes. Otherwise curType and curVersion take the
  // file's values; curWarning and each operator's warning level and counters
  // are taken from the file only while processStatus is the running status
  // (else "0" and empty); pbus whose operator number appears in the file take
  // its values (the first section naming it wins). Raises ConversionError when
  // "Time" has a non-numeric part and AppError when the file exists but cannot
  // be read.
  void parseStatus(const std::string& curName, std::string& curType, std::string& curVersion,
                   std::string& curWarning, const std::string& processStatus,
                   std::vector<Pbu>& pbus) const;

  // The "Time" value as milliseconds since the epoch (local time): 0 for the
  // empty text. The fields stand at fixed positions: year 1-4, month 5-6,
  // day 7-8, hour 10-11, minute 13-14, second 16-17 (20121105-09:30:01).
  // Raises ConversionError when a part is not a decimal integer.
  static int64_t timeMillis(const std::string& time, const platform::Clock& clock);

 private:
  std::string path_;
  const platform::Clock& clock_;
};

}  // namespace tavin
