// Writes the seed corpora of the fuzz targets:
//
//   fuzz_make_seeds CORPUS_DIR EXAMPLES_DIR
//
// into CORPUS_DIR/<target>/: the messages of the protocol's worked examples
// (the 42-byte heartbeat, a status request with sequence 7, two requests in
// one read, a status response with two programs of 32 trading units each, a
// trouble-shooting exchange, a system-log push, a version mismatch, a wrong
// checksum), the example ini files, status files of running programs, and
// HTTP requests of Prometheus, curl and malformed ones.
// Inputs of the targets that read their bytes through FuzzedDataProvider
// carry its choices at their end: it takes them from the last byte backwards.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codec/message.h"
#include "handlers/beat_message.h"
#include "handlers/status_messages.h"
#include "handlers/system_log_message.h"
#include "handlers/trouble_shooting_messages.h"
#include "tests/support/sample_messages.h"

namespace {

namespace fs = std::filesystem;

std::string frame(const std::string& orientation, const std::string& sequence,
                  std::unique_ptr<tavin::MessageBody> body,
                  const std::string& version = "Tavin1.20") {
  tavin::Message message(version, orientation, sequence, std::move(body));
  return message.toString();
}

std::unique_ptr<tavin::MessageBody> shootingRequest(const std::string& check) {
  auto body = std::make_unique<tavin::TroubleShootingRequestMessageBody>();
  body->addField("serviceType", "1");
  body->addField("ShootingType", check);
  return body;
}

std::string statusFile(int operators, const std::string& time) {
  std::string text = "[TIME]\r\nTime=" + time + "\r\n[QEXStatus]\r\nQEXVersion=3.2.0\r\n"
                     "QEXType=A\r\nOperatorTotal=" + std::to_string(operators) +
                     "\r\nWarningLevel=1\r\n";
  for (int i = 1; i <= operators; ++i) {
    const std::string n = std::to_string(i);
    text += "[OperatorStatus." + n + "]\r\nOperator=OP00000000" + n + "\r\nStatus=" +
            (i == 2 ? "2" : "3") + "\r\nWarningLevel=" + n + "\r\nOrdNumSubmitted=14\r\n"
            "OrdNumConfirmed=12\r\nTradeNumber=4\r\nMaxOrderNumber=100000\r\nCSIP=127.0.0.1\r\n"
            "LocalIP=127.0.0.1\r\nCapability=100\r\nWork=1\r\n";
  }
  return text;
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz_make_seeds CORPUS_DIR EXAMPLES_DIR\n");
    return 2;
  }
  const fs::path corpus = argv[1];
  const fs::path examples = argv[2];

  const std::string beat = frame("S", "-1", std::make_unique<tavin::BeatMessageBody>());
  const std::string request = frame("C", "7", std::make_unique<tavin::StatusRequestMessageBody>());
  const std::string response = frame("S", "7", tavin::test::sampleStatusResponse(32));
  const std::string shoot = frame("C", "8", shootingRequest("CheckCS"));
  const std::string shot = frame("S", "8", std::make_unique<tavin::TroubleShootingResponseMessageBody>(
                                               "1", "AgentVersion", "Tavin1.20"));
  const std::string log = frame("S", "-1", std::make_unique<tavin::LogMessageBody>(
                                               "监控程序1 3 B\r\n\x02监控程序1 4 C\r\n\x02"));
  const std::string older =
      frame("C", "9", std::make_unique<tavin::StatusRequestMessageBody>(), "Tavin1.19");
  std::string badSum = request;
  badSum[badSum.size() - 2] ^= 1;

  const std::vector<std::pair<std::string, std::string>> messages = {
      {"heartbeat", beat},   {"status_request", request}, {"two_requests", request + request},
      {"status_response", response}, {"shooting_request", shoot}, {"shooting_response", shot},
      {"log_push", log},     {"version_older", older},    {"bad_checksum", badSum},
  };
  for (const auto& [name, bytes] : messages) write(corpus / "message", name, bytes);

  // fuzz_receive: the raw bytes of a connection (last byte 0: taken as is).
  for (const auto& [name, bytes] : messages) {
    if (name != "status_response") write(corpus / "receive", name, bytes + '\0');
  }
  write(corpus / "receive", "beat_then_request", beat + request + shoot + '\0');
  // ... and a run of valid requests cut into reads (last byte 1).
  write(corpus / "receive", "valid_requests", std::string("\x05\x11\x03\x20\x07\x01", 6));

  // fuzz_body: the bodies of the messages above, then the choices: not a
  // bare package, the type's index, and 1 for "read a received body".
  auto bodyOf = [](const std::string& message, char typeIndex) {
    const size_t bodyStart = message.find('\x01', message.find("\x01" "15=") + 1) + 1;
    const size_t bodyEnd = message.rfind("99=");
    return message.substr(bodyStart, bodyEnd - bodyStart) + '\0' + typeIndex + '\x01';
  };
  write(corpus / "body", "status_response", bodyOf(response, 1));
  write(corpus / "body", "shooting_request", bodyOf(shoot, 4));
  write(corpus / "body", "shooting_response", bodyOf(shot, 5));
  write(corpus / "body", "log_push", bodyOf(log, 3));
  write(corpus / "body", "package", std::string("69=9\x01" "70=85=Y\x01") + "\x01\x01\x01");
  // ... and values of the bodies the agent writes, each ended by a
  // backslash and another byte; then one unit, one program, and 0.
  std::string values;
  for (const char* v : {"Y", "监控程序1", "A", "运行", "3.2.0", "0", "监控程序1", "OP000000001"}) {
    values += std::string(v) + "\\ ";
  }
  write(corpus / "body", "agent_values", values + '\x01' + '\x01' + '\0');

  for (const char* name : {"TavinMonitorAgent.ini", "demo/TavinMonitorAgent.ini", "demo/tavin.ini",
                           "demo/cfgA/SystemConfiguration.ini"}) {
    std::string file = fs::path(name).filename().string();
    if (std::string(name).rfind("demo/", 0) == 0) file = "demo_" + file;
    write(corpus / "ini", file, readAll(examples / name));
  }

  write(corpus / "status_file", "running", statusFile(2, "20121105 09:30:01"));
  write(corpus / "status_file", "dash_time", statusFile(3, "20121105-09:30:01"));
  write(corpus / "status_file", "short_time", statusFile(1, "2012110"));
  write(corpus / "status_file", "no_time", "[QEXStatus]\r\nOperatorTotal=1\r\n");

  // fuzz_http: requests as Prometheus 2.42 and curl 7.88 send them, other
  // forms a server must take, and malformed ones; then the choices: four
  // bytes for the cuts and the head limit's byte (0xFF: 8176 bytes; 2: 80).
  const std::string prometheus =
      "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:10013\r\nUser-Agent: Prometheus/2.42.0+ds\r\n"
      "Accept: application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
      "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1\r\n"
      "Accept-Encoding: gzip\r\nX-Prometheus-Scrape-Timeout-Seconds: 1\r\n\r\n";
  const std::string choices("\x07\x00\x00\x00\xFF", 5);
  const std::vector<std::pair<std::string, std::string>> requests = {
      {"prometheus", prometheus},
      {"curl", "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:10013\r\nUser-Agent: curl/7.88.1\r\n"
               "Accept: */*\r\n\r\n"},
      {"head", "HEAD /metrics HTTP/1.1\r\nHost: 127.0.0.1:10013\r\n\r\n"},
      {"absolute", "GET http://127.0.0.1:10013/metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n"},
      {"bare_lf", "GET /metrics HTTP/1.0\nHost: a\n\n"},
      {"blank_lines_first", "\r\n\r\nGET /metrics HTTP/1.1\r\n\r\n"},
      {"asterisk", "OPTIONS * HTTP/1.1\r\n\r\n"},
      {"connect", "CONNECT 127.0.0.1:10013 HTTP/1.1\r\n\r\n"},
      {"folded_header", "GET /metrics HTTP/1.1\r\nX-A: a\r\n b\r\n\r\n"},
      {"body", "POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"},
      {"chunked", "GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
      {"bad_length", "GET /metrics HTTP/1.1\r\nContent-Length: -1\r\n\r\n"},
      {"http2", "GET /metrics HTTP/2.0\r\n\r\n"},
      {"no_version", "GET /metrics\r\n\r\n"},
      {"control_in_target", std::string("GET /met\x01rics HTTP/1.1\r\n\r\n")},
      {"unfinished", "GET /metr"},
      {"tls_hello", std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11)},
  };
  for (const auto& [name, bytes] : requests) write(corpus / "http", name, bytes + choices);
  write(corpus / "http", "over_the_limit", prometheus + choices.substr(0, 4) + '\x02');
  return 0;
}
