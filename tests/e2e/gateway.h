// Gateways for the agent's connection check ("CheckCS"), on loopback only.
// The check connects to the port that the host's environment number names,
// "1" + envNo + "05" taken to its low 16 bits, so a gateway comes with the
// environment number that leads to it. Its port stays below the ephemeral
// range, where a connect to a closed port could meet itself.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/tcp_client.h"

namespace tavin::e2e {

struct Gateway {
  platform::TcpListener listener;  // on 127.0.0.1
  std::string envNo;
  // openGateway's second one, on 127.0.0.3 at the same port, never answers.
  platform::TcpListener silent;
};

// A gateway that accepts connections on 127.0.0.1, and one that never
// answers on 127.0.0.3, where each test of the agent runs into its time
// limit; nothing listens on 127.0.0.2. False when no port could be had.
bool openGateway(Gateway* gateway);

// A gateway on 127.0.0.1 that never answers.
bool openSilentGateway(Gateway* gateway);

// An installation whose connection check tests a gateway on 127.0.0.1 many
// times: program 1 enabled, with `operators` operators of two links each
// from 127.0.0.1, and the host's environment number leading to the gateway.
// The agent logs each request as it takes it (Debug on).
struct CheckCsInstallation {
  // Relative path and GBK bytes of each file of the workspace.
  std::vector<std::pair<std::string, std::string>> files;
  // The lines the agent's ini file needs.
  std::string iniLines;
};
CheckCsInstallation checkCsInstallation(const Gateway& gateway, int operators);

// A console's request (sequence as given) for the connection check.
std::string checkCsRequest(const std::string& sequence);

}  // namespace tavin::e2e
