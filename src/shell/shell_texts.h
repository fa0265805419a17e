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
// The headless front-end's line about lines it could not print: the prefix,
// the count, the singular or plural ending.
inline constexpr std::string_view kDroppedOutputPrefix = "Standard output not read, ";
inline constexpr std::string_view kDroppedOutputLine = " line dropped here (the log file has it)";
inline constexpr std::string_view kDroppedOutputLines =
    " lines dropped here (the log file has them)";
// A start whose single-instance lock file cannot be used: the failure, the
// file's path, ": ", the reason, then the hint.
inline constexpr std::string_view kInstanceLockFailure =
    "Cannot use the single-instance lock file ";
inline constexpr std::string_view kInstanceLockHint =
    ". It must be a regular file of the agent's user that no other user may open; remove it, or "
    "where the agent cannot create it, create it for that user: "
    "install -m 600 -o USER /dev/null FILE";

// The history lines of the system-log read positions kept across restarts:
// "<program> system log: resuming at line <n> (byte <offset>) of <file>"
// (", then today's file" for the day before's), or "<program> system log:
// starting behind the last separator of today's file: <reason>"; and a
// position that cannot be kept.
inline constexpr std::string_view kSysLogLineInfix = " system log: ";
inline constexpr std::string_view kResumingAt = "resuming at ";
inline constexpr std::string_view kLinePrefix = "line ";
inline constexpr std::string_view kBytePrefix = " (byte ";
inline constexpr std::string_view kOfFile = ") of ";
inline constexpr std::string_view kThenTodaysFile = ", then today's file";
inline constexpr std::string_view kStartingBehindSeparator =
    "starting behind the last separator of today's file: ";
inline constexpr std::string_view kNoPositionKeptIn = "no position kept in ";
inline constexpr std::string_view kCannotBeRead = " cannot be read: ";
inline constexpr std::string_view kCannotBeUsed = " cannot be used: ";
inline constexpr std::string_view kPositionOfDay = "the kept position is of the day ";
inline constexpr std::string_view kPositionOfAnotherFile =
    "the kept position is of another file: ";
inline constexpr std::string_view kReplacedSincePosition =
    " is another file than the one the position was kept in";
inline constexpr std::string_view kShorterThanPosition = " is shorter than the kept position";
inline constexpr std::string_view kCannotBeOpened = " cannot be opened";
inline constexpr std::string_view kReadPositionSaveFailed =
    "Cannot keep the system-log read positions in ";
inline constexpr std::string_view kReadPositionSaveFailedHint =
    "; after a restart the log push starts behind the last separator of today's file";
inline constexpr std::string_view kReadPositionSavedAgain =
    "The system-log read positions are kept again in ";
// What the read position file is named after the executable: its name
// without the extension, then this, in the working directory.
inline constexpr std::string_view kReadPositionFileExtension = ".state";
// Windows: a start that finds another agent of this host holding the lock
// and no window of it to bring to the front (the service, or a tray
// application of another session), and a lock it cannot use: the failure,
// the lock's name, ": ", the reason.
inline constexpr std::string_view kAlreadyRunningElsewhere =
    "TavinMonitorAgent already runs on this host (as the Windows service, or as the tray "
    "application of a user's session); this start ends.";
inline constexpr std::string_view kInstanceMutexFailure = "Cannot use the single-instance lock ";
// The history line of a tray application that Windows started again after
// it had crashed or hung.
inline constexpr std::string_view kRestartedLine =
    "Started again by Windows after the agent had ended unexpectedly";
// The service: its event-log entries (start, clean stop), a working folder
// it cannot use (the failure, the folder, ": ", the reason), and "--service"
// given to a program not started by the service control manager.
inline constexpr std::string_view kServiceStarted = "TavinMonitorAgent started as a service in ";
inline constexpr std::string_view kServiceListening = ", listening at ";
inline constexpr std::string_view kServiceStopped = "TavinMonitorAgent stopped: Agent Closed";
inline constexpr std::string_view kWorkingFolderFailure = "Cannot use the working folder ";
inline constexpr std::string_view kServiceOnly =
    "TavinMonitorAgent.exe --service runs only as the Windows service, started by the service "
    "control manager (sc start TavinMonitorAgent).";

}  // namespace tavin
