#include "probes/qex_communicator.h"

#include "codec/codec_texts.h"
#include "codec/errors.h"
#include "codec/numbers.h"
#include "platform/ini_file.h"
#include "probes/probe_texts.h"

namespace tavin {
namespace {

constexpr size_t kOperatorCodeLength = 11;

bool isBlankOrControl(char c) {
  return c == ' ' || (static_cast<unsigned char>(c) < 0x20) || c == '\x7F';
}

bool isEmptyAfterTrim(const std::string& text) {
  for (char c : text) {
    if (!isBlankOrControl(c)) return false;
  }
  return true;
}

}  // namespace

QexCommunicator::QexCommunicator(const ProgramFiles& files, const platform::Clock& clock,
                                 const platform::ProcessSource& processes)
    : files_(files),
      enabled_(files.exist == kFlagYes),
      processes_(processes),
      statusReader_(files.statusFile, clock),
      logReader_(files.name, files.sysLogDir, clock) {
  setExist(files.exist);
  setName(files.name);

  platform::IniFile ini;
  if (platform::SysStatus status = platform::IniFile::load(files.configFile, &ini);
      !status.isOk()) {
    throw AppError("Cannot read " + files.configFile + ": " + status.toString());
  }
  const int32_t count = boundedOperatorCount(
      parseInt32(ini.readString("System", "OperatorCounts", "0")).value_or(0));
  for (int32_t k = 1; k <= count; ++k) {
    std::string code = ini.readString("oper" + std::to_string(k), "OperCode", "");
    if (code.size() != kOperatorCodeLength) continue;
    pbus_.push_back(Pbu::fromConfig(files.name, std::move(code)));
    ++pbuCount_;
  }
}

void QexCommunicator::checkProcess() {
  std::vector<platform::ProcessInfo> processes;
  const bool listed = processes_.listProcesses(&processes).isOk();
  checkProcess(listed ? &processes : nullptr);
}

void QexCommunicator::checkProcess(const std::vector<platform::ProcessInfo>* processes) {
  std::string name = files_.startFileName;
  if (name == "0" || isEmptyAfterTrim(name)) {
    name = std::string(files_.name == kProgram1Name ? kDefaultProgram1Exe : kDefaultProgram2Exe);
  }
  curStatus_ = std::string(kStatusStopped);
  // A process list that cannot be read leaves the program "stopped".
  if (processes == nullptr) return;
  for (const platform::ProcessInfo& process : *processes) {
    if (platform::processMatches(process, name)) {
      curStatus_ = std::string(kStatusRunning);
      return;
    }
  }
}

void QexCommunicator::refresh() {
  std::vector<platform::ProcessInfo> processes;
  const bool listed = processes_.listProcesses(&processes).isOk();
  refresh(listed ? &processes : nullptr);
}

void QexCommunicator::refresh(const std::vector<platform::ProcessInfo>* processes) {
  curName_ = getName();
  curType_ = getType();
  curStatus_ = getStatus();
  checkProcess(processes);
  statusReader_.parseStatus(curName_, curType_, curVersion_, curWarning_, curStatus_, pbus_);
  setType(curType_);
  setVersion(curVersion_);
  setWarningLevel(curWarning_);
  if (!enabled_) curStatus_ = std::string(kStatusAbsent);
  setStatus(curStatus_);
}

}  // namespace tavin
