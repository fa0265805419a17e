// The fixed texts of the agent's configuration: ini sections, keys and
// defaults, and the messages of a failed load. Sources are UTF-8 and compiled
// with -fexec-charset=GBK, so the Chinese literals are GBK bytes in the binary.
// Default paths are written with "\"; the loader turns it into the platform's
// separator.
#pragma once

#include <string_view>

namespace tavin {

inline constexpr std::string_view kIniExtension = ".ini";

// Sections of the agent's ini file.
inline constexpr std::string_view kSectionProgram = "Program";
inline constexpr std::string_view kSectionPort = "PORT";
inline constexpr std::string_view kSectionLog = "LOG";
inline constexpr std::string_view kSectionAccessControl = "ACCESS_CONTROL";
inline constexpr std::string_view kSectionMetrics = "METRICS";
inline constexpr std::string_view kSectionMetricsAccess = "METRICS_ACCESS";

// Keys and their defaults.
inline constexpr std::string_view kKeyLogsDir = "logs_dir";
inline constexpr std::string_view kDefaultLogsDir = ".\\logs\\";
inline constexpr std::string_view kKeyPort = "port";
inline constexpr int kDefaultPort = 10012;
inline constexpr std::string_view kKeyLogName = "name";
inline constexpr std::string_view kDefaultLogName = "TavinMonitorAgent.log";
inline constexpr std::string_view kKeyDebug = "Debug";
inline constexpr std::string_view kDefaultDebug = "OFF";
inline constexpr std::string_view kDebugOn = "ON";
inline constexpr std::string_view kKeyMetricsEnabled = "enabled";
inline constexpr std::string_view kKeyMetricsPort = "port";

inline constexpr std::string_view kKeySystemConfigFile = "系统配置文件";
inline constexpr std::string_view kDefaultSystemConfigFile = "tavin.ini";
inline constexpr std::string_view kKeySystemConfigSection = "系统配置文件_节点名称";
inline constexpr std::string_view kDefaultSystemConfigSection = "TAVIN";
inline constexpr std::string_view kKeySystemConfigEnvNo = "系统配置文件_环境号";
inline constexpr std::string_view kDefaultSystemConfigEnvNo = "envNo";
inline constexpr std::string_view kDefaultEnvNo = "00";

// Per program: the key suffixes after the program's name ("监控程序1" +
// "_status"), and each program's defaults in the order of ProgramKeys.
inline constexpr std::string_view kSuffixConfigFile = "_用户配置文件";
inline constexpr std::string_view kSuffixStartFile = "_程序启动文件";
inline constexpr std::string_view kSuffixStatus = "_status";
inline constexpr std::string_view kSuffixCmd = "_cmd";
inline constexpr std::string_view kSuffixCmdRes = "_cmd_res";
inline constexpr std::string_view kSuffixSysLogDir = "_SYSLOGDIR";

struct ProgramDefaults {
  std::string_view configFile;
  std::string_view startFile;
  std::string_view status;
  std::string_view cmd;
  std::string_view cmdRes;
  std::string_view sysLogDir;
};

// The system log directory defaults to the same text as the command result
// file; both are kept as they have always been shipped.
inline constexpr ProgramDefaults kProgram1Defaults = {
    "cfgA\\SystemConfiguration.ini", "Tavin_ASHR.exe",           "monitor\\ASHR_status.txt",
    "monitor\\ASHR_cmd.txt",         "monitor\\ASHR_cmd_res.txt", "monitor\\ASHR_cmd_res.txt"};
inline constexpr ProgramDefaults kProgram2Defaults = {
    "cfgB\\SystemConfiguration.ini", "Tavin_BSHR.exe",           "monitor\\BSHR_status.txt",
    "monitor\\BSHR_cmd.txt",         "monitor\\BSHR_cmd_res.txt", "monitor\\BSHR_cmd_res.txt"};

// Marks an access-list value that is not a dotted address; never stored.
inline constexpr std::string_view kInvalidAddress = "IP地址有误";

// Refused connections (RefusalLog), after the listener's prefix ("Client ",
// "Metrics client "): "<prefix><address> denied", "<prefix><address> denied
// <n> more times in the last minute", and for the addresses beyond the
// counted ones "<prefix>connections denied <n> times in the last minute from
// [at least ]<m> other addresses".
inline constexpr std::string_view kDeniedSuffix = " denied";
inline constexpr std::string_view kMoreTimesSuffix = " more times in the last minute";
inline constexpr std::string_view kOthersDeniedPrefix = "connections denied ";
inline constexpr std::string_view kOthersTimesInfix = " times in the last minute from ";
inline constexpr std::string_view kAtLeast = "at least ";
inline constexpr std::string_view kOthersSuffix = " other addresses";

// Messages of a failed load.
inline constexpr std::string_view kCannotCreateLogDir = "Cannot create LogFile Directory.";
// The start-file message: first piece per program, then the rest.
inline constexpr std::string_view kStartFileMissing1 = "无法找到监控程序1 的程序启动文件。";
inline constexpr std::string_view kStartFileMissing2 = "无法找到监控程序2的程序启动文件。";
inline constexpr std::string_view kStartFileCheck = "请检查";
inline constexpr std::string_view kStartFileOf = "的启动文件";
inline constexpr std::string_view kStartFileExists = " 是否存在，";
inline constexpr std::string_view kStartFileOr = "或者将";
inline constexpr std::string_view kStartFileIniIn = ".ini中的";
inline constexpr std::string_view kStartFileSetN = "项置为N。";

}  // namespace tavin
