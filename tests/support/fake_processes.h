// A process list that a test sets: the running processes, or a failure.
#pragma once

#include <vector>

#include "platform/process_list.h"

namespace tavin::test {

class FakeProcesses : public platform::ProcessSource {
 public:
  std::vector<platform::ProcessInfo> running;
  bool fails = false;
  mutable int listed = 0;  // calls so far

  platform::SysStatus listProcesses(std::vector<platform::ProcessInfo>* out) const override {
    ++listed;
    if (fails) return platform::SysStatus::error("listProcesses", 5);
    *out = running;
    return platform::SysStatus::ok();
  }
};

}  // namespace tavin::test
