#include <cstdio>
#include <cstring>

#include "app/run.h"

namespace {

constexpr const char* kUsage = "usage: cdcopy DRIVE_ROOT INSTALL_DIR\n";
// Every line within 80 columns, so that it never wraps on a standard terminal.
constexpr const char* kHelp =
    "usage: cdcopy DRIVE_ROOT INSTALL_DIR\n"
    "\n"
    "Copies the data archive and the logo video of Kestrion, and of its two\n"
    "expansions, from their CD-ROMs into the game's installation, so that the game\n"
    "can be played without the disc. It asks for each disc in turn: Kestrion, then\n"
    "Tessarand, then Ostmere.\n"
    "\n"
    "  DRIVE_ROOT   the drive, with its trailing separator: its device, /dev/sr0/,\n"
    "               the folder a disc is mounted at, /media/cdrom/, or D:\\\n"
    "  INSTALL_DIR  the game's installation folder, without a trailing separator\n"
    "\n"
    "  cdcopy /dev/sr0/ ~/Games/Kestrion\n"
    "\n"
    "In a box, Enter or o answers OK, Esc or c answers Cancel. Cancel at the\n"
    "Kestrion prompt ends the run; at an expansion's prompt it skips that disc.\n"
    "\n"
    "More in the README and, on Linux, in man cdcopy.\n";

bool Is(const char* arg, const char* option) {
  return std::strcmp(arg, option) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  cdcopy::StartProcess();
  // Alone on the command line only: with both arguments every argument is used as given.
  if (argc == 2 && (Is(argv[1], "--help") || Is(argv[1], "-h"))) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc == 2 && Is(argv[1], "--version")) {
    std::fputs("cdcopy " CDCOPY_VERSION "\n", stdout);
    return 0;
  }
  // Without both arguments there is nothing safe to do: say how to call it and touch nothing.
  if (argc < 3) {
    cdcopy::ShowUsage(kUsage);
    return 2;
  }
  cdcopy::SetRoots(argv[1], argv[2]);
  cdcopy::Platform& platform = cdcopy::SystemPlatform();
  int status = cdcopy::Run(platform, cdcopy::DriveRoot{argv[1]}, cdcopy::InstallDir{argv[2]});
  platform.EndStdoutLine();
  return status;
}
