// Helpers for writing wire texts in tests.
#pragma once

#include <initializer_list>
#include <string>

namespace tavin::test {

// The fields joined, each followed by SOH: wire({"04=12", "12=-1"}) is
// "04=12\x01" "12=-1\x01".
inline std::string wire(std::initializer_list<std::string> fields) {
  std::string text;
  for (const std::string& field : fields) {
    text += field;
    text += '\x01';
  }
  return text;
}

// The bytes of text as space-separated upper-case hex, for readable failures.
inline std::string hex(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace tavin::test
