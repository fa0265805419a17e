#include "config/read_position_file.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "platform/files.h"
#include "platform/ini_file.h"

namespace tavin {
namespace {

constexpr std::string_view kHeaderSection = "TavinMonitorAgent";
constexpr std::string_view kVersion = "1";
constexpr std::string_view kEnteredBehindSeparator = "separator";
constexpr std::string_view kEnteredAtTop = "top";
// Far more than two programs' places take; a longer file is not one of ours.
constexpr size_t kMaxFileBytes = 64 * 1024;

template <typename T>
std::optional<T> number(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  T value{};
  const char* end = text->data() + text->size();
  const auto [at, error] = std::from_chars(text->data(), end, value);
  if (error != std::errc() || at != end) return std::nullopt;
  return value;
}

}  // namespace

std::string ReadPositionFile::format(const KeptPlaces& places) {
  std::string text =
      "; Where the console's next system-log line starts, per monitored program, kept by\r\n"
      "; TavinMonitorAgent across its restarts. Without this file the agent starts behind\r\n"
      "; the last separator of today's file.\r\n";
  text += "[" + std::string(kHeaderSection) + "]\r\n";
  text += "version=" + std::string(kVersion) + "\r\n";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.0f", places.readingMillis);
  text += "reading=" + std::string(buffer) + "\r\n";
  for (const auto& [program, place] : places.programs) {
    const SystemLogReader::Mark& mark = place.mark;
    text += "[" + program + "]\r\n";
    text += "file=" + place.file + "\r\n";
    text += "date=" + mark.date + "\r\n";
    text += "offset=" + std::to_string(mark.position) + "\r\n";
    text += "line=" + std::to_string(mark.line) + "\r\n";
    text += "entered=" +
            std::string(mark.behindSeparator ? kEnteredBehindSeparator : kEnteredAtTop) + "\r\n";
    if (mark.known) {
      text += "volume=" + std::to_string(mark.volume) + "\r\n";
      text += "index=" + std::to_string(mark.index) + "\r\n";
    }
  }
  return text;
}

bool ReadPositionFile::parse(const std::string& text, const std::vector<std::string>& programs,
                             KeptPlaces* out, std::string* why) {
  const platform::IniFile ini = platform::IniFile::parse(text);
  if (ini.find(kHeaderSection, "version") != std::string(kVersion)) {
    *why = "no [" + std::string(kHeaderSection) + "] section of version " + std::string(kVersion);
    return false;
  }
  KeptPlaces places;
  const auto reading = number<double>(ini.find(kHeaderSection, "reading"));
  if (!reading) {
    *why = "no reading time";
    return false;
  }
  places.readingMillis = *reading;
  for (const std::string& program : programs) {
    if (!ini.hasSection(program)) continue;
    KeptPlace place;
    SystemLogReader::Mark& mark = place.mark;
    const auto file = ini.find(program, "file");
    const auto date = ini.find(program, "date");
    const auto offset = number<int64_t>(ini.find(program, "offset"));
    const auto line = number<int64_t>(ini.find(program, "line"));
    const auto entered = ini.find(program, "entered");
    const auto volume = ini.find(program, "volume");
    const auto index = ini.find(program, "index");
    const auto volumeNumber = number<uint64_t>(volume);
    const auto indexNumber = number<uint64_t>(index);
    const bool dateOk = date && date->size() == 8 &&
                        date->find_first_not_of("0123456789") == std::string::npos;
    if (!file || file->empty() || !dateOk || !offset || *offset < 0 || !line || *line < 0 ||
        !entered || (*entered != kEnteredBehindSeparator && *entered != kEnteredAtTop) ||
        volume.has_value() != index.has_value() || (volume && (!volumeNumber || !indexNumber))) {
      *why = "the section [" + program + "] is incomplete or has a value out of range";
      return false;
    }
    place.file = *file;
    mark.date = *date;
    mark.position = *offset;
    mark.line = *line;
    mark.behindSeparator = *entered == kEnteredBehindSeparator;
    mark.known = volume.has_value();
    mark.volume = volumeNumber.value_or(0);
    mark.index = indexNumber.value_or(0);
    places.programs[program] = std::move(place);
  }
  *out = std::move(places);
  return true;
}

ReadPositionFile::Loaded ReadPositionFile::load(const std::vector<std::string>& programs,
                                                KeptPlaces* out, std::string* why) const {
  if (!platform::fileExists(path_) && !platform::directoryExists(path_)) return Loaded::kMissing;
  std::string text;
  const platform::SysStatus status = platform::readFile(path_, &text, kMaxFileBytes);
  if (!status) {
    *why = status.toString();
    return Loaded::kUnreadable;
  }
  return parse(text, programs, out, why) ? Loaded::kLoaded : Loaded::kUnusable;
}

platform::SysStatus ReadPositionFile::save(const KeptPlaces& places) const {
  return platform::replaceFile(path_, format(places));
}

}  // namespace tavin
