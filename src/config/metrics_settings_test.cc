#include "config/metrics_settings.h"

#include <gtest/gtest.h>

namespace tavin {
namespace {

TEST(MetricsSettings, ValuesDefaultsAndIgnoredValues) {
  struct Case {
    const char* name;
    const char* ini;
    bool enabled;
    int32_t port;
    std::vector<std::string> accessList;
    std::vector<std::string> notes;
  };
  const std::vector<std::string> loopback{"127.0.0.1"};
  const Case cases[] = {
      {"absent: off, default port, loopback only", "", false, 10013, loopback, {}},
      {"two lines enable it", "[METRICS]\nenabled=Y\n", true, 10013, loopback, {}},
      {"set", "[metrics]\nEnabled=y\nport=9100\n[METRICS_ACCESS]\na=127.000.000.002\nb=127.0.0.3\n",
       true, 9100, {"127.0.0.2", "127.0.0.3"}, {}},
      {"explicitly off", "[METRICS]\nenabled=n\n", false, 10013, loopback, {}},
      {"any free port", "[METRICS]\nport=0\n", false, 0, loopback, {}},
      {"bad flag", "[METRICS]\nenabled=yes\n", false, 10013, loopback,
       {"[METRICS] enabled=yes ignored: not Y or N; the metrics endpoint stays off"}},
      {"bad port", "[METRICS]\nenabled=Y\nport=70000\n", true, 10013, loopback,
       {"[METRICS] port=70000 ignored: not a port number; using 10013"}},
      {"empty port", "[METRICS]\nport=\n", false, 10013, loopback,
       {"[METRICS] port= ignored: not a port number; using 10013"}},
      {"the console's port", "[METRICS]\nport=10012\n", false, 10013, loopback,
       {"[METRICS] port=10012 ignored: the console's port; using 10013"}},
      {"bad addresses only: loopback", "[METRICS_ACCESS]\nip1=127.0.0\nip2=host\n", false, 10013,
       loopback,
       {"[METRICS_ACCESS] ip1=127.0.0 ignored: not an IPv4 address",
        "[METRICS_ACCESS] ip2=host ignored: not an IPv4 address"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> notes;
    const MetricsSettings settings =
        readMetricsSettings(platform::IniFile::parse(c.ini), 10012, &notes);
    EXPECT_EQ(settings.enabled, c.enabled);
    EXPECT_EQ(settings.port, c.port);
    EXPECT_EQ(settings.accessList, c.accessList);
    EXPECT_EQ(notes, c.notes);
  }
}

}  // namespace
}  // namespace tavin
