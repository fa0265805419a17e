// The codec's fixed texts. Sources are UTF-8 and compiled with
// -fexec-charset=GBK, so every Chinese literal here is GBK bytes in the binary.
#pragma once

#include <string_view>

namespace tavin {

inline constexpr char kSoh = '\x01';

// Header values the agent writes.
inline constexpr std::string_view kProtocolVersion = "Tavin1.20";
inline constexpr std::string_view kOrientationAgent = "S";
inline constexpr std::string_view kOrientationConsole = "C";
inline constexpr std::string_view kUnsolicitedSequence = "-1";

// Message type texts.
inline constexpr std::string_view kTypeStatusRequest = "02";
inline constexpr std::string_view kTypeStatusResponse = "03";
inline constexpr std::string_view kTypeHeartbeat = "12";
inline constexpr std::string_view kTypeSystemLog = "13";
inline constexpr std::string_view kTypeTroubleShootingRequest = "19";
inline constexpr std::string_view kTypeTroubleShootingResponse = "20";

// Status words of a program record, and the host status.
inline constexpr std::string_view kStatusRunning = "运行";
inline constexpr std::string_view kStatusStopped = "停止";
inline constexpr std::string_view kStatusAbsent = "不存在";
inline constexpr std::string_view kStatusUnknown = "未知";
inline constexpr std::string_view kHostStatusNormal = "正常运行";

// The two monitored programs.
inline constexpr std::string_view kProgram1Name = "监控程序1";
inline constexpr std::string_view kProgram2Name = "监控程序2";

inline constexpr std::string_view kFlagYes = "Y";
inline constexpr std::string_view kFlagNo = "N";

}  // namespace tavin
