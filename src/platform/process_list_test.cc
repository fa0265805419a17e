#include "platform/process_list.h"

#include <gtest/gtest.h>

#include "platform/files.h"

namespace platform {
namespace {

TEST(ProcessList, MatchesExecutableOrArgv0WithoutRegardToCase) {
  struct Case {
    ProcessInfo process;
    std::string name;
    bool matches;
  };
  const Case cases[] = {
      {{"wine64-preloader", "tavin_ashr.exe"}, "TAVIN_ASHR.EXE", true},
      {{"", ""}, "", false},
      // Second bytes of two-byte characters that look like letters are not folded.
      {{"\xB0\x61.exe", ""}, "\xB0\x41.exe", false},
      {{"监控.exe", ""}, "监控.EXE", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(processMatches(c.process, c.name), c.matches);
  }
}

TEST(ProcessList, ListsThisProcess) {
  const std::string self = executablePath();
  const std::string name = self.substr(fileNameOffset(self));
  ASSERT_FALSE(name.empty());
  std::vector<ProcessInfo> processes;
  ASSERT_TRUE(ProcessSource::system().listProcesses(&processes).isOk());
  bool found = false;
  for (const ProcessInfo& process : processes) found = found || processMatches(process, name);
  EXPECT_TRUE(found) << name << " among " << processes.size() << " processes";
}

}  // namespace
}  // namespace platform
