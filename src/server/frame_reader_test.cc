#include "server/frame_reader.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "server/server_test_support.h"

namespace tavin {
namespace {

using test::consoleMessage;
using test::wire;

// parse's result, or the text of its error, for comparing the two readers.
template <typename Fn>
std::string outcome(Fn fn) {
  try {
    return std::to_string(fn());
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

// Whatever follows the message, and however much of it has arrived, parseAt
// answers as parse on the whole text does.
TEST(FrameReader, ParseAtAgreesWithParseOnEveryPrefix) {
  const MessageBodyFactory factory = wireBodyFactory();
  const std::string longBody = "82=" + std::string(3000, 'x') + '\x01';
  const std::string texts[] = {
      consoleMessage("12", "-1") + consoleMessage("02", "1"),
      consoleMessage("13", "2", longBody) + "trailing",
      wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=0", "99=999"}) + std::string(2000, 'y'),
      wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=0", "99=24"}) + std::string(1500, 'z') +
          '\x01',
      wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=0", "38=abc"}),
      wire({"00=Tavin1.21", "01=C", "04=02", "12=1", "15=0"}),
      wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=x"}) + std::string(800, 'w'),
  };
  for (const std::string& full : texts) {
    for (size_t start : {size_t{0}, size_t{3}}) {
      const std::string text = std::string(start, 'p') + full;
      for (size_t n = start; n <= text.size(); n += (n < start + 700 ? 1 : 97)) {
        const std::string prefix = text.substr(0, n);
        Message whole, windowed;
        const std::string expected =
            outcome([&] { return whole.parse(prefix.substr(start), factory); });
        const std::string got = outcome([&] { return parseAt(prefix, start, factory, &windowed); });
        if (expected != got) {
          FAIL() << "prefix " << n << " of " << test::hex(text.substr(0, 40)) << ": parse "
                 << expected << ", parseAt " << got;
        }
        if (got.rfind("error", 0) != 0 && std::stoll(got) > 0) {
          EXPECT_EQ(windowed.getSequence(), whole.getSequence());
          EXPECT_EQ(windowed.getCheckSum(), whole.getCheckSum());
        }
      }
    }
  }
}

TEST(FrameReader, WhatMayStillBecomeAMessage) {
  struct Case {
    std::string text;
    bool may;
  } cases[] = {
      {"0", true},
      {"00", true},
      {"00=Tav", true},
      {wire({"00=Tavin1.20"}) + "0", true},
      {wire({"00=Tavin1.20", "01=C", "04=02", "12=1"}) + "15=12", true},
      // A whole header: only the body or the checksum is missing.
      {wire({"00=Tavin1.20", "01=C", "04=02", "12=1", "15=30"}) + "38=", true},
      {wire({"00=", "01=", "04=", "12=", "15="}), true},
      {"hello", false},
      {"1", false},
      {"000", false},
      {"\x01", false},
      {wire({"00=Tavin1.20", "04=02"}), false},
      {wire({"00=Tavin1.20", "01=C", "05=02"}), false},
      {wire({"00Tavin1.20"}), false},
      {wire({"00=Tavin1.20", "01=C", "04=02", "12=1"}) + "16", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(test::hex(c.text));
    EXPECT_EQ(mayBeMessageStart(c.text, 0), c.may);
    EXPECT_EQ(mayBeMessageStart("xy" + c.text, 2), c.may);
  }
}

}  // namespace
}  // namespace tavin
