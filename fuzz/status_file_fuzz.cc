// The status file parser on arbitrary file contents, for a running and for a
// stopped program with three configured trading units. It may raise the
// conversion error of a bad "Time", nothing else; it never adds, drops or
// renames a configured unit; and a stopped program's units never report
// counters or a warning level.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "platform/clock.h"
#include "probes/qex_status_file.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_status_file: %s\n", what);
  std::abort();
}

const char* const kOperators[] = {"OP000000001", "OP000000002", ""};
const std::string kName = "监控程序1";

void parseOnce(const tavin::QexStatusFile& file, const std::string& processStatus) {
  std::vector<tavin::Pbu> pbus;
  for (const char* op : kOperators) pbus.push_back(tavin::Pbu::fromConfig(kName, op));
  std::string type = "A";
  std::string version = "1.0";
  std::string warning = "0";
  try {
    file.parseStatus(kName, type, version, warning, processStatus, pbus);
  } catch (const tavin::ConversionError&) {
    return;
  }
  check(pbus.size() == 3, "the unit count changed");
  for (size_t i = 0; i < pbus.size(); ++i) {
    check(pbus[i].getOperatorNumber() == kOperators[i], "a unit's operator changed");
    check(pbus[i].getName() == kName, "a unit's program name changed");
    if (processStatus != tavin::kStatusRunning) {
      const tavin::Pbu& u = pbus[i];
      check(u.getBidNumber().empty() && u.getResponseNumber().empty() &&
                u.getTradeNumber().empty() && u.getMaxOrderNumber().empty() &&
                u.getCsIp().empty() && u.getHostExtIp().empty() && u.getCapability().empty() &&
                u.getWork().empty(),
            "a stopped program's unit reports counters");
      // "0" once the file named the unit; a unit it never named stays as configured.
      check(u.getWarningLevel() == "0" || u.getWarningLevel().empty(),
            "a stopped program's unit has a warning level");
    }
  }
  if (processStatus != tavin::kStatusRunning) check(warning == "0", "a stopped program warns");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("status", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  check(fd >= 0, "memfd_create");
  check(ftruncate(fd, 0) == 0 &&
            pwrite(fd, data, size, 0) == static_cast<ssize_t>(size),
        "writing the memory file");
  const tavin::QexStatusFile file(path, platform::Clock::system());
  parseOnce(file, std::string(tavin::kStatusRunning));
  parseOnce(file, std::string(tavin::kStatusStopped));
  return 0;
}
