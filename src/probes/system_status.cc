#include "probes/system_status.h"

#include <cstdio>

#include "platform/files.h"

namespace tavin {

int percentOf(uint64_t part, uint64_t total) {
  if (total == 0) return 0;
  if (part >= total) return 100;
  // 128 bits so that part * 100 cannot overflow on any volume size.
  return static_cast<int>(static_cast<unsigned __int128>(part) * 100 / total);
}

int SystemStatus::getCpuUsage() {
  platform::CpuTimes now;
  // A counter that cannot be read gives 0 and leaves the previous sample.
  if (!counters_.cpuTimes(&now)) return 0;
  std::lock_guard<std::mutex> lock(mu_);
  // A counter that went backwards (Linux's iowait can) counts as no time.
  auto delta = [](uint64_t current, uint64_t before) {
    return current > before ? current - before : 0;
  };
  const uint64_t idle = delta(now.idle, previous_.idle);
  const uint64_t total = delta(now.kernel, previous_.kernel) + delta(now.user, previous_.user);
  previous_ = now;
  // No time passed since the previous sample: nothing to measure.
  if (total == 0) return 0;
  return percentOf(idle < total ? total - idle : 0, total);
}

int SystemStatus::memoryUsagePercent() const {
  platform::CommitCharge charge;
  if (!counters_.commitCharge(&charge)) return 0;
  const uint64_t used = charge.available < charge.total ? charge.total - charge.available : 0;
  return percentOf(used, charge.total);
}

int SystemStatus::getDiskUsage(const std::string& path) const {
  platform::VolumeSpace space;
  if (!counters_.volumeSpace(path, &space)) return 0;
  const uint64_t used = space.free < space.total ? space.total - space.free : 0;
  return percentOf(used, space.total);
}

std::string rootDirectoryOf(const std::string& workingDirectory, char separator) {
  if (workingDirectory.size() < 6) return std::string();
  const std::string text = workingDirectory.substr(0, workingDirectory.size() - 1);
  // Forward scan: a GBK lead byte (0x81..0xFE) carries the next byte with
  // it, which may look like the separator.
  size_t last = std::string::npos;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x81 && c <= 0xFE) {
      ++i;
    } else if (text[i] == separator) {
      last = i;
    }
  }
  if (last == std::string::npos) return text;
  return text.substr(0, last + 1);
}

std::string HostInformation::rootDirectory() {
  return rootDirectoryOf(platform::currentDirectory(), platform::pathSeparator());
}

std::string HostControl::hostTime(const platform::Clock& clock) {
  const platform::LocalTime t = clock.localTime();
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%2.2d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d ", t.year, t.month,
                t.day, t.hour, t.minute, t.second);
  return buffer;
}

}  // namespace tavin
