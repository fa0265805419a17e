// The agent as a Windows service: the same program, started by the service
// control manager with the argument "--service" (in the service's command
// line), headless: no window and no tray icon, the history in the day's log
// file only.
//
// It takes the single-instance lock first; where another agent of the host
// holds it (the tray application or another service), an event-log warning
// says so and the service stops with exit code 0. It then works in the
// installation's working folder: the registry value
// HKLM\Software\TavinMonitorAgent\WorkingFolder that the installer writes,
// or, without it, the executable's own folder. The ini, the port, the
// diagnostics and the history are the tray application's.
//
// Stop, shutdown and pre-shutdown are the confirmed exit ("Agent Closed" the
// last history line); pause and continue are the start/stop button. The
// Application event log under the source "TavinMonitorAgent" gets one entry
// when the service has started, one when it has stopped cleanly, and one
// with the message of a failed start, which also goes to the history where
// the log folder is known, and makes the service's exit code
// ERROR_SERVICE_SPECIFIC_ERROR with service-specific code 1.
//
// Windows only (service_win32.cc); called once, from the program's entry.
#pragma once

namespace tavin {

// Runs the service until the service control manager has stopped it. False
// at once when the program was not started by the manager.
bool runService();

}  // namespace tavin
