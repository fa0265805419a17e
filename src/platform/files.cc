#include "platform/files.h"

#include "platform/gbk.h"

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

size_t fileNameOffset(const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (isGbkLeadByte(path[i])) {
      ++i;
    } else if (path[i] == '/' || path[i] == pathSeparator()) {
      start = i + 1;
    }
  }
  return start;
}

std::string withoutExtension(const std::string& path) {
  const size_t nameStart = fileNameOffset(path);
  const size_t dot = path.rfind('.');  // "." is never the second byte of a character
  if (dot == std::string::npos || dot < nameStart) return path;
  return path.substr(0, dot);
}

}  // namespace platform
