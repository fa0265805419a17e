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

std::u32string gbkAsciiOnly(std::string_view gbk) {
  std::u32string out;
  out.reserve(gbk.size());
  for (size_t i = 0; i < gbk.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(gbk[i]);
    if (c < 0x80) {
      out.push_back(c);
      continue;
    }
    out.push_back(U'\xFFFD');
    // A lead byte takes a valid second byte (0x40..0xFE but 0x7F) with it.
    if (isGbkLeadByte(gbk[i]) && i + 1 < gbk.size()) {
      const unsigned char next = static_cast<unsigned char>(gbk[i + 1]);
      if (next >= 0x40 && next <= 0xFE && next != 0x7F) ++i;
    }
  }
  return out;
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
