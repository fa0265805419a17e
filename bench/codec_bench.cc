// Writing and reading the two messages the agent handles most: the 42-byte
// heartbeat, and a status response for two programs of 32 trading units
// each. Reported per message (items/s) and per byte (bytes/s).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "codec/message.h"
#include "handlers/beat_message.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "tests/support/sample_messages.h"

namespace {

const tavin::MessageBodyFactory& factory() {
  static const tavin::MessageBodyFactory instance = tavin::wireBodyFactory();
  return instance;
}

std::unique_ptr<tavin::Message> heartbeat() {
  return std::make_unique<tavin::Message>("Tavin1.20", "S", "-1",
                                          std::make_unique<tavin::BeatMessageBody>());
}

std::unique_ptr<tavin::Message> statusResponse() {
  return std::make_unique<tavin::Message>("Tavin1.20", "S", "7",
                                          tavin::test::sampleStatusResponse(32));
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
