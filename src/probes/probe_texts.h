// The fixed texts of the probes: file and section names of the monitored
// programs' own files, the answers of the system log reader and the texts of
// the diagnostics. Sources are UTF-8 and compiled with -fexec-charset=GBK, so
// the Chinese literals are GBK bytes in the binary.
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

// The diagnostics. The agent's version code.
inline constexpr std::string_view kAgentVersionCode = "1010300";
// Line end of the diagnostics' reports.
inline constexpr std::string_view kCrLf = "\r\n";
// Follows a missing agent ini file in the file check: the four visible
// characters backslash, r, backslash, n, not a line break.
inline constexpr std::string_view kVisibleCrLf = "\\r\\n";
// Answer of the file check when the check itself fails.
inline constexpr std::string_view kCheckFailed = "Exception";

// Files the file check expects in the working directory, always these
// names, whatever the agent's ini file configures.
inline constexpr std::string_view kExpectedFiles[] = {
    "cfgA\\SystemConfiguration.ini", "cfgB\\SystemConfiguration.ini", kDefaultProgram1Exe,
    kDefaultProgram2Exe};

// Sections the agent's ini file must hold, in the order they are checked.
inline constexpr std::string_view kExpectedSections[] = {"PORT", "ACCESS_CONTROL", "Tavin"};
// "配置文件中不存在" + section + "字段;"
inline constexpr std::string_view kSectionMissing = "配置文件中不存在";
inline constexpr std::string_view kSectionMissingEnd = "字段;";
// "配置文件中" + section + "字段中的" + key + "内容为空;"
inline constexpr std::string_view kValueEmpty = "配置文件中";
inline constexpr std::string_view kValueEmptyKey = "字段中的";
inline constexpr std::string_view kValueEmptyEnd = "内容为空;";

// The host's system configuration file as the connection check reads it:
// fixed name, section and key, and a default of its own.
inline constexpr std::string_view kCheckSystemFile = "tavin.ini";
inline constexpr std::string_view kCheckSystemSection = "TAVIN";
inline constexpr std::string_view kCheckEnvNoKey = "envNo";
inline constexpr std::string_view kCheckDefaultEnvNo = "10006";
// The gateways' port: "1" + environment number + "05".
inline constexpr std::string_view kPortTextHead = "1";
inline constexpr std::string_view kPortTextTail = "05";

// Lines of the connection report.
inline constexpr std::string_view kPortLine = "端口";
// "配置文件 " + path + " 不存在"
inline constexpr std::string_view kConfigFileLine = "配置文件 ";
inline constexpr std::string_view kConfigFileMissingEnd = " 不存在";
inline constexpr std::string_view kProgram1Heading = "A股报盘程序状态:";
inline constexpr std::string_view kProgram2Heading = "B股报盘程序状态:";
inline constexpr std::string_view kProgram1Absent = "A股报盘程序不存在";
inline constexpr std::string_view kProgram2Absent = "B股报盘程序不存在";
inline constexpr std::string_view kNoOperators = "没有配置交易员";
// "Host:" + local + "与CS" + gateway + "连接正常" or "连接不正常"
inline constexpr std::string_view kLinkHost = "Host:";
inline constexpr std::string_view kLinkToCs = "与CS";
inline constexpr std::string_view kLinkOk = "连接正常";
inline constexpr std::string_view kLinkFailed = "连接不正常";

// Keys of a program's configuration file that the connection check reads.
inline constexpr std::string_view kSectionSystem = "System";
inline constexpr std::string_view kKeyOperatorCounts = "OperatorCounts";
inline constexpr std::string_view kOperatorSectionPrefix = "oper";
inline constexpr std::string_view kKeyGwipCounts = "GwipCounts";
inline constexpr std::string_view kKeyGwipPrefix = "Gwip";
inline constexpr std::string_view kKeyLocalIpPrefix = "LocalIP";

}  // namespace tavin
