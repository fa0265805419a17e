// The process's standard output as raw bytes, below the C library's streams.
// A write here holds no lock of the library, so a thread blocked in it by a
// reader that stalls holds up nothing else: neither other output nor the
// flush of the library's streams when the process exits. Any thread.
#pragma once

#include <string>

#include "platform/sys_status.h"

namespace platform {

// Writes every byte, waiting while the reader does not read. Fails when the
// output is closed or its reader has gone (a pipe whose reader ended).
SysStatus writeStandardOutput(const std::string& bytes);

}  // namespace platform
