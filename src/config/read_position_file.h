// The file in which the agent keeps, across its restarts, where the
// console's next system-log line starts for each monitored program: the
// place of the first line no console's host has acknowledged
// (SystemLogReader::Mark) with the name of its file, and when a console was
// last being read for. It lies in the agent's working directory, named after
// the executable ("TavinMonitorAgent.state"), and is GBK text in the ini
// format:
//
//   [TavinMonitorAgent]
//   version=1
//   reading=1765248475123        (milliseconds since the epoch)
//   [监控程序1]
//   file=/var/lib/tavin-monitor-agent/logs/monitor/system20261209.log
//   date=20261209
//   offset=4888890
//   line=50000
//   entered=separator            (or "top")
//   volume=2049                  (the file's identity, when known)
//   index=1311778
//
// Written whole and replaced in one step (platform::replaceFile), so a
// crash or a power cut leaves the last version or the new one. Not thread
// safe: one thread at a time.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/sys_status.h"
#include "probes/system_log_reader.h"

namespace tavin {

// One program's kept place.
struct KeptPlace {
  std::string file;
  SystemLogReader::Mark mark;
};

struct KeptPlaces {
  // When a console was last being read for (wall time, milliseconds since
  // the epoch); -1: not known.
  double readingMillis = -1;
  std::map<std::string, KeptPlace> programs;  // by program name
};

class ReadPositionFile {
 public:
  // What load() found.
  enum class Loaded { kLoaded, kMissing, kUnreadable, kUnusable };

  explicit ReadPositionFile(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // Reads the places of the named programs (those the file holds) into
  // *out. kUnreadable and kUnusable say why in *why.
  Loaded load(const std::vector<std::string>& programs, KeptPlaces* out, std::string* why) const;
  platform::SysStatus save(const KeptPlaces& places) const;

  // The file's text, and back (false, with why, for a text that is not one).
  static std::string format(const KeptPlaces& places);
  static bool parse(const std::string& text, const std::vector<std::string>& programs,
                    KeptPlaces* out, std::string* why);

 private:
  const std::string path_;
};

}  // namespace tavin
