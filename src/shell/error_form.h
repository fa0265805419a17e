// TErrForm: the small dialog that shows why the agent could not start. It is
// shown at once, brought to the front, and runs its own message loop until the
// operator presses "确定" or closes it; the program then ends.
//
// Window thread only (the thread that runs the program's entry).
#pragma once

#include <string>

namespace tavin {

class TErrForm {
 public:
  // Shows message (GBK; lines may end in LF or CR LF) and returns when the
  // dialog has been closed. False when the dialog could not be created.
  static bool showModal(const std::string& message);
};

}  // namespace tavin
