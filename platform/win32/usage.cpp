// How to call cdcopy.exe: the usage and the help, in Windows' own terms.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/utf16.h"

namespace cdcopy {

// Every line within 80 columns, the width of a standard console window.
const char* HelpText() {
  return "  DRIVE_ROOT   the CD-ROM drive, with its backslash: D:\\\n"
         "  INSTALL_DIR  the game's installation folder, in quotes, without a backslash\n"
         "               at its end\n"
         "\n"
         "  cdcopy.exe D:\\ \"C:\\Games\\Kestrion\"\n"
         "\n"
         "In a box, Enter answers OK, Esc answers Cancel. Cancel at the Kestrion prompt\n"
         "ends the run; at an expansion's prompt it skips that disc.\n"
         "\n"
         "More in README.txt.\n";
}

void ShowUsage(const char* text) {
  // Double-clicked in Explorer, the console is the program's own and closes as it ends.
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) {
    ::MessageBoxW(nullptr, win32::Wide(text).c_str(), L"cdcopy", MB_OK | MB_ICONINFORMATION);
  } else {
    std::fputs(text, stderr);
  }
}

}  // namespace cdcopy
