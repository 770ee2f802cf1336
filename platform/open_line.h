// Whether the last text written to standard output left its line open. Progress lines leave the
// cursor behind their "...": as the process ends, on a terminal, the line is ended, so that the
// shell's prompt stands on a line of its own. Kept the same way by every platform.
#pragma once

#include <cstring>

namespace cdcopy {

class OpenLine {
 public:
  void Wrote(const char* text) {
    if (*text) open_ = text[std::strlen(text) - 1] != '\n';
  }
  bool IsOpen() const { return open_; }
  // Whether a line feed is due now; once answered yes, the line counts as ended.
  bool TakeEnd(bool onTerminal) {
    const bool due = open_ && onTerminal;
    if (due) open_ = false;
    return due;
  }

 private:
  bool open_ = false;
};

}  // namespace cdcopy
