#include <windows.h>

#include "platform/text.h"
#include "shell/form_layout.h"

namespace tavin {

void* createFont(const FontStyle& style) {
  // The GB2312 character set: the texts are Chinese, and where the face has
  // no Chinese characters the system picks one that has, as a Chinese host
  // does.
  return ::CreateFontW(-style.pixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, platform::gbkToWide(style.face).c_str());
}

}  // namespace tavin
