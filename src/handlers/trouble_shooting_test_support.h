// A trouble-shooting request's surroundings for tests: an installation in a
// temporary directory (the agent's ini file, the programs' configuration
// files and executables), the configuration loaded from it, and a context
// whose connection tests are recorded instead of made.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "config/agent_config.h"
#include "handlers/trouble_shooting_context.h"
#include "handlers/trouble_shooting_messages.h"
#include "platform/files.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_processes.h"
#include "tests/support/temp_dir.h"

namespace tavin::test {

class TroubleShootingRequestTest : public ::testing::Test {
 protected:
  using Call = std::tuple<std::string, std::string, uint16_t>;  // remote, local, port

  TroubleShootingRequestTest()
      : config_(dir_.path("agent.exe"), dir_.path(), clock_, processes_),
        context_{config_,
                 [this](const std::string& remote, const std::string& local, uint16_t port) {
                   calls_.emplace_back(remote, local, port);
                   return remote == "127.0.0.1";
                 },
                 [this] { return dir_.path(); }} {}

  static std::string sep() { return std::string(1, platform::pathSeparator()); }
  std::string iniFile() const { return dir_.path("agent.ini"); }
  std::string config1() const { return dir_.path("cfgA" + sep() + "SystemConfiguration.ini"); }
  std::string config2() const { return dir_.path("cfgB" + sep() + "SystemConfiguration.ini"); }

  void write(const std::string& path, const std::string& text) {
    ASSERT_TRUE(platform::writeFile(path, text).isOk()) << path;
  }

  // Every file in place; the agent's ini file holds "PORT", "ACCESS_CONTROL",
  // "Tavin" and then programLines; the configuration is loaded from it.
  void install(const std::string& programLines = "[Program]\n") {
    for (const char* sub : {"cfgA", "cfgB"}) {
      ASSERT_TRUE(platform::createDirectory(dir_.path(sub)).isOk());
    }
    write(dir_.path("Tavin_ASHR.exe"), "");
    write(dir_.path("Tavin_BSHR.exe"), "");
    write(config1(), "[System]\nOperatorCounts=0\n");
    write(config2(), "[System]\nOperatorCounts=0\n");
    write(iniFile(), "[PORT]\nport=10012\n[ACCESS_CONTROL]\nip1=127.0.0.1\n[Tavin]\nx=1\n" +
                         programLines + "logs_dir=" + dir_.path("logs") + sep() + "\n");
    ASSERT_TRUE(config_.load());
  }

  // Executes a request with these fields (a null value leaves the field out).
  std::unique_ptr<MessageBody> execute(const char* serviceType, const char* shootingType) {
    TroubleShootingRequestMessageBody request(&context_);
    if (serviceType != nullptr) request.addField("serviceType", serviceType);
    if (shootingType != nullptr) request.addField("ShootingType", shootingType);
    return request.execute();
  }
  std::string result(const char* shootingType) {
    std::unique_ptr<MessageBody> response = execute("", shootingType);
    return response ? response->getResult() : "no response";
  }

  TempDir dir_;
  FakeClock clock_;
  FakeProcesses processes_;
  AgentConfig config_;
  std::vector<Call> calls_;
  TroubleShootingContext context_;
};

}  // namespace tavin::test
