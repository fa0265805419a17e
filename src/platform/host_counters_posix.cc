#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "platform/files.h"
#include "platform/host_counters.h"

namespace platform {
namespace {

// The value of a "Key:   123 kB" line of /proc/meminfo, in bytes.
bool meminfoValue(const std::string& meminfo, const std::string& key, uint64_t* bytes) {
  const std::string prefix = key + ":";
  size_t pos = 0;
  while (pos < meminfo.size()) {
    size_t end = meminfo.find('\n', pos);
    if (end == std::string::npos) end = meminfo.size();
    if (meminfo.compare(pos, prefix.size(), prefix) == 0) {
      std::istringstream line(meminfo.substr(pos + prefix.size(), end - pos - prefix.size()));
      uint64_t value = 0;
      std::string unit;
      if (!(line >> value)) return false;
      line >> unit;
      *bytes = unit == "kB" ? value * 1024 : value;
      return true;
    }
    pos = end + 1;
  }
  return false;
}

class PosixHostCounters : public HostCounters {
 public:
  SysStatus cpuTimes(CpuTimes* out) const override {
    std::string stat;
    if (SysStatus status = readFile("/proc/stat", &stat); !status) return status;
    // The first line sums every processor: "cpu  user nice system idle
    // iowait irq softirq steal guest guest_nice", in clock ticks. guest and
    // guest_nice are already counted in user and nice.
    if (stat.compare(0, 4, "cpu ") != 0) return SysStatus::error("/proc/stat", EPROTO);
    std::istringstream line(stat.substr(4, stat.find('\n') - 4));
    uint64_t v[8] = {};
    int n = 0;
    while (n < 8 && line >> v[n]) ++n;
    if (n < 4) return SysStatus::error("/proc/stat", EPROTO);
    const uint64_t user = v[0] + v[1];
    const uint64_t idle = v[3] + v[4];  // waiting for I/O is idle time
    const uint64_t system = v[2] + v[5] + v[6] + v[7];
    long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (ticksPerSecond <= 0) ticksPerSecond = 100;
    const uint64_t scale = 10'000'000 / static_cast<uint64_t>(ticksPerSecond);
    out->idle = idle * scale;
    out->kernel = (system + idle) * scale;
    out->user = user * scale;
    return SysStatus::ok();
  }

  SysStatus commitCharge(CommitCharge* out) const override {
    std::string meminfo;
    if (SysStatus status = readFile("/proc/meminfo", &meminfo); !status) return status;
    uint64_t memTotal = 0, swapTotal = 0, available = 0, swapFree = 0;
    if (!meminfoValue(meminfo, "MemTotal", &memTotal)) {
      return SysStatus::error("/proc/meminfo", EPROTO);
    }
    meminfoValue(meminfo, "SwapTotal", &swapTotal);
    meminfoValue(meminfo, "SwapFree", &swapFree);
    if (!meminfoValue(meminfo, "MemAvailable", &available)) {
      // Kernels before 3.14 have no MemAvailable; free memory plus the
      // caches is the estimate they would have given.
      uint64_t memFree = 0, buffers = 0, cached = 0;
      meminfoValue(meminfo, "MemFree", &memFree);
      meminfoValue(meminfo, "Buffers", &buffers);
      meminfoValue(meminfo, "Cached", &cached);
      available = memFree + buffers + cached;
    }
    out->total = memTotal + swapTotal;
    out->available = available + swapFree;
    return SysStatus::ok();
  }

  SysStatus volumeSpace(const std::string& path, VolumeSpace* out) const override {
    struct statvfs vfs;
    if (::statvfs(path.empty() ? "." : path.c_str(), &vfs) != 0) {
      return SysStatus::lastError("statvfs");
    }
    out->total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    out->free = static_cast<uint64_t>(vfs.f_bfree) * vfs.f_frsize;
    return SysStatus::ok();
  }
};

}  // namespace

const HostCounters& HostCounters::system() {
  static const PosixHostCounters counters;
  return counters;
}

}  // namespace platform
