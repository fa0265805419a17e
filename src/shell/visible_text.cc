#include "shell/visible_text.h"

namespace tavin {

std::string showControls(const std::string& gbk) {
  std::string out;
  out.reserve(gbk.size());
  for (char c : gbk) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out += '^';
      out += static_cast<char>(byte ^ 0x40);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace tavin
