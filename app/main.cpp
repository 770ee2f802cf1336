#include <cstdio>

#include "app/run.h"

int main(int argc, char** argv) {
  cdcopy::StartProcess();
  // Without both arguments there is nothing safe to do: say how to call it and touch nothing.
  if (argc < 3) {
    std::fputs("usage: cdcopy DRIVE_ROOT INSTALL_DIR\n", stderr);
    return 2;
  }
  return cdcopy::Run(cdcopy::SystemPlatform(), cdcopy::DriveRoot{argv[1]},
                     cdcopy::InstallDir{argv[2]});
}
