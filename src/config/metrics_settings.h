// The settings of the optional metrics endpoint, from the agent's ini file:
//
//   [METRICS]
//   enabled=Y          Y or N (any case); default N: nothing listens
//   port=10013         0..65535, not the console's port; default 10013
//   [METRICS_ACCESS]
//   ip1=127.0.0.1      one allowed address per key, as in [ACCESS_CONTROL];
//                      none: only 127.0.0.1
//
// A value that cannot be used is replaced by its default, and a line for the
// history says what was ignored. Read once by the configuration load; then
// only read (any thread).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace tavin {

inline constexpr int32_t kDefaultMetricsPort = 10013;

struct MetricsSettings {
  bool enabled = false;
  int32_t port = kDefaultMetricsPort;
  // Normalised dotted addresses allowed to scrape, in ini order.
  std::vector<std::string> accessList{"127.0.0.1"};
};

// Reads the two sections. consolePort is the console listener's port, which
// the endpoint must not take. Each ignored value appends one history line to
// *notes.
MetricsSettings readMetricsSettings(const platform::IniFile& ini, int32_t consolePort,
                                    std::vector<std::string>* notes);

}  // namespace tavin
