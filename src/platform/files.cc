#include "platform/files.h"

#include <algorithm>
#include <cstring>

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

std::string directoryPath(const std::string& path) {
  std::string dir = path.empty() ? "." : path;
  // A trailing separator would make the system follow a link at the last
  // component; the root ("/", "C:\\") keeps its own.
  while (dir.size() > 1 && fileNameOffset(dir) == dir.size() && dir[dir.size() - 2] != ':') {
    dir.pop_back();
  }
  return dir;
}

SysStatus LineReader::open(const std::string& path) {
  close();
  begin_ = end_ = 0;
  ended_ = false;
  return openFile(path);
}

SysStatus LineReader::seek(int64_t offset) {
  begin_ = end_ = 0;
  ended_ = false;
  return seekFile(offset);
}

bool LineReader::readLine(std::string* line, size_t bufferSize) {
  line->clear();
  if (!isOpen() || bufferSize < 2) return false;
  const size_t most = bufferSize - 1;
  while (line->size() < most) {
    if (begin_ == end_) {
      if (ended_) break;
      // Not zeroed: only what a read filled is looked at.
      if (!block_) block_.reset(new char[kBlock]);
      begin_ = 0;
      end_ = readSome(block_.get(), kBlock);
      if (end_ == 0) {
        ended_ = true;
        break;
      }
    }
    // Up to and including the next line feed, within the line's room.
    const size_t take = std::min(end_ - begin_, most - line->size());
    const char* start = block_.get() + begin_;
    const void* feed = std::memchr(start, '\n', take);
    const size_t n = feed != nullptr ? static_cast<const char*>(feed) - start + 1 : take;
    line->append(start, n);
    begin_ += n;
    if (feed != nullptr) break;
  }
  return !line->empty();
}

}  // namespace platform
