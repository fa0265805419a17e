// Message::parse on arbitrary bytes: every outcome is a result code or one of
// the codec's exceptions, never a crash or a read past the text. The receive
// path's windowed parse (parseAt) must give the same outcome as a parse of
// the whole text, also when the message starts further into a buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <exception>
#include <string>

#include "codec/errors.h"
#include "codec/message.h"
#include "handlers/bodies.h"
#include "server/frame_reader.h"

namespace {

struct Outcome {
  int64_t result = 0;
  std::string error;  // "<family>: <text>" when the parse raised

  bool operator==(const Outcome& other) const {
    return result == other.result && error == other.error;
  }
};

template <typename Parse>
Outcome outcomeOf(Parse parse) {
  Outcome outcome;
  try {
    outcome.result = parse();
  } catch (const tavin::AppError& e) {
    outcome.error = "AppError: " + e.message();
  } catch (const std::exception& e) {
    outcome.error = std::string("std: ") + e.what();
  }
  return outcome;
}

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_message: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const tavin::MessageBodyFactory factory = tavin::wireBodyFactory();
  const std::string text(reinterpret_cast<const char*>(data), size);

  tavin::Message whole;
  const Outcome direct = outcomeOf([&] { return whole.parse(text, factory); });
  if (direct.error.empty() && direct.result > 0) {
    // The message ends inside the text: its checksum field is all there.
    const size_t end = static_cast<size_t>(direct.result - 1) + whole.getCheckSumLength();
    check(end <= text.size(), "a parsed message reaches past the text");
    check(text[end - 1] == '\x01', "a parsed message does not end with a field end");
  } else if (direct.error.empty()) {
    check(direct.result >= tavin::Message::kBadCheckSumField && direct.result <= -1,
          "parse returned an unknown result");
  }

  tavin::Message windowed;
  check(outcomeOf([&] { return tavin::parseAt(text, 0, factory, &windowed); }) == direct,
        "parseAt differs from parse");
  const std::string shifted = "\x01" "15=9\x01" + text;
  tavin::Message later;
  check(outcomeOf([&] { return tavin::parseAt(shifted, 6, factory, &later); }) == direct,
        "parseAt from an offset differs from parse");
  // Whether the text may still become a message is decided without a crash
  // for every prefix the receive path could be left with.
  (void)tavin::mayBeMessageStart(text, 0);
  return 0;
}
