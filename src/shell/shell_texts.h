// The shell's fixed texts (GBK in the binary).
#pragma once

#include <string_view>

namespace tavin {

inline constexpr std::string_view kHostnameLine = "Hostname: ";
// The application title a second start looks for, and the window class the
// Windows front-end registers for it.
inline constexpr std::string_view kApplicationTitle = "报盘机探针";
inline constexpr std::string_view kApplicationWindowClass = "TApplication";
inline constexpr std::string_view kMainWindowCaption = "报盘机监视探针";
inline constexpr std::string_view kErrorCaption = "错误";
inline constexpr std::string_view kExitQuestion = "您确定要退出吗？";
inline constexpr std::string_view kPanelRunning = "正在运行";
inline constexpr std::string_view kPanelStopped = "已停止";
inline constexpr std::string_view kButtonStop = "停止";
inline constexpr std::string_view kButtonStart = "启动";
inline constexpr std::string_view kVersionText = "版本：2011版";
// The environment variable that renames the single-instance lock, so that
// tests and staging hosts can run agents side by side.
inline constexpr const char* kInstanceNameVariable = "TAVIN_INSTANCE_NAME";

}  // namespace tavin
