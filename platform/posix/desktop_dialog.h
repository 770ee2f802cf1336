// Started from a game launcher, a .desktop file or a file manager, cdcopy has no terminal; on a
// graphical session each box is then a dialog window of the desktop's own, through zenity or
// kdialog.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace cdcopy::posix {

// The box as a dialog window; its answer, or kNoDialog where none could be shown.
inline constexpr int kNoDialog = -1;
int DesktopDialog(const char* text, const char* caption, unsigned type);

// The dialog program, zenity or else kdialog, as found on PATH, where a display takes this
// user's windows; else "".
std::string DialogProgram();

// Starts the program `args` names first, its standard input and output those given (-1:
// /dev/null), as a window that goes when the run ends, however it ends. Its process, or -1.
pid_t StartDialog(std::vector<std::string>& args, int input = -1, int output = -1);

}  // namespace cdcopy::posix
