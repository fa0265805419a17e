#include <windows.h>

#include "platform/text.h"
#include "shell/form_layout.h"

namespace tavin {

void* createFont(const FontSpec& spec) {
  // The GB2312 character set: the texts are Chinese, and where the face has
  // no Chinese characters the system picks one that has, as a Chinese host
  // does.
  return ::CreateFontW(-spec.pixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, platform::gbkToWide(spec.face).c_str());
}

}  // namespace tavin
