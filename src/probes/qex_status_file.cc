#include "probes/qex_status_file.h"

#include <algorithm>
#include <utility>

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "codec/numbers.h"
#include "platform/ini_file.h"

namespace tavin {
namespace {

// Up to count bytes from 1-based position pos; shorter or empty where the
// text ends first.
std::string part(const std::string& text, size_t pos, size_t count) {
  if (pos > text.size()) return std::string();
  return text.substr(pos - 1, count);
}

}  // namespace

int32_t boundedOperatorCount(int64_t count) {
  return static_cast<int32_t>(std::clamp<int64_t>(count, 0, kMaxOperatorSections));
}

QexStatusFile::QexStatusFile(std::string path, const platform::Clock& clock)
    : path_(std::move(path)), clock_(clock) {}

int64_t QexStatusFile::timeMillis(const std::string& time, const platform::Clock& clock) {
  if (time.empty()) return 0;
  platform::LocalTime local;
  local.year = toInt32(part(time, 1, 4));
  local.month = toInt32(part(time, 5, 2));
  local.day = toInt32(part(time, 7, 2));
  local.hour = toInt32(part(time, 10, 2));
  local.minute = toInt32(part(time, 13, 2));
  local.second = toInt32(part(time, 16, 2));
  return clock.localToEpochSeconds(local) * 1000;
}

void QexStatusFile::parseStatus(const std::string& curName, std::string& curType,
                                std::string& curVersion, std::string& curWarning,
                                const std::string& processStatus,
                                std::vector<Pbu>& pbus) const {
  platform::IniFile ini;
  if (platform::SysStatus status = platform::IniFile::load(path_, &ini); !status.isOk()) {
    throw AppError("Cannot read status file " + path_ + ": " + status.toString());
  }
  // A missing file reads as empty and so has no "Time" either.
  if (timeMillis(ini.readString("TIME", "Time", ""), clock_) == 0) return;

  curVersion = ini.readString("QEXStatus", "QEXVersion", "");
  curType = ini.readString("QEXStatus", "QEXType", "");
  const int32_t total =
      boundedOperatorCount(leadingInteger(ini.readString("QEXStatus", "OperatorTotal", "")));
  const bool running = processStatus == kStatusRunning;
  curWarning = running ? ini.readString("QEXStatus", "WarningLevel", "0") : "0";

  std::vector<Pbu> found;
  found.reserve(static_cast<size_t>(total));
  for (int32_t i = 1; i <= total; ++i) {
    const std::string section = "OperatorStatus." + std::to_string(i);
    const std::string status = ini.readString(section, "Status", "0");
    const std::string warning = running ? ini.readString(section, "WarningLevel", "0") : "0";
    // Counters are reported only for a running program's active operators.
    const bool counters = running && status == "3";
    auto counter = [&](const char* key) {
      return counters ? ini.readString(section, key, "") : std::string();
    };
    Pbu pbu(ini.readString(section, "Operator", ""), curType, status, counter("OrdNumSubmitted"),
            counter("OrdNumConfirmed"), counter("TradeNumber"), counter("MaxOrderNumber"),
            counter("CSIP"), counter("LocalIP"), counter("Capability"), counter("Work"), warning);
    pbu.setName(curName);
    found.push_back(std::move(pbu));
  }

  for (Pbu& configured : pbus) {
    auto match = std::find_if(found.begin(), found.end(), [&](const Pbu& p) {
      return p.getOperatorNumber() == configured.getOperatorNumber();
    });
    if (match == found.end()) continue;
    configured.setType(match->getType());
    configured.setStatus(match->getStatus());
    configured.setBidNumber(match->getBidNumber());
    configured.setResponseNumber(match->getResponseNumber());
    configured.setTradeNumber(match->getTradeNumber());
    configured.setMaxOrderNumber(match->getMaxOrderNumber());
    configured.setCsIp(match->getCsIp());
    configured.setHostExtIp(match->getHostExtIp());
    configured.setCapability(match->getCapability());
    configured.setWork(match->getWork());
    configured.setWarningLevel(match->getWarningLevel());
  }
}

}  // namespace tavin
