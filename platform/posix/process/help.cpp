// The help in the terms of a POSIX system: its devices and mount points, its terminal's keys.
#include "platform/platform.h"

namespace cdcopy {

// Every line within 80 columns, so that it never wraps on a standard terminal.
const char* HelpText() {
  return "  DRIVE_ROOT   the drive: its device, /dev/sr0/, or the folder a disc is\n"
         "               mounted at, /media/cdrom/ (the slash may be left out)\n"
         "  INSTALL_DIR  the game's installation folder; a trailing slash does no harm\n"
         "\n"
         "  cdcopy /dev/sr0/ ~/Games/Kestrion\n"
         "\n"
         "In a box, Enter or o answers OK, Esc or c answers Cancel. Cancel at the\n"
         "Kestrion prompt ends the run; at an expansion's prompt it skips that disc.\n"
         "\n"
         "More in the README and, on Linux, in man cdcopy.\n";
}

}  // namespace cdcopy
