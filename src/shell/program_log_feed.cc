#include "shell/program_log_feed.h"

#include <utility>

#include "shell/shell_texts.h"

namespace tavin {

ProgramLogFeed::ProgramLogFeed(AgentConfig& config, std::string stateFile,
                               const platform::Clock& clock, History& history)
    : config_(config), file_(std::move(stateFile)), clock_(clock), history_(history) {}

bool ProgramLogFeed::read(std::vector<LogBatch>* out, size_t maxTextBytes, size_t budget) {
  // The push reads only while a console is connected.
  readingMillis_ = clock_.nowMillis();
  std::vector<AgentConfig::SysLogBatch> batches;
  if (!config_.readSysLog(&batches, maxTextBytes, budget)) return false;
  for (AgentConfig::SysLogBatch& batch : batches) {
    out->push_back(LogBatch{std::move(batch.text), batch.program, batch.lines,
                            std::any(std::move(batch.before)), std::any(std::move(batch.after))});
  }
  return true;
}

void ProgramLogFeed::rewind(const std::any& position) {
  if (const auto* at = std::any_cast<AgentConfig::SysLogPosition>(&position)) {
    config_.rewindSysLog(*at);
  }
}

void ProgramLogFeed::save(const std::any& position) {
  if (position.has_value()) {
    const auto* at = std::any_cast<AgentConfig::SysLogPosition>(&position);
    if (at == nullptr) return;
    kept_ = *at;
  }
  const AgentConfig::SysLogPosition* at = &kept_;
  KeptPlaces places;
  places.readingMillis = readingMillis_;
  for (size_t i = 0; i < config_.communicatorCount() && i < at->size(); ++i) {
    const QexCommunicator& program = config_.communicator(i);
    const SystemLogReader::Mark* mark = (*at)[i].current();
    if (!program.isEnabled() || mark == nullptr) continue;
    places.programs[program.getFiles().name] =
        KeptPlace{program.getLogReader().fileOf(mark->date), *mark};
  }
  const platform::SysStatus status = file_.save(places);
  // One line when keeping fails, one when it works again: not one a second.
  if (!status && !saveFailed_) {
    history_.LogEvent(std::string(kReadPositionSaveFailed) + file_.path() + ": " +
                      status.toString() + std::string(kReadPositionSaveFailedHint));
  } else if (status && saveFailed_) {
    history_.LogEvent(std::string(kReadPositionSavedAgain) + file_.path());
  }
  saveFailed_ = !status;
}

std::vector<std::string> ProgramLogFeed::resume() {
  std::vector<std::string> names;
  for (size_t i = 0; i < config_.communicatorCount(); ++i) {
    if (config_.communicator(i).isEnabled()) names.push_back(config_.communicator(i).getFiles().name);
  }
  std::vector<std::string> lines;
  if (names.empty()) return lines;
  KeptPlaces places;
  std::string why;
  const ReadPositionFile::Loaded loaded = file_.load(names, &places, &why);
  // A console was being read for until a few minutes ago (in either
  // direction the clock went, no more than the reader's keep-up time).
  const double since = clock_.nowMillis() - places.readingMillis;
  const bool keptUp = loaded == ReadPositionFile::Loaded::kLoaded && places.readingMillis >= 0 &&
                      since >= 0 && since <= SystemLogReader::kKeepUpSeconds * 1000.0;
  for (size_t i = 0; i < config_.communicatorCount(); ++i) {
    if (config_.communicator(i).isEnabled()) {
      lines.push_back(resumeProgram(i, loaded, why, places, keptUp));
    }
  }
  // Until something is delivered, what was taken up is the position to
  // keep, with its reading time: a run without a console changes neither.
  kept_ = config_.sysLogPosition();
  if (loaded == ReadPositionFile::Loaded::kLoaded) readingMillis_ = places.readingMillis;
  return lines;
}

std::string ProgramLogFeed::resumeProgram(size_t program, ReadPositionFile::Loaded loaded,
                                          const std::string& why, const KeptPlaces& places,
                                          bool keptUp) {
  const QexCommunicator& communicator = config_.communicator(program);
  const std::string head = communicator.getFiles().name + std::string(kSysLogLineInfix);
  std::string reason;
  switch (loaded) {
    case ReadPositionFile::Loaded::kMissing:
      reason = std::string(kNoPositionKeptIn) + file_.path();
      break;
    case ReadPositionFile::Loaded::kUnreadable:
      reason = file_.path() + std::string(kCannotBeRead) + why;
      break;
    case ReadPositionFile::Loaded::kUnusable:
      reason = file_.path() + std::string(kCannotBeUsed) + why;
      break;
    case ReadPositionFile::Loaded::kLoaded:
      break;
  }
  if (reason.empty()) {
    auto kept = places.programs.find(communicator.getFiles().name);
    if (kept == places.programs.end()) {
      reason = std::string(kNoPositionKeptIn) + file_.path();
    } else {
      const KeptPlace& place = kept->second;
      const std::string where = std::string(kLinePrefix) + std::to_string(place.mark.line + 1) +
                                std::string(kBytePrefix) + std::to_string(place.mark.position) +
                                std::string(kOfFile) + place.file;
      switch (config_.resumeSysLog(program, place.mark, place.file, keptUp)) {
        case SystemLogReader::Resumed::kToday:
          return head + std::string(kResumingAt) + where;
        case SystemLogReader::Resumed::kDayBefore:
          return head + std::string(kResumingAt) + where + std::string(kThenTodaysFile);
        case SystemLogReader::Resumed::kOtherDay:
          reason = std::string(kPositionOfDay) + place.mark.date;
          break;
        case SystemLogReader::Resumed::kOtherFile:
          reason = std::string(kPositionOfAnotherFile) + place.file;
          break;
        case SystemLogReader::Resumed::kReplaced:
          reason = place.file + std::string(kReplacedSincePosition);
          break;
        case SystemLogReader::Resumed::kShorter:
          reason = place.file + std::string(kShorterThanPosition);
          break;
        case SystemLogReader::Resumed::kMissing:
          reason = place.file + std::string(kCannotBeOpened);
          break;
      }
    }
  }
  return head + std::string(kStartingBehindSeparator) + reason;
}

}  // namespace tavin
