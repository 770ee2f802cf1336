#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/platform.h"

namespace {

constexpr const char* kUsage = "usage: cdcopy DRIVE_ROOT INSTALL_DIR\n";
// The help's first part, the same on every OS; the platform's own terms follow it.
constexpr const char* kAbout =
    "\n"
    "Copies the data archive and the logo video of Kestrion, and of its two\n"
    "expansions, from their CD-ROMs into the game's installation, so that the game\n"
    "can be played without the disc. It asks for each disc in turn: Kestrion, then\n"
    "Tessarand, then Ostmere.\n"
    "\n";
}  // namespace

int main(int argc, char** argv) {
  cdcopy::StartProcess();
  const std::vector<std::string> args = cdcopy::Arguments(argc, argv);
  // Alone on the command line only: with both arguments every argument is used as given.
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    std::fputs(kAbout, stdout);
    std::fputs(cdcopy::HelpText(), stdout);
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::fputs("cdcopy " CDCOPY_VERSION "\n", stdout);
    return 0;
  }
  // Without both arguments there is nothing safe to do: say how to call it and touch nothing.
  if (args.size() < 2) {
    cdcopy::ShowUsage(kUsage);
    return 2;
  }
  const char* driveRoot = args[0].c_str();
  const char* installDir = args[1].c_str();
  const std::unique_ptr<cdcopy::Platform> system =
      cdcopy::MakeSystemPlatform(driveRoot, installDir);
  cdcopy::Platform& platform = *system;
  int status = cdcopy::Run(platform, cdcopy::DriveRoot{driveRoot}, cdcopy::InstallDir{installDir});
  platform.EndStdoutLine();
  return status;
}
