// Message boxes on the terminal the run was started from, answered by a key; with no terminal,
// a desktop dialog, or the box written to standard error.
#pragma once

#include "platform/posix/boxes/desktop_dialog.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

// The terminal a box is drawn on and read from: keys come from `in`, the box goes to `out`,
// which is `in` itself unless that was opened for reading only.
struct BoxTerminal {
  UniqueFd in;
  int out = -1;
  explicit operator bool() const { return out >= 0; }
};

// The controlling terminal; else the terminal standard input is, opened again by its name or,
// where this user may not open it (a login terminal after `su - user -c`), standard input
// itself. Nothing when there is no terminal.
BoxTerminal OpenBoxTerminal();

// Shows the box on the terminal and waits for its answer. With no terminal, a desktop dialog
// where there is one; else 0, and what the box said goes to standard error, on a line of its
// own when `lineOpen` (a progress line left open on standard output).
int TerminalMessageBox(const char* text, const char* caption, unsigned type,
                       const DesktopUser& user, bool lineOpen = false);

}  // namespace cdcopy::posix
