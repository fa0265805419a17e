#include "tests/e2e/gateway.h"

#include <cstdio>
#include <random>

#include "tests/e2e/console_connection.h"
#include "tests/support/silent_listener.h"
#include "tests/support/wire.h"

namespace tavin::e2e {
namespace {

// Finds an environment number whose port listen(port) can take.
template <typename Listen>
bool openAtEnvNo(Gateway* gateway, Listen listen) {
  std::random_device random;
  for (int attempt = 0; attempt < 200; ++attempt) {
    char envNo[16];
    std::snprintf(envNo, sizeof envNo, "%05u", static_cast<unsigned>(random() % 100000));
    const unsigned long long value = std::stoull(std::string("1") + envNo + "05");
    const uint16_t port = static_cast<uint16_t>(value % 65536);
    if (port < 20000 || port >= 32768 || !listen(port)) continue;
    gateway->envNo = envNo;
    return true;
  }
  return false;
}

}  // namespace

bool openGateway(Gateway* gateway) {
  return openAtEnvNo(gateway, [gateway](uint16_t port) {
    return gateway->listener.listen("127.0.0.1", port).isOk() &&
           test::listenSilently(&gateway->silent, "127.0.0.3", port);
  });
}

bool openSilentGateway(Gateway* gateway) {
  return openAtEnvNo(gateway, [gateway](uint16_t port) {
    return test::listenSilently(&gateway->listener, "127.0.0.1", port);
  });
}

CheckCsInstallation checkCsInstallation(const Gateway& gateway, int operators) {
  std::string config = "[System]\r\nOperatorCounts=" + std::to_string(operators) + "\r\n";
  for (int n = 1; n <= operators; ++n) {
    config += "[oper" + std::to_string(n) + "]\r\nGwipCounts=2\r\n";
    for (int m = 1; m <= 2; ++m) {
      config += "Gwip" + std::to_string(m) + "=127.0.0.1\r\nLocalIP" + std::to_string(m) +
                "=127.0.0.1\r\n";
    }
  }
  CheckCsInstallation installation;
  installation.files = {{"Tavin_ASHR.exe", ""},
                        {"tavin.ini", "[TAVIN]\r\nenvNo=" + gateway.envNo + "\r\n"},
                        {"cfgA/SystemConfiguration.ini", config}};
  installation.iniLines = "[Log]\r\nDebug=ON\r\n[Program]\r\n监控程序1=Y\r\n";
  return installation;
}

std::string checkCsRequest(const std::string& sequence) {
  return consoleFrame("19", sequence, test::wire({"36=", "91=CheckCS"}));
}

}  // namespace tavin::e2e
