#include "platform/gbk.h"

namespace platform {
namespace {

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string asciiUpperGbk(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    if (isGbkLeadByte(out[i])) {
      ++i;  // the second byte belongs to the character
    } else {
      out[i] = upperAscii(out[i]);
    }
  }
  return out;
}

bool equalsIgnoreAsciiCaseGbk(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return asciiUpperGbk(a) == asciiUpperGbk(b);
}

size_t findGbkChar(std::string_view text, char c, size_t from) {
  // Scan from the start: whether a byte is a second byte depends on what
  // precedes it.
  for (size_t i = 0; i < text.size(); ++i) {
    if (i >= from && text[i] == c) return i;
    if (isGbkLeadByte(text[i])) ++i;
  }
  return std::string_view::npos;
}

}  // namespace platform
