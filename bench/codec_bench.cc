// Writing and reading the two messages the agent handles most: the 42-byte
// heartbeat, and a status response for two programs of 32 trading units
// each. Reported per message (items/s) and per byte (bytes/s).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "codec/message.h"
#include "codec/records.h"
#include "handlers/beat_message.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"

namespace {

const tavin::MessageBodyFactory& factory() {
  static const tavin::MessageBodyFactory instance = tavin::wireBodyFactory();
  return instance;
}

std::unique_ptr<tavin::Message> heartbeat() {
  return std::make_unique<tavin::Message>("Tavin1.20", "S", "-1",
                                          std::make_unique<tavin::BeatMessageBody>());
}

// A status response as the agent answers for two programs with 32 trading
// units each, with counters of realistic width.
std::unique_ptr<tavin::Message> statusResponse() {
  std::string qex;
  std::string pbu;
  for (int p = 1; p <= 2; ++p) {
    tavin::Qex program;
    program.setExist("Y");
    program.setName(p == 1 ? "监控程序1" : "监控程序2");
    program.setType(p == 1 ? "A" : "B");
    program.setStatus("运行");
    program.setVersion("3.2.0");
    program.setWarningLevel("0");
    qex += program.recordText();
    for (int u = 1; u <= 32; ++u) {
      char op[16];
      std::snprintf(op, sizeof op, "OP%d%08d", p, u);
      tavin::Pbu unit(op, program.getType(), "3", "123456", "123450", "40000", "999999",
                      "127.0.0.1", "127.0.0.1", "100", "1", "0");
      unit.setName(program.getName());
      pbu += unit.recordText();
    }
  }
  auto body = std::make_unique<tavin::StatusResponseMessageBody>(
      "正常运行", "2012-11-05 09:30:01 ", "12", "40", "55", "01", qex, pbu);
  return std::make_unique<tavin::Message>("Tavin1.20", "S", "7", std::move(body));
}

void toString(benchmark::State& state, std::unique_ptr<tavin::Message> message) {
  size_t bytes = 0;
  for (auto _ : state) {
    std::string text = message->toString();
    bytes += text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void parse(benchmark::State& state, std::unique_ptr<tavin::Message> message) {
  const std::string text = message->toString();
  for (auto _ : state) {
    tavin::Message received;
    const int64_t result = received.parse(text, factory());
    if (result <= 0) state.SkipWithError("the message did not parse");
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["message_bytes"] = static_cast<double>(text.size());
}

void BM_HeartbeatToString(benchmark::State& state) { toString(state, heartbeat()); }
void BM_HeartbeatParse(benchmark::State& state) { parse(state, heartbeat()); }
void BM_StatusResponseToString(benchmark::State& state) { toString(state, statusResponse()); }
void BM_StatusResponseParse(benchmark::State& state) { parse(state, statusResponse()); }

BENCHMARK(BM_HeartbeatToString);
BENCHMARK(BM_HeartbeatParse);
BENCHMARK(BM_StatusResponseToString);
BENCHMARK(BM_StatusResponseParse);

}  // namespace

BENCHMARK_MAIN();
