#include "platform/process_list.h"

#include "platform/gbk.h"

namespace platform {
namespace {

class SystemProcessSource : public ProcessSource {
 public:
  SysStatus listProcesses(std::vector<ProcessInfo>* out) const override {
    return platform::listProcesses(out);
  }
};

}  // namespace

ProcessSource& ProcessSource::system() {
  static SystemProcessSource source;
  return source;
}

bool processMatches(const ProcessInfo& process, const std::string& name) {
  if (name.empty()) return false;
  return equalsIgnoreAsciiCaseGbk(process.exeName, name) ||
         equalsIgnoreAsciiCaseGbk(process.argv0, name);
}

}  // namespace platform
