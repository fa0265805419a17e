// Gateways for the agent's connection check ("CheckCS"), on 127.0.0.1 only.
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
  platform::TcpListener listener;
  std::string envNo;
  // Connections that fill the accept queue of a silent gateway.
  std::vector<platform::TcpClient> held;
};

// A gateway that accepts connections; false when no port could be had.
bool openGateway(Gateway* gateway);

// A gateway that never answers: its listener never accepts and its accept
// queue is full, so the system drops every further connection attempt
// unanswered and each test of the agent runs into its time limit.
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
