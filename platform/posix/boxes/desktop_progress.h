// With no terminal on a desktop, nothing would show that a file is being copied, for the half
// minute the archive takes from a disc: while an item copies, its progress line is shown in a
// dialog window, which closes when the copy ends. Standard output is unchanged.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/boxes/desktop_dialog.h"

namespace cdcopy::posix {

class DesktopProgress {
 public:
  // The window for the copy of the item that began last, for as long as it lives.
  class Window {
   public:
    Window(const std::string& line, const std::string& caption, const DesktopUser& user);
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    ~Window();

    // While the drive is waited for, the window says so instead of the line.
    void Waiting(bool waiting) const;

   private:
    std::string line_;
    pid_t child_ = -1;   // the dialog program, ended as the window closes
    pid_t window_ = -1;  // the process that shows the window, where it is not the child
    int input_ = -1;     // the dialog's standard input: closing it closes a zenity window
  };

  // The item whose copy begins, by its progress line.
  void Starting(const char* progressLine);
  // The boxes' caption, which the window takes as its title.
  void Caption(const char* caption) { caption_ = caption; }
  Window Show(const DesktopUser& user) const { return Window(line_, caption_, user); }

 private:
  std::string line_, caption_;
};

}  // namespace cdcopy::posix
