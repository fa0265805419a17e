#include "shell/headless_frontend.h"

#include "platform/text.h"

namespace tavin {

void HeadlessFrontend::appendLine(const std::string& line) {
  std::string text = platform::gbkToUtf8(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

}  // namespace tavin
