#include "platform/files.h"

namespace platform {

std::string nativePath(const std::string& path) {
  if (pathSeparator() == '\\') return path;
  std::string out = path;
  for (size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (c >= 0x81 && c <= 0xFE) {
      ++i;  // a GBK lead byte carries the next byte with it
    } else if (c == '\\') {
      out[i] = '/';
    }
  }
  return out;
}

}  // namespace platform
