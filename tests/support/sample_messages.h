// A status response as the agent answers for two running programs with the
// given number of trading units each, counters of realistic width. Shared by
// the codec benchmarks and the fuzz seeds.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "codec/records.h"
#include "handlers/status_messages.h"

namespace tavin::test {

inline std::unique_ptr<StatusResponseMessageBody> sampleStatusResponse(int unitsPerProgram) {
  std::string qex;
  std::string pbu;
  for (int p = 1; p <= 2; ++p) {
    Qex program;
    program.setExist("Y");
    program.setName(p == 1 ? "监控程序1" : "监控程序2");
    program.setType(p == 1 ? "A" : "B");
    program.setStatus("运行");
    program.setVersion("3.2.0");
    program.setWarningLevel("0");
    qex += program.recordText();
    for (int u = 1; u <= unitsPerProgram; ++u) {
      char op[16];
      std::snprintf(op, sizeof op, "OP%d%08d", p, u);
      Pbu unit(op, program.getType(), "3", "123456", "123450", "40000", "999999", "127.0.0.1",
               "127.0.0.1", "100", "1", "0");
      unit.setName(program.getName());
      pbu += unit.recordText();
    }
  }
  return std::make_unique<StatusResponseMessageBody>("正常运行", "2012-11-05 09:30:01 ", "12",
                                                     "40", "55", "01", qex, pbu);
}

}  // namespace tavin::test
