// The fixed texts of the monitored program probes: file and section names of
// the programs' own files and the answers of the system log reader. Sources
// are UTF-8 and compiled with -fexec-charset=GBK, so the Chinese literals are
// GBK bytes in the binary.
#pragma once

#include <string_view>

namespace tavin {

// Answers of readNewSysLog when it finds no new line.
inline constexpr std::string_view kSysLogFileMissing = "文件不存在";
inline constexpr std::string_view kSysLogPositionInvalid = "文件指针非法";
inline constexpr std::string_view kSysLogNoNewRecords = "没有新纪录";

// Ends each entry of a system log batch.
inline constexpr char kSysLogEntryEnd = '\x02';

// The executables checked when a program's start file name is not set.
inline constexpr std::string_view kDefaultProgram1Exe = "Tavin_ASHR.exe";
inline constexpr std::string_view kDefaultProgram2Exe = "Tavin_BSHR.exe";

}  // namespace tavin
