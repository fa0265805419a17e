#include "console/options.h"

#include <gtest/gtest.h>

namespace tavin::console {
namespace {

TEST(ConsoleOptions, ReadsCommandsAndOptions) {
  struct Case {
    std::vector<std::string> args;
    Command command;
    std::string shootingType;
    std::string host;
    uint16_t port;
    int64_t timeoutMs;
    int64_t watchMs;
    bool json;
    bool raw;
  };
  const Case cases[] = {
      {{"status"}, Command::kStatus, "", "127.0.0.1", 10012, 10000, -1, false, false},
      {{"--host", "10.1.2.3", "--port", "2000", "status"}, Command::kStatus, "", "10.1.2.3", 2000,
       10000, -1, false, false},
      {{"status", "--host=agent7", "--port=65535", "--json"}, Command::kStatus, "", "agent7",
       65535, 10000, -1, true, false},
      {{"shoot", "CheckCS", "--timeout", "0.25"}, Command::kShoot, "CheckCS", "127.0.0.1", 10012,
       250, -1, false, false},
      {{"--raw", "shoot", "AgentVersion"}, Command::kShoot, "AgentVersion", "127.0.0.1", 10012,
       10000, -1, false, true},
      {{"shoot", "CheckCfgFile"}, Command::kShoot, "CheckCfgFile", "127.0.0.1", 10012, 10000, -1,
       false, false},
      {{"watch"}, Command::kWatch, "", "127.0.0.1", 10012, 10000, -1, false, false},
      {{"watch", "--seconds", "90", "--timeout=3.5"}, Command::kWatch, "", "127.0.0.1", 10012,
       3500, 90000, false, false},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    Options options;
    std::string error;
    ASSERT_TRUE(parseOptions(c.args, &options, &error)) << error;
    EXPECT_EQ(options.command, c.command);
    EXPECT_EQ(options.shootingType, c.shootingType);
    EXPECT_EQ(options.host, c.host);
    EXPECT_EQ(options.port, c.port);
    EXPECT_EQ(options.timeoutMs, c.timeoutMs);
    EXPECT_EQ(options.watchMs, c.watchMs);
    EXPECT_EQ(options.json, c.json);
    EXPECT_EQ(options.raw, c.raw);
  }
}

TEST(ConsoleOptions, RejectsMistakesWithAReason) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{}, "no command given (status, shoot or watch)"},
      {{"stats"}, "unknown command 'stats' (status, shoot or watch)"},
      {{"shoot"}, "shoot needs a check: AgentVersion, CheckCfgFile or CheckCS"},
      {{"shoot", "agentversion"},
       "unknown check 'agentversion' (AgentVersion, CheckCfgFile or CheckCS; the agent answers "
       "no other)"},
      {{"status", "extra"}, "unexpected argument 'extra'"},
      {{"status", "--port"}, "option --port needs a value"},
      {{"status", "--port", "0"}, "--port needs a number from 1 to 65535, not '0'"},
      {{"status", "--port", "12a"}, "--port needs a number from 1 to 65535, not '12a'"},
      {{"status", "--port=-5"}, "--port needs a number from 1 to 65535, not '-5'"},
      {{"status", "--host="}, "--host needs an address"},
      {{"status", "--timeout", "0"},
       "--timeout needs a number of seconds (more than 0, at most 86400), not '0'"},
      {{"status", "--seconds", "5"}, "--seconds is for watch only"},
      {{"status", "--json", "--raw"}, "--json and --raw cannot be used together"},
      {{"status", "-x"}, "unknown option -x"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    Options options;
    std::string error;
    EXPECT_FALSE(parseOptions(c.args, &options, &error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(ConsoleOptions, HelpNeedsNoCommand) {
  Options options;
  std::string error;
  ASSERT_TRUE(parseOptions({"--help"}, &options, &error));
  EXPECT_TRUE(options.help);
  ASSERT_TRUE(parseOptions({"status", "-h"}, &options, &error));
  EXPECT_TRUE(options.help);
}

TEST(ConsoleOptions, SecondsHaveAtMostThreeDecimals) {
  struct Case {
    const char* text;
    int64_t millis;  // -1: rejected
  };
  const Case cases[] = {{"1", 1000},   {"0.5", 500},    {"0.001", 1},  {"2.25", 2250},
                        {"86400", 86400000}, {"0", -1}, {"0.0001", -1}, {"", -1},
                        {".5", -1},    {"5.", -1},      {"-1", -1},    {"1e3", -1},
                        {" 1", -1},    {"9999999", -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t millis = -1;
    EXPECT_EQ(parseSeconds(c.text, &millis), c.millis >= 0);
    if (c.millis >= 0) {
      EXPECT_EQ(millis, c.millis);
    }
  }
}

}  // namespace
}  // namespace tavin::console
